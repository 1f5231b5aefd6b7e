#!/bin/bash
# Add Header through a real Postfix, read back from what Postfix delivered to
# an smtp-sink: the header reaches the message, a Bcc header also adds its
# value as an envelope recipient, and a per-recipient header is added once
# for each selected recipient.
source "$(dirname "$0")/harness.sh"
e2e_require
e2e_init add_header

rules=$E2E_DIR/rules.conf
cat >"$rules" <<'EOF'
{ Match all } Add Header "X-Quorvane-Seen: %FROM%";
{ To is "bcc-me@e2e.test" } Add Header "Bcc: audit@e2e.test";
{ To ends "@list.test" } Add Header "X-Each-Rcpt: %ALLTO%";
EOF

sink_start
conn=$(filter_unix_conn quorvane)
quorvane_start "$conn" "$rules"
pf_start "$conn"

send() {
  local subject=$1
  shift
  send_mail --from a@x.test --header "Subject: $subject" --body "body of $subject" "$@" \
    >"$E2E_DIR/swaks-$subject.txt" 2>&1 || e2e_fail "swaks failed for $subject: $(tail -5 "$E2E_DIR/swaks-$subject.txt")"
}
send plain --to plain@e2e.test
send bcc --to bcc-me@e2e.test
send each --to m1@list.test,M2@List.Test,other@e2e.test

pf_wait_queue_empty || e2e_fail "Postfix queue did not drain: $(postqueue -c "$PF_CONF" -p)"
sink_wait_count 3 || e2e_fail "the sink received $(sink_count) messages, want 3"

# The dumped messages whose header section holds "Subject: NAME", and the
# header section of one dump (up to the blank line that ends it).
dumps_of() { grep -l -x "Subject: $1" -r "$SINK_DIR"; }
headers_of() { sed '/^$/q' "$1"; }

plain=$(dumps_of plain)
if [ "$(echo "$plain" | grep -c .)" != 1 ]; then
  e2e_fail "message 'plain' delivered $(echo "$plain" | grep -c .) times"
else
  headers_of "$plain" | grep -q -E '^X-Quorvane-Seen: +a@x\.test$' &&
    e2e_pass "added header reached the message" ||
    e2e_fail "no X-Quorvane-Seen header in: $(headers_of "$plain")"
  [ "$(grep -c '^X-Rcpt-Args:' "$plain")" = 1 ] || e2e_fail "'plain' got extra recipients: $(grep '^X-Rcpt-Args:' "$plain")"
fi

bcc_rcpts=$(dumps_of bcc | xargs -r cat | grep '^X-Rcpt-Args:' | sort)
if echo "$bcc_rcpts" | grep -q '^X-Rcpt-Args: <audit@e2e.test>' &&
  echo "$bcc_rcpts" | grep -q '^X-Rcpt-Args: <bcc-me@e2e.test>' && [ "$(echo "$bcc_rcpts" | grep -c .)" = 2 ]; then
  e2e_pass "Bcc header added the envelope recipient"
else
  e2e_fail "want RCPT bcc-me and audit, the sink saw: $bcc_rcpts"
fi

each=$(dumps_of each | head -1)
if [ -n "$each" ]; then
  got=$(headers_of "$each" | grep '^X-Each-Rcpt:' | sed 's/^X-Each-Rcpt: *//' | sort | tr '\n' ' ')
  [ "$got" = "m1@list.test m2@list.test " ] && e2e_pass "one header per selected recipient" ||
    e2e_fail "X-Each-Rcpt values: '$got', want m1@list.test and m2@list.test"
else
  e2e_fail "message 'each' not delivered"
fi

errors=$(quorvane_error_lines)
[ -z "$errors" ] || e2e_fail "daemon logged: $errors"
grep -q 'does not support' "$E2E_DIR/quorvane.err" && e2e_fail "daemon warned that Postfix cannot add headers"
trouble=$(pf_milter_trouble)
[ -z "$trouble" ] || e2e_fail "Postfix reported: $trouble"
e2e_finish
