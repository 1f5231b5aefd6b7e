# shellcheck shell=bash
# Shared by the load, fault and extreme-input scripts (sourced, not run).
#
# A script calls load_init <name>, which makes a scratch directory $LOAD_DIR
# and arranges for everything started here to be stopped and removed on
# exit (kept with QUORVANE_KEEP=1). The daemons are started and stopped with
# tests/support/daemon.sh, their files in $LOAD_DIR; run_streams drives one
# with parallel miltertest sessions of stream.lua; mbox_check checks a
# mailbox written from them. load_fail ends the script with status 1, after
# showing the daemons' logs; load_skip with 77 (ctest: skipped).
#
# Environment: QUORVANE_BINARY and QUORVANE_MILTER_CLIENT (required),
# MILTERTEST (default: miltertest).

LOAD_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/support/daemon.sh
source "$LOAD_SCRIPTS/../support/daemon.sh"
MILTERTEST=${MILTERTEST:-miltertest}
MBOX_CHECK=$LOAD_SCRIPTS/../support/mbox_check.pl
LOAD_MOUNTS=()
LOAD_HELPERS=()

load_skip() {
  echo "SKIPPED: $*"
  exit 77
}

load_fail() {
  echo "FAILED: $*" >&2
  local file
  for file in "$LOAD_DIR"/*.log "$LOAD_DIR"/*.err; do
    [[ -s $file ]] || continue
    echo "--- $file (last lines)" >&2
    tail -n 20 "$file" | cut -c 1-300 >&2
  done
  exit 1
}

load_cleanup() {
  local pid
  for pid in "${LOAD_HELPERS[@]}"; do kill -KILL "$pid" 2> /dev/null || true; done
  daemon_kill_all
  local mount
  for mount in "${LOAD_MOUNTS[@]}"; do umount -l "$mount" 2> /dev/null || true; done
  if [[ ${QUORVANE_KEEP:-} == 1 ]]; then
    echo "kept $LOAD_DIR"
  else
    rm -rf "$LOAD_DIR"
  fi
}

load_init() {
  : "${QUORVANE_BINARY:?QUORVANE_BINARY must name the daemon}"
  command -v "$MILTERTEST" > /dev/null || load_skip "miltertest is not installed"
  command -v perl > /dev/null || load_skip "perl is not installed"
  LOAD_DIR=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-$1-XXXXXX")
  chmod 755 "$LOAD_DIR"
  DAEMON_DIR=$LOAD_DIR
  # No record written by this test may be dated earlier (mbox_check.pl).
  MBOX_NOT_BEFORE=$(date +%s)
  export MBOX_NOT_BEFORE
  trap load_cleanup EXIT
  # A test stopped from outside (ctest's timeout) still cleans up.
  trap 'exit 143' TERM INT
}

# load_start <label> <rules> [daemon options...]: a daemon on
# unix:$LOAD_DIR/<label>.sock, files <label>.log, .out and .err; fails the
# test unless it serves.
load_start() {
  local label=$1 rules=$2
  shift 2
  daemon_start "$label" "$(daemon_socket "$label")" -f "$rules" "$@" || load_fail "daemon $label did not start"
}

# load_stop <label>: daemon_stop, failing the test unless it stops cleanly.
load_stop() { daemon_stop "$1" || load_fail "daemon $1 did not stop cleanly"; }

# Fails unless the daemon <label> is still running.
daemon_alive() { daemon_running "$1" || load_fail "daemon $1 is gone"; }

# Open descriptors and resident memory (kB) of a daemon.
daemon_fds() { ls "/proc/${DAEMON_PID[$1]}/fd" | wc -l; }
daemon_rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/${DAEMON_PID[$1]}/status"; }
daemon_threads() { awk '/^Threads:/ { print $2 }' "/proc/${DAEMON_PID[$1]}/status"; }

# wait_for_fds <label> <count> [seconds]: waits until the daemon holds
# <count> descriptors (connections being closed); fails after the time.
wait_for_fds() {
  local label=$1 want=$2 seconds=${3:-10} i now
  for i in $(seq $((seconds * 20))); do
    now=$(daemon_fds "$label")
    [[ $now -le $want ]] && return 0
    sleep 0.05
  done
  load_fail "daemon $label holds $now descriptors, $want before the load"
}

# run_streams <socket> <streams> <count> [first-stream] [expect] [first-message] [scale]:
# that many miltertest sessions at once, each sending <count> messages of
# stream.lua; fails when any session fails.
run_streams() {
  local socket=$1 streams=$2 count=$3 first=${4:-1} expect=${5:-continue} first_message=${6:-1} scale=${7:-1}
  local pids=() s failed=0
  for ((s = first; s < first + streams; s++)); do
    "$MILTERTEST" -D "socket=$socket" -D "stream=$s" -D "count=$count" -D "expect=$expect" \
      -D "first=$first_message" -D "scale=$scale" -s "$LOAD_SCRIPTS/stream.lua" 2>> "$LOAD_DIR/miltertest.err" &
    pids+=($!)
  done
  local pid
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  [[ $failed -eq 0 ]] || load_fail "$failed of $streams sessions failed: $(head -c 600 "$LOAD_DIR/miltertest.err")"
}

# mbox_check <mailbox> <streams> <count> [first-stream] [first-message] [scale]:
# the mailbox holds exactly these messages of stream.lua.
mbox_check() { perl "$MBOX_CHECK" streams "$@" || load_fail "mailbox $1 is not as expected"; }

# Counts the lines of a daemon's log that contain <text>.
log_count() { grep -c -F -- "$2" "$LOAD_DIR/$1.log" || true; }

# Milliseconds since the epoch.
now_ms() { date +%s%3N; }
