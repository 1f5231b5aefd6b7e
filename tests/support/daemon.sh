# shellcheck shell=bash
# Starting, stopping and checking the daemon under test (sourced, not run).
#
#   daemon_start LABEL CONNECTION [OPTION...]
#       runs $QUORVANE_BINARY OPTION... -p CONNECTION -l $DAEMON_DIR/LABEL.log
#       in the background, its standard output in LABEL.out and its standard
#       error in LABEL.err beside the log, and waits until it serves: it
#       answers an option negotiation (the milter library's main loop runs
#       and has opened its own descriptors) and has logged its start line.
#   daemon_stop LABEL
#       SIGTERM once its listener is idle; it must exit with status 0, write
#       its stop line, and report nothing under the sanitizers.
#   daemon_answers CONNECTION   whether a milter there answers a negotiation
#   daemon_running LABEL, daemon_socket LABEL (unix:$DAEMON_DIR/LABEL.sock),
#   daemon_kill_all (for EXIT traps), daemon_is_sanitized,
#   daemon_is_thread_sanitized, daemon_sanitizer_report FILE.
#
# Every function but daemon_kill_all returns 1 with the reason on standard
# error when something is wrong; the caller decides what a failure means.
# DAEMON_PID[LABEL] is the process id of a running daemon.
#
# Environment: QUORVANE_BINARY (the daemon), QUORVANE_MILTER_CLIENT (the
# test suite's milter client program), DAEMON_DIR (where the files go; set
# by the harness).

DAEMON_DIR=${DAEMON_DIR:-}
declare -A DAEMON_PID=()
declare -A DAEMON_CONNECTION=()

daemon_problem() {
  echo "daemon $1: $2" >&2
  return 1
}

daemon_socket() { echo "unix:$DAEMON_DIR/$1.sock"; }
daemon_answers() { "$QUORVANE_MILTER_CLIENT" "$1" ping 2> /dev/null; }

daemon_running() {
  local pid=${DAEMON_PID[$1]:-}
  [[ -n $pid ]] && ! daemon_ended "$pid"
}

