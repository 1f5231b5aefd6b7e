-- One milter session that sends `count` messages (default 200) for stream
-- number `stream` over `socket`, each with its own Message-ID and X-Seq, and
-- expects every message to be accepted. The body is generated the same way
-- as mbox_check.pl expects it.
--
--   miltertest -D socket=unix:/path -D stream=3 [-D count=200] [-D first=1]
--              [-D expect=continue|tempfail|any] [-D scale=1] -s stream.lua
--
-- scale multiplies the number of body lines (about 1 kB per message on
-- average at scale 1).

local stream_number = tonumber(stream)
local total = tonumber(count or "200")
local first_number = tonumber(first or "1")
local expected = expect or "continue"
local body_scale = tonumber(scale or "1")

local function body_of(s, i)
  local lines = {}
  local n = ((s * 31 + i * 17) % 40 + 1) * body_scale
  for k = 1, n do
    lines[#lines + 1] = s .. "." .. i .. " line " .. k .. ": " .. string.rep("x", (k * 7) % 60) .. "\n"
  end
  return table.concat(lines)
end

-- miltertest ends with status 1 on an error but does not show it.
local function fail(message)
  io.stderr:write(message .. "\n")
  error(message)
end

local function check(result, what)
  if result ~= nil then fail(what .. " failed for stream " .. stream_number .. ": " .. tostring(result)) end
end

local conn = mt.connect(socket, 100, 0.05)
if conn == nil then fail("cannot connect to " .. socket) end

for i = first_number, first_number + total - 1 do
  local id = stream_number .. "." .. i
  check(mt.mailfrom(conn, "<Stream" .. stream_number .. "@Load.Test>"), "MAIL FROM")
  check(mt.rcptto(conn, "<rcpt" .. i .. "@load.test>"), "RCPT TO")
  check(mt.header(conn, "Message-ID", "<" .. id .. "@load.test>"), "header")
  check(mt.header(conn, "X-Seq", id), "header")
  check(mt.header(conn, "Subject", "load message " .. id), "header")
  check(mt.bodystring(conn, body_of(stream_number, i)), "body")
  check(mt.eom(conn), "end of message")
  local reply = mt.getreply(conn)
  if expected == "continue" and reply ~= SMFIR_CONTINUE then
    fail("message " .. id .. " was not accepted (reply " .. tostring(reply) .. ")")
  elseif expected == "tempfail" and reply ~= SMFIR_TEMPFAIL then
    fail("message " .. id .. " was not refused (reply " .. tostring(reply) .. ")")
  end
end
mt.disconnect(conn)
