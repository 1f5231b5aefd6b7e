-- One milter session that sends `count` messages (default 1) whose bodies
-- are `kb` kilobytes (default 256) of 32 KB chunks, and checks each reply.
--
--   miltertest -D socket=unix:/path [-D count=1] [-D kb=256]
--              [-D expect=continue|tempfail|any] -s big_message.lua

local total = tonumber(count or "1")
local body_kb = tonumber(kb or "256")
local expected = expect or "continue"

local function fail(message)
  io.stderr:write(message .. "\n")
  error(message)
end

local function check(result, what)
  if result ~= nil then fail(what .. " failed: " .. tostring(result)) end
end

-- 32 KB of lines of 64 bytes.
local chunk = string.rep(string.rep("y", 63) .. "\n", 512)

local conn = mt.connect(socket, 100, 0.05)
if conn == nil then fail("cannot connect to " .. socket) end

for i = 1, total do
  check(mt.mailfrom(conn, "<big@load.test>"), "MAIL FROM")
  check(mt.rcptto(conn, "<rcpt@load.test>"), "RCPT TO")
  check(mt.header(conn, "Subject", "big message " .. i), "header")
  for _ = 1, math.floor(body_kb / 32) do check(mt.bodystring(conn, chunk), "body") end
  check(mt.eom(conn), "end of message")
  local reply = mt.getreply(conn)
  if expected == "continue" and reply ~= SMFIR_CONTINUE then
    fail("message " .. i .. " was not accepted (reply " .. tostring(reply) .. ")")
  elseif expected == "tempfail" and reply ~= SMFIR_TEMPFAIL then
    fail("message " .. i .. " was not refused (reply " .. tostring(reply) .. ")")
  end
end
mt.disconnect(conn)
