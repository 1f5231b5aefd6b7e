#!/usr/bin/env bash
# Reloads under load, and the metrics file that counts them.
#
# 10 milter sessions (RELOAD_STREAMS) send round after round of messages
# while the rule file is swapped 100 times (RELOAD_SWAPS) between a file that
# stores into a.mbox and one that stores into b.mbox, each swap followed by
# SIGUSR1 and its reload line. Every message must then be stored exactly once,
# whole, in one of the two mailboxes, none lost, and each mailbox must have
# received some.
#
# Then one more reload of the same file (its rule counts from zero), a file
# with a syntax error and an empty file: each of the two gets one WARNING
# line, and the old rules keep storing into their mailbox.
#
# At the end the metrics file written at shutdown must pass `promtool check
# metrics` and count what was sent and what the mailboxes hold. Skipped (77)
# without promtool (Debian package prometheus).
source "$(dirname "$0")/lib.sh"
load_init reload
command -v promtool > /dev/null || load_skip "promtool is not installed (Debian package prometheus)"

streams=${RELOAD_STREAMS:-10}
swaps=${RELOAD_SWAPS:-100}
round=5  # messages per session and round
rules=$LOAD_DIR/rules.conf
metrics=$LOAD_DIR/quorvane.prom

cat > "$LOAD_DIR/a.conf" << EOF
# Everything into a.mbox.
{ Match all } Store In "$LOAD_DIR/a.mbox";
EOF
cat > "$LOAD_DIR/b.conf" << EOF
{ Match all } Store In "$LOAD_DIR/b.mbox";
EOF

# install <file>: replaces the rule file in one rename, as an editor or a
# deployment tool would.
install_rules() {
  cp "$1" "$rules.new" && mv -f "$rules.new" "$rules"
}

# reload <count> <text>: SIGUSR1, then waits until the log holds <count>
# lines containing <text>.
reload() {
  local want=$1 text=$2 i
  kill -USR1 "${DAEMON_PID[main]}"
  for i in $(seq 1500); do
    [[ $(log_count main "$text") -ge $want ]] && return 0
    sleep 0.02
  done
  load_fail "no reload line $want ($text) after 30 s"
}

# metric <name-with-labels>: its value in the metrics file.
metric() {
  awk -v name="$1" '$1 == name { print $2 }' "$metrics"
}

# Records in a mailbox (each begins with a From line; no body line does).
records() {
  if [[ -e $1 ]]; then grep -c '^From <stream' "$1" || true; else echo 0; fi
}

install_rules "$LOAD_DIR/a.conf"
load_start main "$rules" -m "$metrics"
socket=$(daemon_socket main)

# The sessions send round after round until the swaps are done.
rm -f "$LOAD_DIR/swaps.done"
(
  trap - EXIT  # the cleanup is the main script's
  r=0
  while [[ ! -e $LOAD_DIR/swaps.done || $r -lt 2 ]]; do
    run_streams "$socket" "$streams" "$round" 1 continue $((r * round + 1))
    r=$((r + 1))
    echo "$r" > "$LOAD_DIR/rounds"
  done
) &
sender=$!
LOAD_HELPERS+=("$sender")

started=$(now_ms)
for ((i = 1; i <= swaps; i++)); do
  if ((i % 2)); then install_rules "$LOAD_DIR/b.conf"; else install_rules "$LOAD_DIR/a.conf"; fi
  reload "$i" 'Quorvane: Rule file "'
done
touch "$LOAD_DIR/swaps.done"
wait "$sender" || load_fail "the sessions failed"
elapsed=$(($(now_ms) - started))
daemon_alive main
rounds=$(cat "$LOAD_DIR/rounds")
sent=$((streams * rounds * round))
echo "reload: $swaps reloads in $elapsed ms while $streams sessions sent $rounds rounds of $round messages ($sent)"

[[ $(log_count main ' ERROR - ') -eq 0 ]] || load_fail "error lines in the log"
[[ $(log_count main 'WARNING') -eq 0 ]] || load_fail "warning lines in the log"
in_a=$(records "$LOAD_DIR/a.mbox")
in_b=$(records "$LOAD_DIR/b.mbox")
[[ $in_a -gt 0 && $in_b -gt 0 ]] || load_fail "the swaps did not reach the messages: $in_a in a.mbox, $in_b in b.mbox"
echo -n "reload: a.mbox $in_a and b.mbox $in_b records, together: "
mbox_check "$LOAD_DIR/a.mbox,$LOAD_DIR/b.mbox" "$streams" $((rounds * round))

# The last swap installed a.conf. Reloaded once more without traffic, its
# rule counts from zero. Then a file that does not load, and one that holds
# no rule: one warning each, and a.mbox keeps receiving.
reload $((swaps + 1)) 'Quorvane: Rule file "'
next=$((rounds * round + 1))
broken_rules() {
  printf '{ Match all } Store In "%s/b.mbox"\n' "$LOAD_DIR" > "$rules.new" && mv -f "$rules.new" "$rules"
}
empty_rules() { : > "$rules.new" && mv -f "$rules.new" "$rules"; }
warning_count=0
for broken in broken_rules empty_rules; do
  "$broken"
  warning_count=$((warning_count + 1))
  reload "$warning_count" 'WARNING'
  run_streams "$socket" "$streams" "$round" 1 continue "$next"
  next=$((next + round))
done
kept="Quorvane(reload): WARNING - Rule file \"$rules\" not loaded, the rules in use are kept: "
[[ $(log_count main "${kept}Parsing error - expected , or ; Be aware") -eq 1 ]] ||
  load_fail "no warning line for the broken file"
[[ $(log_count main "${kept}the file holds no rule") -eq 1 ]] || load_fail "no warning line for the empty file"
[[ $(log_count main 'WARNING') -eq 2 ]] || load_fail "$(log_count main 'WARNING') warning lines, 2 expected"
[[ $(records "$LOAD_DIR/b.mbox") -eq $in_b ]] || load_fail "b.mbox received messages under the refused files"
after=$((streams * 2 * round))
[[ $(records "$LOAD_DIR/a.mbox") -eq $((in_a + after)) ]] || load_fail "a.mbox did not keep receiving"
total=$((sent + after))
echo -n "reload: after a broken and an empty file, all $total messages: "
mbox_check "$LOAD_DIR/a.mbox,$LOAD_DIR/b.mbox" "$streams" $((next - 1))
# Written after each reload attempt, not only every 15 seconds.
grep -q -F 'quorvane_reloads_total{result="failure"} 2' "$metrics" || load_fail "metrics not written after the reloads"

load_stop main
promtool check metrics < "$metrics" || load_fail "promtool check metrics: $(promtool check metrics < "$metrics" 2>&1)"
want() {
  local got
  got=$(metric "$1")
  [[ $got == "$2" ]] || load_fail "metrics: $1 is '$got', $2 expected"
}
want quorvane_messages_total "$total"
want 'quorvane_messages_failed_total{verdict="continue"}' 0
want 'quorvane_actions_total{kind="store_in",result="success"}' "$total"
want 'quorvane_actions_total{kind="store_in",result="failure"}' 0
want 'quorvane_action_duration_seconds_count{kind="store_in"}' "$total"
want 'quorvane_reloads_total{result="success"}' $((swaps + 1))
want 'quorvane_reloads_total{result="failure"}' 2
want quorvane_rules 1
# a.conf's rule is on line 2; its count started with the last reload.
want 'quorvane_rule_matches_total{rule="1",line="2"}' "$after"
echo "reload: metrics pass promtool and count $total messages, $((swaps + 1)) reloads and 2 refused files"
