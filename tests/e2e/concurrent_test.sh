#!/bin/bash
# Concurrent appends to one mailbox: ten SMTP sessions at once, each message
# filtered by two daemon processes in turn (one on a unix, one on an inet
# socket) whose rules append to the same file. Threads of one process and
# the two processes must never interleave their records: the file must hold
# every record whole, one after the other.
source "$(dirname "$0")/harness.sh"
e2e_require
e2e_init concurrent

out=$E2E_DIR/out
rules=$E2E_DIR/rules.conf
echo "{ Match all } Store In \"$out/shared.mbox\";" >"$rules"

quorvane_start "$(filter_unix_conn first)" "$rules"
first=$FILTER_CONN
quorvane_start "$(filter_inet_conn)" "$rules"
pf_start "$first" "$FILTER_CONN"

# One message, sent 200 times; its body is larger than a stdio buffer and a
# pipe buffer, so that a record written in pieces would show.
message=$E2E_DIR/message.txt
rest=$E2E_DIR/rest
{
  printf '%s\n' 'Date: Tue, 08 Dec 2026 10:00:00 +0000' 'From: sender@x.test' 'To: rcpt@e2e.test' \
    'Message-ID: <concurrent@x.test>' 'Subject: concurrent appends' ''
} >"$rest"
cp "$rest" "$message"
for i in $(seq 1 120); do
  line="line $i of the body: the quick brown fox jumps over the lazy dog"
  echo "$line" >>"$message"
  printf '%s\r\n' "$line" >>"$rest"
done
# smtp-source ends the message with an empty line of its own.
printf '\r\n\n\n' >>"$rest"

sessions=10 messages=200
smtp-source -s $sessions -m $messages -F "$message" -f sender@x.test -t rcpt@e2e.test "127.0.0.1:$SMTP_PORT" ||
  e2e_fail "smtp-source failed"
pf_wait_queue_empty 60 || e2e_fail "Postfix queue did not drain"

expected=()
for i in $(seq 1 $((2 * messages))); do expected+=(sender@x.test "$rest"); done
check_records "$out/shared.mbox" "${expected[@]}"

errors=$(quorvane_error_lines)
[ -z "$errors" ] || e2e_fail "daemon logged: $errors"
trouble=$(pf_milter_trouble)
[ -z "$trouble" ] || e2e_fail "Postfix reported: $trouble"
e2e_finish
