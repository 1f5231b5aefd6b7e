#!/usr/bin/env bash
# The archive copy: the envelope lines right after the From line.
set -euo pipefail
fail() { echo "$*" >&2; exit 1; }

record=$(cat journal.mbox; echo x)
record=${record%x}
date_line=${record%%$'\n'*}
[[ $date_line =~ ^From\ \<sender@example\.org\>\ \  ]] || fail "From line: $date_line"
expected=$(printf '%s\nX-Envelope-From: <sender@example.org>\nX-Envelope-To: <one@example.net>\nX-Envelope-To: <x@other.org>\nX-Envelope-To: <two@example.net>\nFrom: Sender <sender@example.org>\nTo: one@example.net\n\nHello.\r\n\n\nx' "$date_line")
expected=${expected%x}
[[ $record == "$expected" ]] || fail "journal.mbox differs: $(od -c journal.mbox | head -20)"
