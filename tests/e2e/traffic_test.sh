#!/bin/bash
# Ordinary SMTP traffic leaves no ERROR or WARNING line in the daemon's log
# and no milter complaint in Postfix's: a session that quits without mail, a
# transaction reset half way, several messages on one connection, rejected
# recipients, and a client that hangs up in the middle of a transaction. Each
# accepted message is stored exactly once.
source "$(dirname "$0")/harness.sh"
e2e_require
e2e_init ordinary_traffic

rules=$E2E_DIR/rules.conf
cat >"$rules" <<EOF
{ Match all } Store In "$E2E_DIR/out/all.mbox";
EOF
conn=$(filter_unix_conn quorvane)
quorvane_start "$conn" "$rules"
pf_start "$conn"

# talk NAME: runs the dialog on standard input, keeps its transcript.
talk() { smtp_dialog >"$E2E_DIR/dialog-$1.txt" 2>&1; }
replies() { grep -c "^S: $2" "$E2E_DIR/dialog-$1.txt"; }

message() {
  printf '%s\n' DATA "Subject: $1" "Message-ID: <$1@x.test>" '' "body $1" .
}

printf '%s\n' 'EHLO client.e2e.test' QUIT | talk quit
printf '%s\n' 'EHLO client.e2e.test' 'MAIL FROM:<a@x.test>' 'RCPT TO:<r@e2e.test>' RSET QUIT | talk rset-only

{
  printf '%s\n' 'EHLO client.e2e.test' 'MAIL FROM:<a@x.test>' 'RCPT TO:<r@e2e.test>' RSET
  printf '%s\n' 'MAIL FROM:<b@x.test>' 'RCPT TO:<r@e2e.test>'
  message after-rset
  echo QUIT
} | talk rset

{
  echo 'EHLO client.e2e.test'
  for i in 1 2 3; do
    printf '%s\n' "MAIL FROM:<s$i@x.test>" "RCPT TO:<r$i@e2e.test>"
    message "same-connection-$i"
  done
  echo QUIT
} | talk several

{
  printf '%s\n' 'EHLO client.e2e.test' 'MAIL FROM:<a@x.test>' 'RCPT TO:<rejected@e2e.test>' 'RCPT TO:<r@e2e.test>'
  message one-rejected
  printf '%s\n' 'MAIL FROM:<a@x.test>' 'RCPT TO:<rejected@e2e.test>' DATA RSET QUIT
} | talk rejected

printf '%s\n' 'EHLO client.e2e.test' 'MAIL FROM:<a@x.test>' 'RCPT TO:<r@e2e.test>' | talk hangup

[ "$(replies quit '221')" = 1 ] || e2e_fail "QUIT without mail: $(cat "$E2E_DIR/dialog-quit.txt")"
[ "$(replies rset '250 2.0.0 Ok: queued')" = 1 ] || e2e_fail "message after RSET not queued"
[ "$(replies several '250 2.0.0 Ok: queued')" = 3 ] || e2e_fail "not all 3 messages on one connection queued"
[ "$(replies rejected '554 5.7.1 <rejected@e2e.test>')" = 2 ] || e2e_fail "recipient not rejected twice: $(cat "$E2E_DIR/dialog-rejected.txt")"
[ "$(replies rejected '250 2.0.0 Ok: queued')" = 1 ] || e2e_fail "message with one rejected recipient not queued"

pf_wait_queue_empty || e2e_fail "Postfix queue did not drain"
# Let the daemon see the hang-up before its log is read.
e2e_wait_for 10 grep -q 'hangup\|disconnect from.*commands=3' "$E2E_DIR/postfix.log"
sleep 0.5

subjects=$(grep -a '^Subject: ' "$E2E_DIR/out/all.mbox" 2>/dev/null | sed 's/^Subject: //' | sort | tr '\n' ' ')
want="after-rset one-rejected same-connection-1 same-connection-2 same-connection-3 "
[ "$subjects" = "$want" ] && e2e_pass "each accepted message stored once" ||
  e2e_fail "stored: '$subjects', want '$want'"

errors=$(quorvane_error_lines)
[ -z "$errors" ] && e2e_pass "no ERROR or WARNING line in the daemon's log" || e2e_fail "daemon logged: $errors"
[ -s "$E2E_DIR/quorvane.err" ] && e2e_fail "daemon wrote to standard error: $(cat "$E2E_DIR/quorvane.err")"
trouble=$(pf_milter_trouble)
[ -z "$trouble" ] || e2e_fail "Postfix reported: $trouble"
e2e_finish
