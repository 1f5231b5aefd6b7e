-- Option negotiation with the real daemon: the actions it asks for, and the
-- protocol steps it asks the MTA to leave out (connect, HELO, end of headers,
-- unknown commands; never DATA, and nothing it needs).
dofile(scriptdir .. "/common.lua")

local skipped = { SMFIP_NOCONNECT, SMFIP_NOHELO, SMFIP_NOEOH, SMFIP_NOUNKNOWN }
local steps = {
  NOCONNECT = SMFIP_NOCONNECT, NOHELO = SMFIP_NOHELO, NOMAIL = SMFIP_NOMAIL, NORCPT = SMFIP_NORCPT,
  NOBODY = SMFIP_NOBODY, NOHDRS = SMFIP_NOHDRS, NOEOH = SMFIP_NOEOH, NOUNKNOWN = SMFIP_NOUNKNOWN,
  NODATA = SMFIP_NODATA,
}

local function has(list, flag)
  for _, value in ipairs(list) do
    if value == flag then return true end
  end
  return false
end

-- Offers `offered_steps` (a list of flags, not empty: miltertest offers its
-- defaults for 0) and checks that exactly those of
-- them the filter skips were requested.
local function check_steps(offered_steps)
  local conn = connect()
  local sum = 0
  for _, flag in ipairs(offered_steps) do sum = sum + flag end
  offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT, sum)
  for name, flag in pairs(steps) do
    local want = has(offered_steps, flag) and has(skipped, flag)
    expect_equal("offered " .. string.format("0x%x", math.tointeger(sum)) .. ", step " .. name,
                 mt.test_option(conn, flag), want)
  end
  mt.disconnect(conn)
end

-- Everything offered: both modifications requested, nothing more.
local conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT + SMFIF_CHGHDRS + SMFIF_CHGBODY + SMFIF_DELRCPT, SMFIP_NOCONNECT)
expect_equal("add headers", mt.test_action(conn, SMFIF_ADDHDRS), true)
expect_equal("add recipients", mt.test_action(conn, SMFIF_ADDRCPT), true)
expect_equal("change headers", mt.test_action(conn, SMFIF_CHGHDRS), false)
expect_equal("change body", mt.test_action(conn, SMFIF_CHGBODY), false)
expect_equal("delete recipients", mt.test_action(conn, SMFIF_DELRCPT), false)
mt.disconnect(conn)

-- Adding recipients not offered: no modification requested at all.
conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_CHGHDRS, SMFIP_NOCONNECT)
expect_equal("add headers without add recipients", mt.test_action(conn, SMFIF_ADDHDRS), false)
expect_equal("add recipients not offered", mt.test_action(conn, SMFIF_ADDRCPT), false)
mt.disconnect(conn)

check_steps({ SMFIP_NOCONNECT, SMFIP_NOHELO, SMFIP_NOMAIL, SMFIP_NORCPT, SMFIP_NOBODY, SMFIP_NOHDRS,
              SMFIP_NOEOH, SMFIP_NOUNKNOWN, SMFIP_NODATA })
check_steps({ SMFIP_NOHELO, SMFIP_NODATA })
check_steps({ SMFIP_NOEOH, SMFIP_NOBODY })
check_steps({ SMFIP_NOUNKNOWN, SMFIP_NOMAIL })
