-- One message with a folded List-Id and a long header value through header,
-- size, wildcard and expression tests (miltertest sends header values of up
-- to about 1 KB; the load test extreme.long_header sends one of 64 KB).
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS, SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)

step_continues(conn, "mailfrom", "<Sender@Example.ORG>")
step_continues(conn, "rcptto", "<one@example.net>")
step_continues(conn, "rcptto", "<two@example.net>")
send_content(conn, {{"List-Id", "Developers\r\n <dev.example.org>"}, {"X-Long", string.rep("a", 900)}},
             {"Hello.\r\n"})
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_CONTINUE)
mt.disconnect(conn)
