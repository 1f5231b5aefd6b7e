-- Connects, negotiates and disconnects without a message: brings the daemon's
-- connection handling to its working state before descriptors are counted.
local conn = mt.connect(socket, 100, 0.05)
if conn == nil then
  io.stderr:write("cannot connect to " .. socket .. "\n")
  error("cannot connect")
end
local err = mt.negotiate(conn, nil, nil, nil)
if err ~= nil then
  io.stderr:write("negotiation failed: " .. err .. "\n")
  error("negotiation failed")
end
mt.disconnect(conn)
