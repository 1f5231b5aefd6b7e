-- Two messages through the Maildir rules: one whose CR LF line ends arrive
-- split across body chunks, and one from the null sender, whose last
-- Maildir action fails (the message still goes on: no -a).
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)

step_continues(conn, "mailfrom", "<Sender@Example.ORG>")
step_continues(conn, "rcptto", "<One@example.net>")
step_continues(conn, "rcptto", "<two@example.net>")
step_continues(conn, "rcptto", "<x@other.org>")
send_content(conn, {{"From", "Sender <sender@example.org>"}, {"Subject", "test"}},
             {"Hello.\r", "\nSecond\r\nlone\rCR\r\n"})
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_CONTINUE)

step_continues(conn, "mailfrom", "<>")
step_continues(conn, "rcptto", "<one@example.net>")
send_content(conn, {{"Subject", "bounce"}}, {"No body line end"})
err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_CONTINUE)
mt.disconnect(conn)
