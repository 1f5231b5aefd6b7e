#!/bin/bash
# The error policy as an SMTP client sees it: with -a a failed Store In or
# Pipe makes Postfix answer the message with a 4xx reply (the client keeps
# the mail and retries), without -a the message is accepted all the same.
# Both cases log the failure with the matching policy text.
source "$(dirname "$0")/harness.sh"
e2e_require
e2e_init tempfail

rules=$E2E_DIR/rules.conf
cat >"$rules" <<EOF
{ From is "store@x.test" } Store In "$E2E_DIR/missing/dir/%FROM.USER%.mbox";
{ From is "pipe@x.test" } Pipe "cat >/dev/null; exit 3";
{ Match all } Store In "$E2E_DIR/out/all.mbox";
EOF

conn=$(filter_unix_conn quorvane)

# The reply to the end of DATA, as swaks shows it ("<-  250 ..." or "<** 451 ...").
final_reply() {
  send_mail --from "$1" --to rcpt@e2e.test --body "policy test" 2>&1 |
    sed -n '/^ -> \.$/,$p' | sed -n '2{s/^<[-*]* *//;p}'
}

expect_reply() {
  local sender=$1 want=$2 what=$3 reply
  reply=$(final_reply "$sender")
  case $reply in
    $want*) e2e_pass "$what: $reply" ;;
    *) e2e_fail "$what: reply '$reply', want $want..." ;;
  esac
}

# -a: returned to the sender's MTA for a retry.
quorvane_start "$conn" "$rules" -a
pf_start "$conn"
expect_reply store@x.test 4 "-a, Store In into a missing directory"
expect_reply pipe@x.test 4 "-a, Pipe command that exits 3"
expect_reply fine@x.test 250 "-a, no failure"
grep -q "Could not open file '$E2E_DIR/missing/dir/store.mbox'.*Mail returned to sender" "$QUORVANE_LOG" &&
  e2e_pass "Store In failure logged with 'Mail returned to sender'" ||
  e2e_fail "no Store In error line in: $(cat "$QUORVANE_LOG")"
grep -q "Failure executing program 'cat >/dev/null; exit 3'.*Mail returned to sender" "$QUORVANE_LOG" &&
  e2e_pass "Pipe failure logged" || e2e_fail "no Pipe error line in: $(cat "$QUORVANE_LOG")"
filter_stop

# Default policy: accepted despite the error.
mv "$QUORVANE_LOG" "$QUORVANE_LOG.with-a"
quorvane_start "$conn" "$rules"
expect_reply store@x.test 250 "default policy, Store In into a missing directory"
grep -q "Could not open file.*Mail accepted despite error" "$QUORVANE_LOG" &&
  e2e_pass "failure logged with 'Mail accepted despite error'" ||
  e2e_fail "no accepted-despite-error line in: $(cat "$QUORVANE_LOG")"

pf_wait_queue_empty || e2e_fail "Postfix queue did not drain"
# A failed action stops no later rule: every message the daemon saw, the
# two answered with 4xx included, has its record in all.mbox.
n=$(grep -a -c '^From <' "$E2E_DIR/out/all.mbox")
[ "$n" = 4 ] && e2e_pass "later rules still ran after a failed action" ||
  e2e_fail "all.mbox holds $n records, want 4"
e2e_finish
