#!/bin/bash
# Journal copies through the MTA: Add Recipient hands Postfix a journal
# address that it delivers over LMTP to a private Dovecot, while the other
# recipients' copies go to an smtp-sink. The journal holds the message once,
# no copy a recipient gets names the journal address, and the daemon's own
# Store In ... With Envelope copy starts with the envelope as the MTA gave
# it, the recipient that only the envelope names included.
source "$(dirname "$0")/harness.sh"
source "$E2E_HERE/dovecot.sh"
e2e_require
dovecot_require
e2e_init journal

journal=journal@archive.example.test
out=$E2E_DIR/out
rules=$E2E_DIR/rules.conf
cat >"$rules" <<EOF
{ Match all } Add Recipient "$journal";
{ Match all } Store In "$out/journal.mbox" With Envelope;
EOF

dovecot_start
sink_start
conn=$(filter_unix_conn quorvane)
quorvane_start "$conn" "$rules"
PF_MAIN_EXTRA+=("transport_maps = inline:{ archive.example.test=$DOVECOT_LMTP }")
pf_start "$conn"

# Two recipients that the To header names, and a third one that only the
# envelope does, in mixed case.
smtp_dialog >"$E2E_DIR/dialog.txt" <<'EOF'
EHLO client.e2e.test
MAIL FROM:<Ann.Box@X.Test>
RCPT TO:<One@e2e.test>
RCPT TO:<two@E2E.test>
RCPT TO:<Hidden@e2e.test>
DATA
Date: Tue, 08 Dec 2026 10:00:00 +0000
From: Ann Box <Ann.Box@X.Test>
To: one@e2e.test, two@e2e.test
Message-ID: <e2e-journal@x.test>
Subject: for the record

first line
last line
.
QUIT
EOF
grep -q '^S: 250 2.0.0 Ok: queued' "$E2E_DIR/dialog.txt" || e2e_fail "message not accepted: $(cat "$E2E_DIR/dialog.txt")"

headers=$E2E_DIR/headers
printf '%s\n' 'Date: Tue, 08 Dec 2026 10:00:00 +0000' 'From: Ann Box <Ann.Box@X.Test>' \
  'To: one@e2e.test, two@e2e.test' 'Message-ID: <e2e-journal@x.test>' 'Subject: for the record' >"$headers"
body=$(printf 'first line\nlast line')

pf_wait_queue_empty || e2e_fail "Postfix queue did not drain: $(postqueue -c "$PF_CONF" -p)"
sink_wait_count 1 || e2e_fail "the sink received no message"

# The header section of a message file (up to the blank line that ends it)
# and its body, with the line ends made LF.
headers_of() { tr -d '\r' <"$1" | sed '/^$/q' | sed '$d'; }
body_of() { tr -d '\r' <"$1" | sed '1,/^$/d'; }
# Whether the message file holds the sent message: the sent header lines in
# order after the ones Postfix and Dovecot put on top, and the sent body.
is_sent_message() {
  [ "$(headers_of "$1" | tail -n "$(wc -l <"$headers")")" = "$(cat "$headers")" ] &&
    [ "$(body_of "$1")" = "$body" ]
}

# The journal: exactly one delivery, of the message as sent.
copies=$(dovecot_messages "$journal")
if [ "$(echo "$copies" | grep -c .)" != 1 ]; then
  e2e_fail "the journal holds $(echo "$copies" | grep -c .) messages, want 1: $(tail -5 "$DOVECOT_DIR/dovecot.log")"
elif ! is_sent_message "$copies"; then
  e2e_fail "the journal's copy is not the message sent: $(cat "$copies")"
else
  e2e_pass "the journal holds the message once"
fi

# The recipients' copy: one delivery for the three of them, nothing that
# names the journal address, and otherwise the message as sent.
dumps=$(find "$SINK_DIR" -type f)
if [ "$(echo "$dumps" | grep -c .)" != 1 ]; then
  e2e_fail "the sink received $(echo "$dumps" | grep -c .) messages, want 1"
else
  # Postfix hands them on in its own order.
  rcpts=$(sed -n 's/^X-Rcpt-Args: <\([^>]*\)>.*/\1/p' "$dumps" | sort | tr '\n' ' ')
  [ "$rcpts" = "Hidden@e2e.test One@e2e.test two@E2E.test " ] ||
    e2e_fail "the sink got the recipients '$rcpts'"
  named=$(headers_of "$dumps" | grep -i -F 'archive.example.test')
  [ -z "$named" ] && e2e_pass "no recipient's copy names the journal" ||
    e2e_fail "a recipient's copy names the journal: $named"
  is_sent_message "$dumps" && e2e_pass "the recipients' copy is the message sent" ||
    e2e_fail "the recipients' copy differs from the message sent: $(cat "$dumps")"
fi

# The daemon's own copy: the envelope first, in the order the MTA gave it.
rest=$E2E_DIR/rest
{
  printf '%s\n' 'X-Envelope-From: <ann.box@x.test>' 'X-Envelope-To: <one@e2e.test>' \
    'X-Envelope-To: <two@e2e.test>' 'X-Envelope-To: <hidden@e2e.test>'
  cat "$headers"
  printf '\nfirst line\r\nlast line\r\n\n\n'
} >"$rest"
check_records "$out/journal.mbox" ann.box@x.test "$rest"

errors=$(quorvane_error_lines)
[ -z "$errors" ] || e2e_fail "daemon logged: $errors"
trouble=$(pf_milter_trouble)
[ -z "$trouble" ] || e2e_fail "Postfix reported: $trouble"
e2e_finish
