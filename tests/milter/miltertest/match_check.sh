#!/usr/bin/env bash
# The files the header, size and pattern rules wrote, and their trace.
set -euo pipefail
fail() { echo "$*" >&2; exit 1; }

[[ -s list-dev && -s long ]] || fail "no list-dev or long mailbox: $(ls)"
cmp list-dev long || fail "the two records differ"
[[ ! -e never ]] || fail "a rule that must not match wrote 'never'"
dated=$(ls | grep -E '^[0-9]{4}-[0-9]{2}-[0-9]{2}-two$') || fail "no dated mailbox: $(ls)"
# The record's date line is the message time the name was made of.
read -r _ _ _ month day _ year < <(head -1 "$dated")
[[ $dated == "$(date -d "$month $day $year" +%Y-%m-%d)-two" ]] || fail "$dated for $(head -1 "$dated")"

trace=$(cat "$QUORVANE_STDOUT")
a900=$(printf 'a%.0s' {1..900})
for want in '(list-id: "developers <dev.example.org>" contains "<dev.example.org>" [true])' \
  "(X-Long: \"$a900\" regex \"(a*)*b\" [false])" \
  "(X-Long: \"$a900\" regex \"^a+\$\" [true](size 958 over 957 [true]))" \
  '(size 958 over 958 [false](X-Missing: [no data] is "x" [false]))' \
  '("sender@example.org" matches "*@example.[a-z]rg" [true]("one@example.net" regex "^TWO@" [false], "two@example.net" regex "^TWO@" [true]))'; do
  [[ $trace == *"$want"* ]] || fail "the trace lacks: $want"
done
