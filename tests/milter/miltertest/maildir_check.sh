#!/usr/bin/env bash
# The Maildir files the daemon wrote, byte for byte, their names, the one
# error line and the verbose trace.
set -euo pipefail
dir=$QUORVANE_TEST_DIR
fail() { echo "$*" >&2; exit 1; }

# The only file of <maildir>/new whose bytes are <content>, named as Maildir
# readers expect with its size; nothing may be left in tmp/.
expect_file() {
  local maildir=$1 content=$2 name found=
  [[ -d $maildir/cur && -z $(ls "$maildir/tmp") ]] || fail "$maildir: no cur/ or files left in tmp/"
  for name in "$maildir"/new/*; do
    [[ ${name##*/} =~ ^[0-9]+\.M[0-9]{6}P[0-9]+Q[0-9]+\..+,S=([0-9]+)$ ]] || fail "not a Maildir name: $name"
    [[ ${BASH_REMATCH[1]} == $(stat -c %s "$name") ]] || fail "$name: the size in the name is not the file's"
    [[ $(stat -c %a "$name") == 600 ]] || fail "$name: mode $(stat -c %a "$name")"
    if [[ $(cat "$name"; echo x) == "${content}x" ]]; then found=$name; fi
  done
  [[ -n $found ]] || fail "$maildir holds no file with: $content (it has: $(cat "$maildir"/new/* | od -c | head -20))"
}

first=$'Return-Path: <sender@example.org>\nFrom: Sender <sender@example.org>\nSubject: test\n\nHello.\nSecond\nlone\rCR\n'
second=$'Return-Path: <>\nSubject: bounce\n\nNo body line end'
expect_file md "$first"
expect_file md "$second"
expect_file md-one "$first"
expect_file md-one "$second"
expect_file md-two "$first"
[[ $(ls md/new | wc -l) == 2 && $(ls md-one/new | wc -l) == 2 && $(ls md-two/new | wc -l) == 1 ]] ||
  fail "unexpected file counts"
[[ ! -e md-x ]] || fail "a Maildir for an unselected recipient"
[[ $(ls -d "$dir"/*/ | wc -l) == 3 ]] || fail "directories made besides the three Maildirs: $(ls -d "$dir"/*/)"
[[ $(stat -c %a md) == 700 && $(stat -c %a md/new) == 700 ]] || fail "Maildir modes $(stat -c %a md md/new)"

errors=$(grep ' ERROR - ' "$QUORVANE_LOG")
suffix=" Quorvane(ActionMaildir): ERROR - Could not deliver to maildir '$dir/': create. (errno: 22:Invalid argument). Mail accepted despite error."
[[ $(printf '%s\n' "$errors" | wc -l) == 1 && ${errors:24} == "$suffix" ]] || fail "unexpected error lines: $errors"

trace=$(cat "$QUORVANE_STDOUT")
expected_trace="Quorvane Version 1.2 started. Running with verbose level 1.
(match all [true])Action: Maildir '$dir/md' - Success. 
(\"one@example.net\" ends \"@example.net\" [true], \"two@example.net\" ends \"@example.net\" [true], \
\"x@other.org\" \"@example.net\" [false], )Action: Maildir 'Each matched to address:' $dir/md-one, $dir/md-two, - Success. 
(\"sender@example.org\" is \"\" [false])
(match all [true])Action: Maildir '$dir/md' - Success. 
(\"one@example.net\" ends \"@example.net\" [true], )Action: Maildir 'Each matched to address:' $dir/md-one, - Success. 
(\"\" is \"\" [true])Action: Maildir '$dir/' - Failed. "
[[ $trace == "$expected_trace" ]] || fail "trace differs:
$trace
--- wanted:
$expected_trace"
