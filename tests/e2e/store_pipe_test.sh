#!/bin/bash
# Store In and Pipe through a real Postfix: the records land byte for byte,
# per-recipient actions name one file per selected recipient, a Pipe command
# gets the same record on its standard input, and a second message is
# appended after the first.
#
# Usage: store_pipe_test.sh unix|inet   (the kind of filter socket)
source "$(dirname "$0")/harness.sh"
kind=${1:-unix}
e2e_require
e2e_init "store_pipe_$kind"

out=$E2E_DIR/out
rules=$E2E_DIR/rules.conf
cat >"$rules" <<EOF
# Every message, as it is.
{ Match all } Store In "$out/all.mbox", Pipe "cat > $out/pipe-%FROM.USER%.out";
# One file per local recipient; the other recipients go to a command each.
{ To ends "@e2e.test" } Store In "$out/rcpt-%ALLTO.USER%.mbox";
{ To ends "@other.test" } Pipe "cat > $out/each-%ALLTO.USER%.out";
# Never matches: must leave no file.
{ From is "nobody@nowhere.test" } Store In "$out/never.mbox";
EOF

if [ "$kind" = inet ]; then conn=$(filter_inet_conn); else conn=$(filter_unix_conn quorvane); fi
quorvane_start "$conn" "$rules"
pf_start "$conn"

# Message 1: mixed-case envelope, three recipients, a folded header, headers
# with an empty value and without a blank, a body line that begins with
# "From ", a dot-stuffed line and 8-bit text.
smtp_dialog >"$E2E_DIR/dialog1.txt" <<'EOF'
EHLO client.e2e.test
MAIL FROM:<Ann.Box@X.Test> BODY=8BITMIME
RCPT TO:<One@e2e.test>
RCPT TO:<two@E2E.test>
RCPT TO:<three@other.test>
DATA
Date: Tue, 08 Dec 2026 10:00:00 +0000
From: Ann Box <Ann.Box@X.Test>
To: one@e2e.test, two@e2e.test, three@other.test
Message-ID: <e2e-1@x.test>
Subject: byte for byte
X-Folded: first line
	second line
X-Empty:
X-NoSpace:value

From the start of a line
..a leading dot
café crème

last line
.
QUIT
EOF
grep -q '^S: 250 2.0.0 Ok: queued' "$E2E_DIR/dialog1.txt" || e2e_fail "message 1 not accepted: $(cat "$E2E_DIR/dialog1.txt")"

rest1=$E2E_DIR/rest1
printf '%s\n' \
  'Date: Tue, 08 Dec 2026 10:00:00 +0000' \
  'From: Ann Box <Ann.Box@X.Test>' \
  'To: one@e2e.test, two@e2e.test, three@other.test' \
  'Message-ID: <e2e-1@x.test>' \
  'Subject: byte for byte' \
  "$(printf 'X-Folded: first line\n\tsecond line')" \
  'X-Empty: ' \
  'X-NoSpace: value' \
  '' >"$rest1"
printf '%s\r\n' 'From the start of a line' '.a leading dot' 'café crème' '' 'last line' >>"$rest1"
printf '\n\n' >>"$rest1"

# Message 2, on its own connection: the null sender, one local recipient, no
# body line ending in a newline of its own.
smtp_dialog >"$E2E_DIR/dialog2.txt" <<'EOF'
EHLO client.e2e.test
MAIL FROM:<>
RCPT TO:<one@e2e.test>
DATA
Date: Tue, 08 Dec 2026 10:00:01 +0000
From: postmaster@x.test
To: one@e2e.test
Message-ID: <e2e-2@x.test>
Subject: bounce

second
.
QUIT
EOF
grep -q '^S: 250 2.0.0 Ok: queued' "$E2E_DIR/dialog2.txt" || e2e_fail "message 2 not accepted: $(cat "$E2E_DIR/dialog2.txt")"

rest2=$E2E_DIR/rest2
printf '%s\n' 'Date: Tue, 08 Dec 2026 10:00:01 +0000' 'From: postmaster@x.test' 'To: one@e2e.test' \
  'Message-ID: <e2e-2@x.test>' 'Subject: bounce' '' >"$rest2"
printf 'second\r\n\n\n' >>"$rest2"

pf_wait_queue_empty || e2e_fail "Postfix queue did not drain"

check_records "$out/all.mbox" ann.box@x.test "$rest1" "" "$rest2"
check_records "$out/pipe-ann.box.out" ann.box@x.test "$rest1"
check_records "$out/pipe-.out" "" "$rest2"
check_records "$out/rcpt-one.mbox" ann.box@x.test "$rest1" "" "$rest2"
check_records "$out/rcpt-two.mbox" ann.box@x.test "$rest1"
check_records "$out/each-three.out" ann.box@x.test "$rest1"

# The same message time dates every record of one message.
if [ "$(head -c 60 "$out/all.mbox")" = "$(head -c 60 "$out/rcpt-two.mbox")" ]; then
  e2e_pass "records of one message carry one date"
else
  e2e_fail "records of one message differ in their From line"
fi

for absent in rcpt-three.mbox never.mbox each-one.out each-two.out; do
  [ -e "$out/$absent" ] && e2e_fail "$absent was written"
done
mode=$(stat -c %a "$out/all.mbox")
[ "$mode" = 620 ] && e2e_pass "mailbox created with mode 0620" || e2e_fail "all.mbox has mode $mode, want 620"

errors=$(quorvane_error_lines)
[ -z "$errors" ] || e2e_fail "daemon logged: $errors"
trouble=$(pf_milter_trouble)
[ -z "$trouble" ] || e2e_fail "Postfix reported: $trouble"
e2e_finish
