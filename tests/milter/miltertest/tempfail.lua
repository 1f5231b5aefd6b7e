-- With -a a failed Store In makes the message a temporary failure.
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)
step_continues(conn, "mailfrom", "<a@example.org>")
step_continues(conn, "rcptto", "<b@example.net>")
step_continues(conn, "data")
step_continues(conn, "header", "Subject", "test")
if not mt.test_option(conn, SMFIP_NOEOH) then
  step_continues(conn, "eoh")
end
step_continues(conn, "bodystring", "Hello.\r\n")
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_TEMPFAIL)
mt.disconnect(conn)
