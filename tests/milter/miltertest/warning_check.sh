#!/usr/bin/env bash
# The daemon's standard error holds the Add Header warning exactly twice:
# once for each of the two connections that lacked an action.
set -euo pipefail
warning='WARNING: the config file includes Add Headers actions, but the MTA **does not support** adding headers!!
Add Headers actions will be ignored!'
expected=$(printf '%s\n%s' "$warning" "$warning")
actual=$(cat "$QUORVANE_STDERR")
if [[ $actual != "$expected" ]]; then
  echo "unexpected standard error:" >&2
  cat "$QUORVANE_STDERR" >&2
  exit 1
fi
