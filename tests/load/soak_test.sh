#!/usr/bin/env bash
# A long run of everything at once: rounds of milter sessions (SOAK_STREAMS
# sessions at once, SOAK_ROUND messages each, SOAK_ROUNDS rounds) whose every
# message is stored into one mailbox, delivered into one Maildir and into a
# Maildir per recipient, and piped to a command that keeps its own copy and
# leaves a child behind for a moment; between the rounds, and while they
# run, the rule file is swapped and reloaded.
#
# Afterwards every message is in the mailbox and in each Maildir exactly
# once, whole, and in exactly one piped copy; nothing is logged; the
# daemon's descriptors and threads are back where they were before the
# first message, it has no child left (no zombie, no command still
# running), no lock is left on the mailbox, and it stops cleanly.
#
# Without arguments a short run (200 messages) for every pass; with "long"
# 5000 messages (20 sessions, 10 rounds of 25), for the heavy label. The
# SOAK_ variables override either.
source "$(dirname "$0")/lib.sh"
load_init soak

if [[ ${1:-} == long ]]; then
  streams=${SOAK_STREAMS:-20} rounds=${SOAK_ROUNDS:-10} round=${SOAK_ROUND:-25}
else
  streams=${SOAK_STREAMS:-5} rounds=${SOAK_ROUNDS:-4} round=${SOAK_ROUND:-10}
fi
rules=$LOAD_DIR/rules.conf
mkdir "$LOAD_DIR/piped" "$LOAD_DIR/users"

# write_rules <variant>: the two rule files differ in their Pipe only, so
# that each reload loads a file that is really new.
write_rules() {
  cat > "$rules.new" << EOF
# Variant $1.
{ Match all } Store In "$LOAD_DIR/all.mbox", Maildir "$LOAD_DIR/shared",
    Pipe "f=\$(mktemp $LOAD_DIR/piped/$1.XXXXXXXX) && cat > \$f && (sleep 0.2 &)";
{ To ends "@load.test" } Maildir "$LOAD_DIR/users/%ALLTO.USER%";
EOF
  mv -f "$rules.new" "$rules"
}

reloads=0
reload() {
  reloads=$((reloads + 1))
  write_rules $((reloads % 2))
  kill -USR1 "${DAEMON_PID[main]}"
  local i
  for i in $(seq 1500); do
    [[ $(log_count main 'Quorvane: Rule file "') -ge $reloads ]] && return 0
    sleep 0.02
  done
  load_fail "no reload line $reloads after 30 s"
}

write_rules 0
load_start main "$rules"
socket=$(daemon_socket main)
fds_start=$(daemon_fds main)
threads_start=$(daemon_threads main)

started=$(now_ms)
for ((r = 0; r < rounds; r++)); do
  run_streams "$socket" "$streams" "$round" 1 continue $((r * round + 1)) &
  sessions=$!
  LOAD_HELPERS+=("$sessions")
  sleep 0.1
  reload
  wait "$sessions" || load_fail "the sessions of round $((r + 1)) failed"
  reload
done
elapsed=$(($(now_ms) - started))
sent=$((streams * rounds * round))
daemon_alive main
echo "soak: $sent messages in $rounds rounds of $streams sessions, $reloads reloads, in $elapsed ms"

[[ $(log_count main ' ERROR - ') -eq 0 ]] || load_fail "error lines in the log"
[[ $(log_count main 'WARNING') -eq 0 ]] || load_fail "warning lines in the log"

# The commands' children end on their own; the daemon must not keep any of
# them, or anything else, once they have.
sleep 0.5
wait_for_fds main "$fds_start"
for i in $(seq 100); do
  [[ $(daemon_threads main) -le $threads_start ]] && break
  sleep 0.05
done
[[ $(daemon_threads main) -le $threads_start ]] ||
  load_fail "the daemon has $(daemon_threads main) threads, $threads_start before the load"
children=$(ps -o pid=,stat=,args= --ppid "${DAEMON_PID[main]}" || true)
[[ -z $children ]] || load_fail "the daemon still has children: $children"
lock_id=$(printf '%02x:%02x:%s' "$(stat -c %Hd "$LOAD_DIR/all.mbox")" "$(stat -c %Ld "$LOAD_DIR/all.mbox")" \
  "$(stat -c %i "$LOAD_DIR/all.mbox")")
! grep -q " $lock_id " /proc/locks || load_fail "a lock is left on the mailbox: $(grep " $lock_id " /proc/locks)"

echo -n "soak: mailbox: "
mbox_check "$LOAD_DIR/all.mbox" "$streams" $((rounds * round))
echo -n "soak: shared Maildir: "
perl "$LOAD_SCRIPTS/maildir_check.pl" "$LOAD_DIR/shared" "$streams" $((rounds * round)) ||
  load_fail "the shared Maildir is not as expected"
piped=$(find "$LOAD_DIR/piped" -type f | wc -l)
[[ $piped -eq $sent ]] || load_fail "$piped piped copies of $sent messages"
distinct=$(cat "$LOAD_DIR"/piped/* | grep -c '^Message-ID: ' || true)
[[ $(cat "$LOAD_DIR"/piped/* | grep '^Message-ID: ' | sort -u | wc -l) -eq $sent && $distinct -eq $sent ]] ||
  load_fail "the piped copies do not hold every message once"
users=$(find "$LOAD_DIR/users" -path '*/new/*' -type f | wc -l)
[[ $users -eq $sent ]] || load_fail "$users files in the per-recipient Maildirs for $sent messages"
echo "soak: $piped piped copies, one per message; $users files in the per-recipient Maildirs"

load_stop main
echo "soak: descriptors, threads and children back where they were; daemon stopped cleanly"
