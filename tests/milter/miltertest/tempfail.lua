-- With -a a failed Store In makes the message a temporary failure.
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)
step_continues(conn, "mailfrom", "<a@example.org>")
step_continues(conn, "rcptto", "<b@example.net>")
send_content(conn, {{"Subject", "test"}}, {"Hello.\r\n"})
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_TEMPFAIL)
mt.disconnect(conn)
