#!/bin/bash
# A private, throwaway Postfix for end-to-end tests and benchmarks.
#
# Source this file, then:
#   e2e_require                      exit 77 (skip) unless Postfix can run here
#   e2e_init NAME                    fresh instance dir $E2E_DIR, teardown on exit
#   sink_start [DUMPDIR]             smtp-sink on $SINK_PORT, one file per message
#   filter_start CONN CMD [ARGS...]  start a milter listening on CONN and wait for it
#   quorvane_start CONN RULES [OPT...] the daemon under test on CONN, started with
#                                    tests/support/daemon.sh: its log, output and
#                                    error in $E2E_DIR/quorvane.log, .out, .err
#                                    (quorvane2.* for a second one)
#   pf_start [FILTER_CONN...]        Postfix on 127.0.0.1:$SMTP_PORT with these filters
#                                    in turn, relaying to the sink when one runs,
#                                    else discarding all mail
#   pf_stop, filter_stop             stop them (e2e_teardown stops whatever runs);
#                                    a daemon that does not stop cleanly is a failure
#   pf_wait_queue_empty              wait until Postfix has delivered everything
#   smtp_dialog, send_mail           talk SMTP to the instance (smtp_dialog.pl, swaks)
#   check_records FILE SENDER REST.. a mailbox holds exactly these records
#   PF_MAIN_EXTRA+=(LINE...)         further main.cf lines for the next pf_start
#   E2E_STOPS+=(FUNCTION)            a helper's own stop, run on teardown, and
#   E2E_LEFTOVER_STOPS+=(FUNCTION)   its stop of what an interrupted earlier
#                                    run left, run by e2e_init (dovecot.sh)
#   e2e_finish                       stop everything, report and exit
#
# The instance lives in ${QUORVANE_E2E_ROOT:-/tmp/quorvane-e2e}/NAME: its own
# config (etc), queue (spool), data, log (postfix.log) and the filter's socket
# and files. The only change outside it is that the instance's config
# directory is listed once in alternate_config_directories of
# /etc/postfix/main.cf, which Postfix requires before it runs with another
# config directory. Filter connections are written the milter library's way:
# unix:/path or inet:PORT@127.0.0.1. Only processes started here are stopped,
# by their process ids.

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/support/daemon.sh
source "$E2E_HERE/../support/daemon.sh"
E2E_SKIP=77
E2E_ROOT=${QUORVANE_E2E_ROOT:-/tmp/quorvane-e2e}
E2E_FAILURES=0
E2E_STOPS=()
E2E_LEFTOVER_STOPS=()

e2e_skip() {
  echo "SKIP: $*"
  exit "$E2E_SKIP"
}

