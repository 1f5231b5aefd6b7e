#!/usr/bin/env bash
# Runs one miltertest script against the real daemon.
#
#   run_miltertest.sh <rules> <script.lua> [check-script]
#
# Makes a scratch directory, copies <rules> into it with every @TESTDIR@
# replaced by that directory (so rules can name mailbox files there), starts
# the daemon on a socket in it with a log file and a pid file, runs
# miltertest on <script.lua>, stops the daemon with SIGTERM and then runs
# [check-script] (any executable; its exit status counts) in the directory.
#
# The Lua script gets the globals `socket` (the connection to use),
# `testdir` and `scriptdir` (its own directory, for dofile). The check script
# gets the environment below.
#
# Environment:
#   QUORVANE_BINARY      the daemon (required)
#   QUORVANE_ARGS        extra daemon options, e.g. "-a" or "-v"
#   QUORVANE_CONNECTION  "unix" (default) or "inet" (a free port on 127.0.0.1)
#   QUORVANE_ALLOW_ERRORS=1  do not fail when the log has ERROR lines
#   QUORVANE_KEEP=1      keep the scratch directory
#   MILTERTEST           the miltertest program (default: miltertest)
# Exported to the check script:
#   QUORVANE_TEST_DIR, QUORVANE_LOG, QUORVANE_STDOUT, QUORVANE_STDERR
set -euo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 <rules> <script.lua> [check-script]" >&2
  exit 2
fi
rules=$(realpath "$1")
script=$(realpath "$2")
check=${3:+$(realpath "$3")}
: "${QUORVANE_BINARY:?QUORVANE_BINARY must name the daemon}"
miltertest=${MILTERTEST:-miltertest}

dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-mt-XXXXXX")
chmod 755 "$dir"
export QUORVANE_TEST_DIR=$dir
export QUORVANE_LOG=$dir/quorvane.log
export QUORVANE_STDOUT=$dir/daemon.out
export QUORVANE_STDERR=$dir/daemon.err
daemon_pid=

# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  if [[ -n $daemon_pid ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  if [[ $status -ne 0 ]]; then
    for file in "$QUORVANE_LOG" "$QUORVANE_STDERR" "$QUORVANE_STDOUT"; do
      [[ -s $file ]] && { echo "--- $file"; cat "$file"; }
    done
  fi
  if [[ ${QUORVANE_KEEP:-} == 1 ]]; then
    echo "kept $dir"
  else
    rm -rf "$dir"
  fi
}
trap cleanup EXIT

sed "s|@TESTDIR@|$dir|g" "$rules" > "$dir/rules.conf"

# Starts the daemon on $1; succeeds once it logs its start line.
start_daemon() {
  local connection=$1
  # shellcheck disable=SC2086  # QUORVANE_ARGS is a list of options
  "$QUORVANE_BINARY" ${QUORVANE_ARGS:-} -f "$dir/rules.conf" -p "$connection" \
    -l "$QUORVANE_LOG" -r "$dir/quorvane.pid" > "$QUORVANE_STDOUT" 2> "$QUORVANE_STDERR" &
  daemon_pid=$!
  for _ in $(seq 100); do
    grep -q 'Quorvane: Started\.' "$QUORVANE_LOG" 2>/dev/null && return 0
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
  return 1
}

case ${QUORVANE_CONNECTION:-unix} in
  unix)
    socket=unix:$dir/milter.sock
    start_daemon "$socket" || { echo "the daemon did not start" >&2; exit 1; }
    ;;
  inet)
    started=
    for _ in 1 2 3 4 5; do
      socket=inet:$((20000 + RANDOM % 40000))@127.0.0.1
      if start_daemon "$socket"; then started=1; break; fi
      grep -q '^Unable to open port' "$QUORVANE_STDERR" || break
    done
    [[ -n $started ]] || { echo "the daemon did not start" >&2; exit 1; }
    ;;
  *)
    echo "QUORVANE_CONNECTION must be unix or inet" >&2
    exit 2
    ;;
esac

status=0
"$miltertest" -D "socket=$socket" -D "testdir=$dir" -D "scriptdir=$(dirname "$script")" \
  -s "$script" || status=$?

# SIGTERM once the listener waits in poll(2) again: landing while the milter
# library is between two polls (right after it accepted the last
# connection) can end its main loop with a failure.
for _ in $(seq 50); do
  grep -q poll "/proc/$daemon_pid/wchan" 2>/dev/null && break
  sleep 0.1
done
kill -TERM "$daemon_pid"
daemon_status=0
wait "$daemon_pid" || daemon_status=$?
daemon_pid=
if [[ $daemon_status -ne 0 ]]; then
  echo "the daemon ended with status $daemon_status" >&2
  status=1
fi
if ! grep -q 'Quorvane: Stopped\.$' "$QUORVANE_LOG"; then
  echo "no stop line in the log" >&2
  status=1
fi
if [[ ${QUORVANE_ALLOW_ERRORS:-} != 1 ]] && grep -q ' ERROR - ' "$QUORVANE_LOG"; then
  echo "the log has ERROR lines" >&2
  status=1
fi
if [[ $status -eq 0 && -n $check ]]; then
  (cd "$dir" && "$check") || status=$?
fi
exit "$status"
