#!/usr/bin/env bash
# Runs one miltertest script against the real daemon.
#
#   run_miltertest.sh <rules> <script.lua> [check-script]
#
# Makes a scratch directory, copies <rules> into it with every @TESTDIR@
# replaced by that directory (so rules can name mailbox files there), starts
# the daemon on a socket in it with a log file and a pid file
# (tests/support/daemon.sh), runs miltertest on <script.lua>, stops the
# daemon (it must stop cleanly), fails on ERROR lines in its log and then runs
# [check-script] (any executable; its exit status counts) in the directory.
#
# The Lua script gets the globals `socket` (the connection to use),
# `testdir` and `scriptdir` (its own directory, for dofile). The check script
# gets the environment below.
#
# Environment:
#   QUORVANE_BINARY      the daemon (required)
#   QUORVANE_MILTER_CLIENT  the test suite's milter client program (required)
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

# shellcheck source=tests/support/daemon.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../support/daemon.sh"
dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-mt-XXXXXX")
chmod 755 "$dir"
DAEMON_DIR=$dir
export QUORVANE_TEST_DIR=$dir
export QUORVANE_LOG=$dir/quorvane.log
export QUORVANE_STDOUT=$dir/quorvane.out
export QUORVANE_STDERR=$dir/quorvane.err

# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  daemon_kill_all
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

start_daemon() {
  # shellcheck disable=SC2086  # QUORVANE_ARGS is a list of options
  daemon_start quorvane "$1" ${QUORVANE_ARGS:-} -f "$dir/rules.conf" -r "$dir/quorvane.pid"
}

case ${QUORVANE_CONNECTION:-unix} in
  unix)
    socket=$(daemon_socket milter)
    start_daemon "$socket" || exit 1
    ;;
  inet)
    # A port another test took in the meantime: try another one.
    started=
    for _ in 1 2 3 4 5; do
      socket=inet:$((20000 + RANDOM % 40000))@127.0.0.1
      if start_daemon "$socket"; then started=1; break; fi
      grep -q '^Unable to open port' "$QUORVANE_STDERR" || break
    done
    [[ -n $started ]] || exit 1
    ;;
  *)
    echo "QUORVANE_CONNECTION must be unix or inet" >&2
    exit 2
    ;;
esac

status=0
"$miltertest" -D "socket=$socket" -D "testdir=$dir" -D "scriptdir=$(dirname "$script")" \
  -s "$script" || status=$?

daemon_stop quorvane || status=1
if [[ ${QUORVANE_ALLOW_ERRORS:-} != 1 ]] && grep -q ' ERROR - ' "$QUORVANE_LOG"; then
  echo "the log has ERROR lines" >&2
  status=1
fi
if [[ $status -eq 0 && -n $check ]]; then
  (cd "$dir" && "$check") || status=$?
fi
exit "$status"