e2e_fail() {
  echo "FAIL: $*" >&2
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

e2e_pass() { echo "ok: $*"; }

# Closing line and status of a test script, once Postfix and the filters
# have stopped (a daemon that does not stop cleanly fails the test).
e2e_finish() {
  pf_stop
  filter_stop
  if [ "$E2E_FAILURES" -ne 0 ]; then
    echo "$E2E_FAILURES check(s) failed; instance kept in $E2E_DIR" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

e2e_require() {
  [ "$(id -u)" = 0 ] || e2e_skip "a private Postfix needs root"
  [ -x /usr/sbin/postfix ] && [ -x /usr/sbin/smtp-sink ] ||
    e2e_skip "Postfix is not installed (tests/e2e/install.sh installs it)"
  command -v swaks >/dev/null || e2e_skip "swaks is not installed (tests/e2e/install.sh installs it)"
  getent passwd postfix >/dev/null || e2e_skip "no postfix user"
  command -v perl >/dev/null || e2e_skip "perl is missing"
}

# A loopback TCP port that no socket uses, below the range the kernel picks
# client ports from (a port that an outgoing connection holds cannot be
# bound for listening).
e2e_free_port() {
  local port tries=0 low=32768
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null
  [ "$low" -gt 12000 ] 2>/dev/null || low=32768
  while [ $tries -lt 200 ]; do
    port=$((10000 + (RANDOM * 32768 + RANDOM) % (low - 10000)))
    if command -v ss >/dev/null; then
      if [ -z "$(ss -Htan "( sport = :$port or dport = :$port )" 2>/dev/null)" ]; then
        echo "$port"
        return 0
      fi
    elif ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
    tries=$((tries + 1))
  done
  return 1
}

# Polls COMMAND every 0.05 s for up to SECONDS seconds.
e2e_wait_for() {
  local seconds=$1
  shift
  local rounds=$((seconds * 20))
  while [ $rounds -gt 0 ]; do
    "$@" && return 0
    sleep 0.05
    rounds=$((rounds - 1))
  done
  return 1
}

e2e_port_listens() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

e2e_init() {
  E2E_NAME=$1
  E2E_T0=$(date +%s)
  E2E_DIR=$E2E_ROOT/$E2E_NAME
  PF_CONF=$E2E_DIR/etc
  pf_stop_leftover
  local stop
  for stop in "${E2E_LEFTOVER_STOPS[@]}"; do "$stop"; done
  rm -rf "$E2E_DIR"
  mkdir -p "$PF_CONF" "$E2E_DIR/spool" "$E2E_DIR/data" "$E2E_DIR/run" "$E2E_DIR/out" || exit 1
  chmod 755 "$E2E_ROOT" "$E2E_DIR" "$E2E_DIR/run"
  chmod 777 "$E2E_DIR/out"
  chown postfix "$E2E_DIR/data"
  SMTP_PORT=$(e2e_free_port) || exit 1
  SINK_PORT=
  SINK_PID=
  FILTER_PID=
  FILTER_PIDS=()
  QUORVANE_LABELS=()
  DAEMON_DIR=$E2E_DIR
  PF_RUNNING=0
  PF_MAIN_EXTRA=()
  trap e2e_teardown EXIT
  trap 'exit 1' INT TERM
}

e2e_teardown() {
  local status=$? stop
  pf_stop
  filter_stop
  sink_stop
  for stop in "${E2E_STOPS[@]}"; do "$stop"; done
  return $status
}

# Lists the instance's config directory in the default main.cf, once; the
# lock keeps tests that start at the same time from losing each other's entry.
pf_register_config_dir() {
  local main=/etc/postfix/main.cf
  (
    flock 9
    [ -e $main ] || : >$main
    local current
    current=$(postconf -c /etc/postfix -h alternate_config_directories 2>/dev/null)
    case " ${current//,/ } " in
      *" $PF_CONF "*) ;;
      *) postconf -c /etc/postfix -e "alternate_config_directories = ${current:+$current }$PF_CONF" ;;
    esac
  ) 9>/etc/postfix/.quorvane-e2e.lock
}

# Postfix names the filter inet:HOST:PORT where the milter library says
# inet:PORT@HOST.
pf_milter_name() {
  case $1 in
    inet:*@*)
      local rest=${1#inet:}
      echo "inet:${rest#*@}:${rest%@*}"
      ;;
    *) echo "$1" ;;
  esac
}

