#!/usr/bin/env bash
# The records the daemon wrote, byte for byte, and its verbose trace.
set -euo pipefail
dir=$QUORVANE_TEST_DIR
fail() { echo "$*" >&2; exit 1; }

record=$(cat all.mbox; echo x)
record=${record%x}
date_line=${record%%$'\n'*}
[[ $date_line =~ ^From\ \<sender@example\.org\>\ \ [A-Z][a-z]{2}\ [A-Z][a-z]{2}\ [\ 1-3][0-9]\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ [0-9]{4}$ ]] ||
  fail "From line: $date_line"
expected=$(printf '%s\nFrom: Sender <sender@example.org>\nSubject: test\n\nHello.\r\nSecond chunk.\r\n\n\nx' "$date_line")
expected=${expected%x}
[[ $record == "$expected" ]] || fail "all.mbox differs: $(od -c all.mbox | head -20)"
cmp all.mbox piped || fail "the piped record differs"
cmp all.mbox box-one || fail "box-one differs"
cmp all.mbox box-two || fail "box-two differs"
[[ ! -e box-x && ! -e never ]] || fail "a file for an unselected recipient or an unmatched rule"
[[ $(stat -c %a all.mbox) == 620 || $(stat -c %a all.mbox) == 600 ]] || fail "mode $(stat -c %a all.mbox)"

trace=$(cat "$QUORVANE_STDOUT")
expected_trace="Quorvane Version 1.2 started. Running with verbose level 1.
(match all [true])Action: Store In '$dir/all.mbox' - Success. Action: Pipe 'cat > $dir/piped' - Success. \
Action: Add Header 'X-Archived: yes' - Success. Action: Add Header 'Cc: sender@example.org' - Success. 
(\"one@example.net\" ends \"@example.net\" [true], \"two@example.net\" ends \"@example.net\" [true], \
\"x@other.org\" \"@example.net\" [false], )Action: Store In 'Each matched to address:' $dir/box-one, $dir/box-two, - Success. 
(\"sender@example.org\" is \"nobody@nowhere\" [false])"
[[ $trace == "$expected_trace" ]] || fail "trace differs:
$trace
--- wanted:
$expected_trace"
