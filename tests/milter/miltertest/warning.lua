-- The Add Header warning: written once for each connection whose MTA does not
-- let the filter add both headers and recipients (the check script counts).
dofile(scriptdir .. "/common.lua")

local conn = connect()
offer(conn, SMFIF_ADDHDRS, SMFIP_NOCONNECT)
expect_equal("add headers", mt.test_action(conn, SMFIF_ADDHDRS), false)
mt.disconnect(conn)

conn = connect()
offer(conn, SMFIF_ADDHDRS + SMFIF_ADDRCPT, SMFIP_NOCONNECT)
expect_equal("add headers", mt.test_action(conn, SMFIF_ADDHDRS), true)
mt.disconnect(conn)

conn = connect()
offer(conn, SMFIF_ADDRCPT, SMFIP_NOCONNECT)
mt.disconnect(conn)