pf_configure() {
  local conn milters=
  for conn in "$@"; do milters="${milters:+$milters, }$(pf_milter_name "$conn")"; done
  sed -e "s/^smtp\( *\)inet.*/127.0.0.1:$SMTP_PORT inet n - n - - smtpd/" /etc/postfix/master.cf >"$PF_CONF/master.cf"
  : >"$PF_CONF/main.cf"
  # No chroot: the filter socket and the sink are reached by their real paths.
  postconf -c "$PF_CONF" -Fe "*/*/chroot = n"
  local transport=discard
  [ -n "$SINK_PORT" ] && transport=smtp
  cat >"$PF_CONF/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $E2E_DIR/spool
data_directory = $E2E_DIR/data
maillog_file = $E2E_DIR/postfix.log
maillog_file_prefixes = $E2E_DIR
myhostname = mx.e2e.test
mydomain = e2e.test
myorigin = e2e.test
inet_interfaces = loopback-only
inet_protocols = ipv4
mydestination =
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
local_transport = discard
default_transport = $transport
relay_transport = $transport
relayhost = ${SINK_PORT:+[127.0.0.1]:$SINK_PORT}
smtp_dns_support_level = disabled
smtp_tls_security_level = none
smtpd_tls_security_level = none
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = check_recipient_access inline:{ rejected@e2e.test=REJECT }
smtputf8_enable = no
biff = no
smtpd_milters = $milters
milter_default_action = tempfail
default_destination_concurrency_limit = 20
message_size_limit = 0
EOF
  [ ${#PF_MAIN_EXTRA[@]} -eq 0 ] || printf '%s\n' "${PF_MAIN_EXTRA[@]}" >>"$PF_CONF/main.cf"
}

pf_start() {
  pf_register_config_dir
  pf_configure "$@"
  if ! script -qc "postfix -c $PF_CONF start" /dev/null >"$E2E_DIR/postfix-start.out" 2>&1; then
    cat "$E2E_DIR/postfix-start.out" >&2
    tail -20 "$E2E_DIR/postfix.log" >&2 2>/dev/null
    echo "Postfix did not start" >&2
    exit 1
  fi
  PF_RUNNING=1
  e2e_wait_for 20 e2e_port_listens "$SMTP_PORT" || {
    tail -20 "$E2E_DIR/postfix.log" >&2
    echo "Postfix does not listen on $SMTP_PORT" >&2
    exit 1
  }
}

pf_master_pid() {
  local pid
  pid=$(tr -dc 0-9 <"$E2E_DIR/spool/pid/master.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

pf_stop() {
  [ "$PF_RUNNING" = 1 ] || return 0
  PF_RUNNING=0
  local pid
  pid=$(pf_master_pid) || return 0
  postfix -c "$PF_CONF" stop >/dev/null 2>&1
  e2e_wait_for 10 pf_gone "$pid" || postfix -c "$PF_CONF" abort >/dev/null 2>&1
}

pf_gone() { ! kill -0 "$1" 2>/dev/null; }

# An instance left running by an interrupted earlier run of the same test.
pf_stop_leftover() {
  [ -d "$E2E_DIR/spool/pid" ] || return 0
  local pid
  pid=$(pf_master_pid) || return 0
  postfix -c "$PF_CONF" stop >/dev/null 2>&1
  e2e_wait_for 10 pf_gone "$pid"
}

pf_queue_empty() {
  postqueue -c "$PF_CONF" -p 2>/dev/null | grep -q "Mail queue is empty"
}

pf_wait_queue_empty() { e2e_wait_for "${1:-20}" pf_queue_empty; }

# smtp-sink writes each message it receives to its own file in DUMPDIR
# (default $E2E_DIR/sink), its RCPT arguments first as X-Rcpt-Args lines.
sink_start() {
  SINK_DIR=${1:-$E2E_DIR/sink}
  mkdir -p "$SINK_DIR"
  chown postfix "$SINK_DIR"
  SINK_PORT=$(e2e_free_port) || exit 1
  smtp-sink -u postfix -d "$SINK_DIR/%H%M%S." "127.0.0.1:$SINK_PORT" 100 \
    >"$E2E_DIR/sink.out" 2>&1 &
  SINK_PID=$!
  e2e_wait_for 10 e2e_port_listens "$SINK_PORT" || {
    cat "$E2E_DIR/sink.out" >&2
    echo "smtp-sink does not listen" >&2
    exit 1
  }
}

sink_stop() {
  [ -n "$SINK_PID" ] || return 0
  kill "$SINK_PID" 2>/dev/null
  wait "$SINK_PID" 2>/dev/null
  SINK_PID=
}

sink_count() { find "$SINK_DIR" -type f | wc -l; }

sink_wait_count() {
  local want=$1
  e2e_wait_for "${2:-20}" sink_has "$want"
}

sink_has() { [ "$(sink_count)" -ge "$1" ]; }

# Starts CMD (a milter that listens on CONN) in the background with its
# output in $E2E_DIR/filter.out and .err, and waits until it answers
# (daemon_answers). The socket is made with umask 0 so that Postfix's
# unprivileged smtpd may connect to it.
filter_start() {
  FILTER_CONN=$1
  shift
  local name
  name=filter$(filter_suffix)
  case $FILTER_CONN in unix:*) rm -f "${FILTER_CONN#unix:}" ;; esac
  (umask 0 && exec "$@" >"$E2E_DIR/$name.out" 2>"$E2E_DIR/$name.err") &
  FILTER_PID=$!
  FILTER_PIDS+=("$FILTER_PID")
  if ! e2e_wait_for 10 daemon_answers "$FILTER_CONN"; then
    cat "$E2E_DIR/$name.err" >&2
    echo "filter does not listen on $FILTER_CONN: $*" >&2
    exit 1
  fi
}

# Stops every filter started: the daemons under test with daemon_stop, the
# others by process id.
filter_stop() {
  local label pid
  for label in "${QUORVANE_LABELS[@]}"; do
    daemon_stop "$label" || e2e_fail "daemon $label did not stop cleanly"
  done
  QUORVANE_LABELS=()
  for pid in "${FILTER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null
    e2e_wait_for 10 pf_gone "$pid" || kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  FILTER_PIDS=()
  FILTER_PID=
}

# Names the output files of the next filter: "" for the first one running,
# then 2, 3 and so on.
filter_suffix() {
  local n=$((${#FILTER_PIDS[@]} + 1))
  [ "$n" = 1 ] || echo "$n"
}

filter_unix_conn() { echo "unix:$E2E_DIR/run/${1:-filter}.sock"; }
filter_inet_conn() { echo "inet:$(e2e_free_port)@127.0.0.1"; }

# swaks against the instance; extra arguments are swaks options.
send_mail() {
  swaks --server 127.0.0.1 --port "$SMTP_PORT" --helo client.e2e.test --timeout 30 "$@"
}

# The daemon under test: $QUORVANE_BINARY (set by ctest) listening on CONN
# with rule file RULES; extra arguments are further options (-a, -v). Its
# socket is made with umask 0 so that Postfix's unprivileged smtpd may
# connect to it. Sets QUORVANE_LOG, FILTER_CONN and FILTER_PID.
quorvane_start() {
  local conn=$1 rules=$2
  shift 2
  local label=quorvane mask
  [ ${#QUORVANE_LABELS[@]} -eq 0 ] || label=quorvane$((${#QUORVANE_LABELS[@]} + 1))
  mask=$(umask)
  umask 0
  daemon_start "$label" "$conn" -f "$rules" "$@" || exit 1
  umask "$mask"
  QUORVANE_LABELS+=("$label")
  # shellcheck disable=SC2034  # read by the test scripts
  QUORVANE_LOG=$E2E_DIR/$label.log
  FILTER_CONN=$conn
  FILTER_PID=${DAEMON_PID[$label]}
}

# Log lines of the daemons that report a failure.
quorvane_error_lines() { cat "$E2E_DIR"/quorvane*.log | grep -a -E ' Quorvane\([^)]*\): (ERROR|WARNING) - '; }

# Milter trouble as Postfix saw it.
pf_milter_trouble() { grep -a -i -E 'warning: .*milter|milter.*(error|timeout|unavailable)' "$E2E_DIR/postfix.log"; }

smtp_dialog() { perl "$E2E_HERE/smtp_dialog.pl" "$SMTP_PORT"; }

# check_records FILE SENDER REST [SENDER REST ...]: FILE holds exactly these
# records (tests/support/mbox_check.pl); dates must fall after e2e_init.
check_records() {
  local file=$1 out
  if [ ! -f "$file" ]; then
    e2e_fail "$file was not written"
    return 1
  fi
  if out=$(MBOX_NOT_BEFORE=$E2E_T0 perl "$E2E_HERE/../support/mbox_check.pl" records "$@" 2>&1); then
    e2e_pass "$(basename "$file") holds the expected $((($# - 1) / 2)) record(s)"
  else
    e2e_fail "$(basename "$file"): $out"
  fi
}
