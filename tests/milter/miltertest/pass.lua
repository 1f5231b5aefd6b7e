-- Messages pass the real daemon unchanged with continue, two in one
-- connection, with whichever steps the negotiation left on.
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT,
      SMFIP_NOCONNECT + SMFIP_NOHELO + SMFIP_NOEOH + SMFIP_NOUNKNOWN + SMFIP_NODATA)

for message = 1, 2 do
  mt.macro(conn, SMFIC_MAIL, "{auth_authen}", "bob")
  step_continues(conn, "mailfrom", "<Sender@Example.ORG>")
  step_continues(conn, "rcptto", "<one@example.net>")
  step_continues(conn, "rcptto", "<two@example.net>")
  send_content(conn, {{"From", "Sender <sender@example.org>"}, {"Subject", "message " .. message}},
               {"Hello.\r\n", "Second chunk.\r\n"})
  local err = mt.eom(conn)
  if err ~= nil then fail("eom failed: " .. err) end
  expect_reply(conn, "eom", SMFIR_CONTINUE)
  expect_equal("headers added", mt.eom_check(conn, MT_HDRADD), false)
  expect_equal("body changed", mt.eom_check(conn, MT_BODYCHANGE), false)
end
mt.disconnect(conn)
