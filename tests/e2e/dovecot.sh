# shellcheck shell=bash
# A private, throwaway Dovecot that takes mail over LMTP, for end-to-end
# tests (sourced after harness.sh, not run).
#
#   dovecot_require       exit 77 (skip) unless Dovecot's LMTP server can run
#   dovecot_start         Dovecot on 127.0.0.1:$DOVECOT_PORT, delivering every
#                         user to the Maildir $DOVECOT_MAIL/DOMAIN/USER; sets
#                         DOVECOT_LMTP, the next hop to write in Postfix's
#                         transport_maps (lmtp:inet:127.0.0.1:PORT)
#   dovecot_stop          stop it (e2e_teardown calls this too)
#   dovecot_maildir ADDR  the Maildir of ADDR (user@domain)
#   dovecot_messages ADDR the files of the messages delivered to ADDR
#
# Everything lives in $E2E_DIR/dovecot: the config file (dovecot.conf), the
# base and state directories, the log (dovecot.log) and the mail. Nothing
# outside it is read or changed: the system's /etc/dovecot is never
# included. Users are not looked up anywhere: every recipient Postfix hands
# over is accepted. Mail is written as user "mail", which Dovecot accepts as
# a mail user once first_valid_uid allows it (it refuses root).

DOVECOT_PID=

dovecot_require() {
  [ -x /usr/sbin/dovecot ] && [ -x /usr/lib/dovecot/lmtp ] ||
    e2e_skip "Dovecot's LMTP server is not installed (tests/e2e/install.sh installs it)"
  getent passwd mail >/dev/null || e2e_skip "no mail user for Dovecot to deliver as"
  getent passwd dovecot >/dev/null && getent passwd dovenull >/dev/null ||
    e2e_skip "no dovecot or dovenull user (the dovecot-core package makes them)"
}

dovecot_configure() {
  local uid gid
  uid=$(id -u mail) && gid=$(id -g mail) || return 1
  cat >"$DOVECOT_CONF" <<EOF
instance_name = quorvane-$E2E_NAME
base_dir = $DOVECOT_DIR/run
state_dir = $DOVECOT_DIR/state
log_path = $DOVECOT_DIR/dovecot.log
protocols = lmtp
listen = 127.0.0.1
ssl = no
# Dovecot wants a passdb even where nobody logs in.
passdb {
  driver = static
  args = nopassword=y
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$DOVECOT_MAIL/%d/%n allow_all_users=yes
}
first_valid_uid = $uid
last_valid_uid = $uid
first_valid_gid = $gid
mail_location = maildir:$DOVECOT_MAIL/%d/%n
service lmtp {
  inet_listener lmtp {
    address = 127.0.0.1
    port = $DOVECOT_PORT
  }
}
EOF
}

dovecot_paths() {
  DOVECOT_DIR=$E2E_DIR/dovecot
  DOVECOT_CONF=$DOVECOT_DIR/dovecot.conf
  DOVECOT_MAIL=$DOVECOT_DIR/mail
}

dovecot_start() {
  dovecot_paths
  mkdir -p "$DOVECOT_DIR/run" "$DOVECOT_DIR/state" "$DOVECOT_MAIL" || exit 1
  chown mail:mail "$DOVECOT_MAIL"
  DOVECOT_PORT=$(e2e_free_port) || exit 1
  dovecot_configure || exit 1
  # In the foreground, so that the process id is the one started here.
  dovecot -F -c "$DOVECOT_CONF" >"$DOVECOT_DIR/dovecot.out" 2>&1 &
  DOVECOT_PID=$!
  if ! e2e_wait_for 10 e2e_port_listens "$DOVECOT_PORT"; then
    cat "$DOVECOT_DIR/dovecot.out" >&2
    tail -20 "$DOVECOT_DIR/dovecot.log" >&2 2>/dev/null
    echo "Dovecot does not listen on $DOVECOT_PORT" >&2
    exit 1
  fi
  # shellcheck disable=SC2034  # read by the test scripts
  DOVECOT_LMTP=lmtp:inet:127.0.0.1:$DOVECOT_PORT
}

dovecot_stop() {
  [ -n "$DOVECOT_PID" ] || return 0
  kill "$DOVECOT_PID" 2>/dev/null
  e2e_wait_for 10 pf_gone "$DOVECOT_PID" || kill -9 "$DOVECOT_PID" 2>/dev/null
  wait "$DOVECOT_PID" 2>/dev/null
  DOVECOT_PID=
}

# A Dovecot left running by an interrupted earlier run of the same test,
# found by the master's pid file in its own base directory.
dovecot_stop_leftover() {
  local pid
  dovecot_paths
  pid=$(tr -dc 0-9 2>/dev/null <"$DOVECOT_DIR/run/master.pid") || return 0
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null
  e2e_wait_for 10 pf_gone "$pid"
}

dovecot_maildir() { echo "$DOVECOT_MAIL/${1#*@}/${1%@*}"; }

dovecot_messages() {
  local dir
  dir=$(dovecot_maildir "$1")
  find "$dir/new" "$dir/cur" -type f 2>/dev/null
}

E2E_LEFTOVER_STOPS+=(dovecot_stop_leftover)
E2E_STOPS+=(dovecot_stop)
