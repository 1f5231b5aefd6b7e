# Shared by the load, fault and extreme-input scripts (sourced, not run).
#
# A script calls load_init <name>, which makes a scratch directory $LOAD_DIR
# and arranges for everything started here to be stopped and removed on
# exit (kept with QUORVANE_KEEP=1). daemon_start runs the daemon under test
# ($QUORVANE_BINARY) on a unix socket in $LOAD_DIR; run_streams drives it
# with parallel miltertest sessions of stream.lua; mbox_check checks a
# mailbox written from them. load_fail ends the script with status 1, after
# showing the daemons' logs; load_skip with 77 (ctest: skipped).
#
# Environment: QUORVANE_BINARY (required), MILTERTEST (default: miltertest).

LOAD_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
MILTERTEST=${MILTERTEST:-miltertest}
MBOX_CHECK=$LOAD_SCRIPTS/../support/mbox_check.pl
declare -A DAEMON_PID=()
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
  local label pid
  for pid in "${LOAD_HELPERS[@]}"; do kill -KILL "$pid" 2> /dev/null || true; done
  for label in "${!DAEMON_PID[@]}"; do
    pid=${DAEMON_PID[$label]}
    kill -KILL "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
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
  # No record written by this test may be dated earlier (mbox_check.pl).
  MBOX_NOT_BEFORE=$(date +%s)
  export MBOX_NOT_BEFORE
  trap load_cleanup EXIT
  # A test stopped from outside (ctest's timeout) still cleans up.
  trap 'exit 143' TERM INT
}

# Whether the daemon was built with AddressSanitizer or ThreadSanitizer (its
# memory figures then mean little; under AddressSanitizer, LeakSanitizer
# checks for leaks when it exits).
daemon_is_sanitized() {
  ldd "$QUORVANE_BINARY" 2> /dev/null | grep -q -E 'libasan|libtsan'
}

# daemon_start <label> <rules> [daemon options...]: starts a daemon on
# unix:$LOAD_DIR/<label>.sock with log <label>.log, standard error in
# <label>.err, and waits until it has logged its start line and answered
# one connection.
daemon_start() {
  local label=$1 rules=$2
  shift 2
  "$QUORVANE_BINARY" "$@" -f "$rules" -p "unix:$LOAD_DIR/$label.sock" -l "$LOAD_DIR/$label.log" \
    > "$LOAD_DIR/$label.out" 2> "$LOAD_DIR/$label.err" &
  DAEMON_PID[$label]=$!
  local i
  for i in $(seq 200); do
    grep -q 'Quorvane: Started\.' "$LOAD_DIR/$label.log" 2> /dev/null && [[ -S $LOAD_DIR/$label.sock ]] && break
    kill -0 "${DAEMON_PID[$label]}" 2> /dev/null || load_fail "daemon $label did not start"
    sleep 0.05
  done
  [[ -S $LOAD_DIR/$label.sock ]] || load_fail "daemon $label did not start"
  # The milter library opens its own descriptors only once its main loop
  # runs, after the start line: one connection without a message makes sure
  # it has, so that descriptor counts taken from here on compare.
  "$MILTERTEST" -D "socket=unix:$LOAD_DIR/$label.sock" -s "$LOAD_SCRIPTS/ping.lua" 2>> "$LOAD_DIR/miltertest.err" ||
    load_fail "daemon $label does not answer"
}

daemon_socket() { echo "unix:$LOAD_DIR/$1.sock"; }

# Fails unless the daemon <label> is still running.
daemon_alive() {
  kill -0 "${DAEMON_PID[$1]}" 2> /dev/null || load_fail "daemon $1 is gone"
}

# Whether the daemon was built with ThreadSanitizer.
daemon_is_thread_sanitized() {
  ldd "$QUORVANE_BINARY" 2> /dev/null | grep -q 'libtsan'
}

# Whether a sanitizer report in <file> has a frame in the filter's own code
# (the process entry aside, which is on every main-thread stack).
report_names_filter_code() {
  grep -E '^ +#[0-9]+ ' "$1" | grep -v -E 'src/frontend/(main|startup)\.cpp' | grep -q -E '/src/(actions|milter|rules|frontend)/'
}

# daemon_stop <label>: SIGTERM; the daemon must exit with status 0, write its
# stop line, and (under the sanitizers) report no leak or error. One
# exception: when a ThreadSanitizer daemon stops, the milter library destroys
# and unlocks its own mutexes while its other threads may still take them.
# Reports that appear only then and lie wholly inside the library are noted
# and let pass; any report while serving, or naming the filter's code, fails.
daemon_stop() {
  local label=$1 pid=${DAEMON_PID[$1]} status=0 err=$LOAD_DIR/$1.err
  if grep -q -E 'Sanitizer|runtime error' "$err"; then
    load_fail "daemon $label: sanitizer report while serving: $(grep -m 3 -E 'Sanitizer|SUMMARY|runtime error' "$err")"
  fi
  kill -TERM "$pid"
  wait "$pid" || status=$?
  unset "DAEMON_PID[$label]"
  if grep -q -E 'Sanitizer|runtime error' "$err"; then
    if daemon_is_thread_sanitized && [[ $status -eq 0 || $status -eq 66 ]] && ! report_names_filter_code "$err" &&
      ! grep -q 'runtime error' "$err"; then
      echo "note: daemon $label: $(grep -c '^WARNING: ThreadSanitizer' "$err") ThreadSanitizer reports at shutdown, all inside the milter library"
      status=0
    else
      load_fail "daemon $label: sanitizer report in $label.err: $(grep -m 3 -E 'Sanitizer|SUMMARY|runtime error' "$err")"
    fi
  fi
  [[ $status -eq 0 ]] || load_fail "daemon $label exited with status $status"
  grep -q 'Quorvane: Stopped\.$' "$LOAD_DIR/$label.log" || load_fail "daemon $label wrote no stop line"
}

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
