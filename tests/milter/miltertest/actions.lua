-- One message through Store In, Pipe and Add Header rules: the MTA is asked
-- to add the headers and the recipient, and the message goes on.
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)

step_continues(conn, "mailfrom", "<Sender@Example.ORG>")
step_continues(conn, "rcptto", "<One@example.net>")
step_continues(conn, "rcptto", "<two@example.net>")
step_continues(conn, "rcptto", "<x@other.org>")
send_content(conn, {{"From", "Sender <sender@example.org>"}, {"Subject", "test"}},
             {"Hello.\r\n", "Second chunk.\r\n"})
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_CONTINUE)
expect_equal("X-Archived added", mt.eom_check(conn, MT_HDRADD, "X-Archived", " yes"), true)
expect_equal("Cc added", mt.eom_check(conn, MT_HDRADD, "Cc", " sender@example.org"), true)
expect_equal("recipient added", mt.eom_check(conn, MT_RCPTADD, " sender@example.org"), true)
mt.disconnect(conn)
