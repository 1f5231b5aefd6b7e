-- Add Recipient asks the MTA for the recipients and for no header; the
-- archive copy is checked by journal_check.sh.
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)

step_continues(conn, "mailfrom", "<Sender@Example.ORG>")
step_continues(conn, "rcptto", "<One@example.net>")
step_continues(conn, "rcptto", "<x@other.org>")
step_continues(conn, "rcptto", "<two@example.net>")
send_content(conn, {{"From", "Sender <sender@example.org>"}, {"To", "one@example.net"}}, {"Hello.\r\n"})
local err = mt.eom(conn)
if err ~= nil then fail("eom failed: " .. err) end
expect_reply(conn, "eom", SMFIR_CONTINUE)
for _, address in ipairs({"journal@archive.example.test", "one+j@archive.example.test", "two+j@archive.example.test"}) do
  expect_equal(address .. " added", mt.eom_check(conn, MT_RCPTADD, address), true)
end
expect_equal("x+j added", mt.eom_check(conn, MT_RCPTADD, "x+j@archive.example.test"), false)
expect_equal("a header added", mt.eom_check(conn, MT_HDRADD), false)
mt.disconnect(conn)
