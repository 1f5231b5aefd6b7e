-- Helpers shared by the miltertest scripts (loaded with dofile).
-- The driver defines the globals `socket`, `testdir` and `scriptdir`.

-- Stops the script with `message` on standard error (miltertest itself
-- ends with status 1 but does not show the error).
function fail(message)
  io.stderr:write(message .. "\n")
  error(message)
end

-- Connects to the daemon under test; stops the script when it cannot.
function connect()
  local conn = mt.connect(socket, 50, 0.1)
  if conn == nil then
    fail("cannot connect to " .. socket)
  end
  return conn
end

-- Negotiates, offering the given actions and protocol steps (0 stands for
-- miltertest's defaults, so offer at least one of each). miltertest
-- 2.11 puts its third argument in the protocol-steps word and its fourth in
-- the actions word, the other way round from what its manual says.
function offer(conn, actions, steps)
  local err = mt.negotiate(conn, nil, steps, actions)
  if err ~= nil then
    fail("negotiation failed: " .. err)
  end
end

-- Stops the script when `reply` is not what was wanted.
function expect_reply(conn, step, want)
  local got = mt.getreply(conn)
  if got ~= want then
    fail(step .. ": reply " .. tostring(got) .. ", wanted " .. tostring(want))
  end
end

-- Runs one protocol step and checks that the filter lets the message go on.
function step_continues(conn, step, ...)
  local err = mt[step](conn, ...)
  if err ~= nil then
    fail(step .. " failed: " .. err)
  end
  expect_reply(conn, step, SMFIR_CONTINUE)
end

-- Stops the script when `got` differs from `want`.
function expect_equal(what, got, want)
  if got ~= want then
    fail(what .. ": got " .. tostring(got) .. ", wanted " .. tostring(want))
  end
end

-- Sends DATA, the headers (a list of {name, value}), end of headers where
-- the negotiation left it on, and the body chunks, each answered with
-- continue.
function send_content(conn, headers, chunks)
  step_continues(conn, "data")
  for _, header in ipairs(headers) do
    step_continues(conn, "header", header[1], header[2])
  end
  if not mt.test_option(conn, SMFIP_NOEOH) then
    step_continues(conn, "eoh")
  end
  for _, chunk in ipairs(chunks) do
    step_continues(conn, "bodystring", chunk)
  end
end
