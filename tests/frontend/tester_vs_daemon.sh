#!/usr/bin/env bash
# quorvane-test against the daemon: one message is sent to the real daemon
# through the milter protocol (miltertest plays the MTA), and the same
# message, saved as a file, is given to quorvane-test --run. The condition
# trace of every rule must be the daemon's, byte for byte, and every file the
# daemon wrote must be written by the tester with the same bytes, apart from
# the date in the From line. The rules test the envelope, the header fields
# and the size, and name files after the message date. The daemon is started
# and stopped with tests/support/daemon.sh and must stop cleanly.
# Usage: tester_vs_daemon.sh DAEMON TESTER, with QUORVANE_MILTER_CLIENT set.
# Exit 77 (skip) without miltertest.
set -u
# shellcheck source=tests/support/daemon.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/daemon.sh"
export QUORVANE_BINARY=$1
tester=$2
command -v miltertest >/dev/null 2>&1 || { echo "SKIP: miltertest is not installed"; exit 77; }

dir=$(mktemp -d)
DAEMON_DIR=$dir
cleanup() {
  daemon_kill_all
  [ -n "${KEEP:-}" ] || rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

mkdir "$dir/out"
cat >"$dir/rules" <<EOF
{ From contains ann and ! To is cy@other.test } Store In "$dir/out/first-%FROM.USER%";
{ Sender is ann or To ends "@other.test" } Store In "$dir/out/each-%ALLTO.USER%", Pipe "cat >$dir/out/piped-%TO.DOMAIN%";
{ To ends "@example.org" and Sender is ann } Store In "$dir/out/never";
{ Header SUBJECT matches "hello?world" and Size under 1K and Size over 100 and From regex "^ANN\\\\." } Store In "$dir/out/header-%YEAR%";
{ Header X-Empty is "" and ! Header X-None !is "" and To !matches "*@other.test" } Store In "$dir/out/each-%ALLTO.USER%-%MONTH%";
{ Not matched } Store In "$dir/out/never";
{ Match all } Store In "$dir/out/all", Halt;
{ Match all } Store In "$dir/out/never";
EOF

# The message as an MTA passes it: headers as name and value (folded lines
# joined by a newline), the body with CR LF line ends.
cat >"$dir/send.lua" <<EOF
local conn = mt.connect("$(daemon_socket daemon)", 50, 0.1)
if conn == nil then error("cannot connect") end
if mt.negotiate(conn, nil, nil, nil) ~= nil then error("negotiate") end
mt.macro(conn, SMFIC_MAIL, "{auth_authen}", "Ann")
if mt.mailfrom(conn, "<Ann.Box@Example.ORG>") ~= nil then error("mailfrom") end
if mt.rcptto(conn, "<bob@example.org>") ~= nil then error("rcptto") end
if mt.rcptto(conn, "<Cy@Other.Test>") ~= nil then error("rcptto") end
if mt.rcptto(conn, "<dee@other.test>") ~= nil then error("rcptto") end
if mt.header(conn, "From", "\"Box, Ann\" <ann.box@example.org>") ~= nil then error("header") end
if mt.header(conn, "Subject", "hello\n\tworld") ~= nil then error("header") end
if mt.header(conn, "X-Empty", "") ~= nil then error("header") end
if mt.bodystring(conn, "first line\r\nFrom the start\r\n\r\nlast\r\n") ~= nil then error("body") end
if mt.eom(conn) ~= nil then error("eom") end
if mt.getreply(conn) ~= SMFIR_CONTINUE then error("verdict") end
mt.disconnect(conn)
EOF
printf 'From: "Box, Ann" <ann.box@example.org>\nSubject: hello\n\tworld\nX-Empty:\n\nfirst line\nFrom the start\n\nlast\n' \
  >"$dir/message"

daemon_start daemon "$(daemon_socket daemon)" -v -f "$dir/rules" || fail "the daemon did not start"
miltertest -s "$dir/send.lua" >"$dir/miltertest.out" 2>&1 || fail "miltertest: $(cat "$dir/miltertest.out")"
daemon_stop daemon || fail "the daemon did not stop cleanly"
mv "$dir/out" "$dir/daemon"
mkdir "$dir/out"

"$tester" -v --run -f "$dir/rules" --from "<Ann.Box@Example.ORG>" --to "<bob@example.org>" --to "<Cy@Other.Test>" \
  --to "<dee@other.test>" --auth Ann "$dir/message" >"$dir/tester.out" 2>"$dir/tester.err" ||
  fail "quorvane-test failed: $(cat "$dir/tester.err")"

# Condition traces: the tester prints each on a line of its own; the daemon
# goes on with the rule's actions on the same line.
grep '^(' "$dir/daemon.out" >"$dir/daemon.trace"
grep '^(' "$dir/tester.out" >"$dir/tester.trace"
[ "$(wc -l <"$dir/tester.trace")" -eq 7 ] || fail "expected 7 evaluated rules: $(cat "$dir/tester.out")"
[ "$(wc -l <"$dir/daemon.trace")" -eq 7 ] || fail "the daemon evaluated other rules: $(cat "$dir/daemon.out")"
n=0
while IFS= read -r line; do
  n=$((n + 1))
  want=$(sed -n "${n}p" "$dir/daemon.trace")
  case $want in
  "$line" | "$line"Action:*) ;;
  *) fail "rule $n: tester trace '$line', daemon '$want'" ;;
  esac
done <"$dir/tester.trace"

# Files: the same names, the same records but for the date.
daemon_files=$(cd "$dir/daemon" && ls)
tester_files=$(cd "$dir/out" && ls)
[ "$daemon_files" = "$tester_files" ] || fail "daemon wrote '$daemon_files', tester '$tester_files'"
[ -n "$daemon_files" ] || fail "nothing was written"
for name in $daemon_files; do
  sed '1s/  .*$//' "$dir/daemon/$name" >"$dir/a"
  sed '1s/  .*$//' "$dir/out/$name" >"$dir/b"
  cmp -s "$dir/a" "$dir/b" || fail "$name differs: $(diff "$dir/a" "$dir/b")"
done
echo "traces and records of quorvane-test match the daemon's ($(echo "$daemon_files" | wc -w) files)"