# Whether process <pid> has exited (gone, or a zombie not yet reaped).
daemon_ended() {
  local stat
  stat=$(cat "/proc/$1/stat" 2> /dev/null) || return 0
  stat=${stat##*) }
  [[ ${stat%% *} == Z ]]
}

# Waits for the ended daemon <label>; DAEMON_STATUS is its exit status.
daemon_reap() {
  DAEMON_STATUS=0
  wait "${DAEMON_PID[$1]}" || DAEMON_STATUS=$?
  unset "DAEMON_PID[$1]"
}

# daemon_poll <rounds> COMMAND...: runs COMMAND every 0.05 s until it
# succeeds, at most <rounds> times.
daemon_poll() {
  local rounds=$1 i
  shift
  for ((i = 0; i < rounds; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

daemon_start() {
  local label=$1 connection=$2
  shift 2
  [[ -x ${QUORVANE_BINARY:-} ]] || daemon_problem "$label" "QUORVANE_BINARY does not name the daemon" || return 1
  [[ -x ${QUORVANE_MILTER_CLIENT:-} ]] ||
    daemon_problem "$label" "QUORVANE_MILTER_CLIENT does not name the milter client" || return 1
  [[ -d $DAEMON_DIR ]] || daemon_problem "$label" "DAEMON_DIR does not name a directory" || return 1
  local base=$DAEMON_DIR/$label
  case $connection in unix:*) rm -f "${connection#unix:}" ;; esac
  "$QUORVANE_BINARY" "$@" -p "$connection" -l "$base.log" > "$base.out" 2> "$base.err" &
  DAEMON_PID[$label]=$!
  DAEMON_CONNECTION[$label]=$connection
  daemon_wait_ready "$label"
}

# Waits up to 30 s (sanitizer builds start slowly) until the daemon answers.
daemon_wait_ready() {
  local label=$1 base=$DAEMON_DIR/$1 i
  for ((i = 0; i < 600; i++)); do
    if ! daemon_running "$label"; then
      daemon_reap "$label"
      daemon_problem "$label" "exited with status $DAEMON_STATUS while starting: $(head -c 300 "$base.err")"
      return 1
    fi
    if daemon_answers "${DAEMON_CONNECTION[$label]}"; then
      grep -q 'Quorvane: Started\.' "$base.log" && return 0
      daemon_problem "$label" "serves without its start line in the log"
      return 1
    fi
    sleep 0.05
  done
  daemon_problem "$label" "does not answer on ${DAEMON_CONNECTION[$label]}"
}

# Whether the main thread of <pid> waits in poll(2), where the milter
# library's listener waits between connections: a SIGTERM that lands while
# it is between two polls (starting, or right after it accepted a
# connection) can end its main loop with a failure. A kernel that shows no
# wait channel ("0" or nothing) counts as idle.
daemon_idle() {
  local wchan
  wchan=$(cat "/proc/$1/wchan" 2> /dev/null) || return 0
  [[ -z $wchan || $wchan == 0 || $wchan == *poll* ]]
}

# Whether the daemon was built with AddressSanitizer or ThreadSanitizer (its
# memory figures then mean little), or with ThreadSanitizer.
daemon_is_sanitized() { ldd "$QUORVANE_BINARY" 2> /dev/null | grep -q -E 'libasan|libtsan'; }
daemon_is_thread_sanitized() { ldd "$QUORVANE_BINARY" 2> /dev/null | grep -q 'libtsan'; }

# The first lines of any sanitizer report (AddressSanitizer, LeakSanitizer,
# UndefinedBehaviorSanitizer, ThreadSanitizer) in FILE; fails when there is
# none.
daemon_sanitizer_report() {
  grep -q -E 'Sanitizer|runtime error' "$1" && grep -m 3 -E 'Sanitizer|SUMMARY|runtime error' "$1"
}

# Whether a sanitizer report in FILE has a frame in the filter's own code
# (the process entry aside, which is on every main-thread stack).
daemon_report_names_filter_code() {
  grep -E '^ +#[0-9]+ ' "$1" | grep -v -E 'src/frontend/(main|startup)\.cpp' |
    grep -q -E '/src/(actions|milter|rules|frontend)/'
}

# One exception to "no report": when a ThreadSanitizer daemon stops, the
# milter library destroys and unlocks its own mutexes while its other
# threads may still take them. Reports that appear only then and lie wholly
# inside the library are noted and let pass; any report while serving, or
# naming the filter's code, fails.
daemon_stop() {
  local label=$1 base=$DAEMON_DIR/$1 report
  local pid=${DAEMON_PID[$label]:-}
  [[ -n $pid ]] || daemon_problem "$label" "was not started" || return 1
  if report=$(daemon_sanitizer_report "$base.err"); then
    daemon_problem "$label" "sanitizer report while serving: $report"
    return 1
  fi
  if ! daemon_running "$label"; then
    daemon_reap "$label"
    daemon_problem "$label" "ended with status $DAEMON_STATUS before it was stopped"
    return 1
  fi
  daemon_poll 100 daemon_idle "$pid"
  kill -TERM "$pid"
  # The milter library notices the signal within about five seconds.
  if ! daemon_poll 600 daemon_ended "$pid"; then
    kill -KILL "$pid"
    daemon_problem "$label" "still running 30 s after SIGTERM"
  fi
  daemon_reap "$label"
  local status=$DAEMON_STATUS
  if report=$(daemon_sanitizer_report "$base.err"); then
    if daemon_is_thread_sanitized && [[ $status -eq 0 || $status -eq 66 ]] &&
      ! daemon_report_names_filter_code "$base.err" && ! grep -q 'runtime error' "$base.err"; then
      echo "note: daemon $label: $(grep -c '^WARNING: ThreadSanitizer' "$base.err") ThreadSanitizer reports at shutdown, all inside the milter library"
      status=0
    else
      daemon_problem "$label" "sanitizer report in $label.err: $report"
      return 1
    fi
  fi
  [[ $status -eq 0 ]] || daemon_problem "$label" "exited with status $status" || return 1
  grep -q 'Quorvane: Stopped\.$' "$base.log" || daemon_problem "$label" "wrote no stop line"
}

# SIGKILL to every daemon still running, each reaped.
daemon_kill_all() {
  local label
  for label in "${!DAEMON_PID[@]}"; do
    kill -KILL "${DAEMON_PID[$label]}" 2> /dev/null || true
    daemon_reap "$label" 2> /dev/null
  done
  return 0
}
