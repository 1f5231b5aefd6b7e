#!/usr/bin/env bash
# Sustained load on one daemon: 50 milter sessions at once, 200 messages each
# (LOAD_STREAMS, LOAD_COUNT), every message stored in one shared mailbox and
# in a mailbox per sender.
#
# A short warm-up round of the same 50 sessions (10 messages each) brings the
# daemon to its working size: one thread per connection, the allocator's
# per-thread arenas. After the load, once the sessions have closed, the daemon
# must hold the same descriptors as after the warm-up, and its resident memory
# must be within LOAD_RSS_MARGIN_KB of it; every message must be in each
# mailbox exactly once, each record whole. The daemon must then stop cleanly:
# under the sanitizer build that includes LeakSanitizer's exit check.
# Prints the figures (a "load:" line) for docs/reliability.md.
source "$(dirname "$0")/lib.sh"
load_init load

streams=${LOAD_STREAMS:-50}
count=${LOAD_COUNT:-200}
warmup=10
margin_kb=${LOAD_RSS_MARGIN_KB:-4096}

mkdir "$LOAD_DIR/by-sender"
cat > "$LOAD_DIR/rules.conf" << EOF
{ Match all } Store In "$LOAD_DIR/all.mbox";
{ From ends "@load.test" } Store In "$LOAD_DIR/by-sender/%FROM.USER%";
EOF
load_start main "$LOAD_DIR/rules.conf"
socket=$(daemon_socket main)
fds_start=$(daemon_fds main)
rss_start=$(daemon_rss_kb main)

run_streams "$socket" "$streams" "$warmup"
wait_for_fds main "$fds_start"
sleep 0.5
fds_before=$(daemon_fds main)
rss_before=$(daemon_rss_kb main)

started=$(now_ms)
run_streams "$socket" "$streams" "$count" 1 continue $((warmup + 1))
elapsed=$(($(now_ms) - started))
daemon_alive main
wait_for_fds main "$fds_before"
sleep 0.5
fds_after=$(daemon_fds main)
rss_after=$(daemon_rss_kb main)
threads_after=$(daemon_threads main)

total=$((streams * (warmup + count)))
echo "load: $streams sessions x $count messages in $elapsed ms ($((streams * count * 1000 / (elapsed > 0 ? elapsed : 1))) messages/s)"
echo "load: descriptors $fds_start at start, $fds_before after warm-up, $fds_after after the load; threads after $threads_after"
echo "load: resident memory $rss_start kB at start, $rss_before kB after warm-up, $rss_after kB after the load"

[[ $fds_after -eq $fds_before ]] || load_fail "descriptors: $fds_before before the load, $fds_after after"
if daemon_is_sanitized; then
  echo "load: sanitizer build: resident memory not compared"
elif [[ $rss_after -gt $((rss_before + margin_kb)) ]]; then
  load_fail "resident memory grew from $rss_before kB to $rss_after kB (margin $margin_kb kB)"
fi

errors=$(log_count main ' ERROR - ')
[[ $errors -eq 0 ]] || load_fail "$errors error lines in the log"

echo -n "load: shared mailbox: "
mbox_check "$LOAD_DIR/all.mbox" "$streams" $((warmup + count))
for ((s = 1; s <= streams; s++)); do
  mbox_check "$LOAD_DIR/by-sender/stream$s" 1 $((warmup + count)) "$s" > /dev/null
done
echo "load: $streams per-sender mailboxes hold $((warmup + count)) whole records each"

load_stop main
echo "load: $total messages stored exactly once in each of two mailboxes; daemon stopped cleanly"
