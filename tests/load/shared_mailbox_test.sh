#!/usr/bin/env bash
# Several processes, one mailbox: three daemons on three sockets, each fed by
# its own sessions at the same time, all appending to the same file. Bodies
# run to some 40 kB, several stdio buffers, so a record written in pieces
# while another process writes would show. Every message must be in the file
# exactly once and every record whole and contiguous; nothing may be logged.
source "$(dirname "$0")/lib.sh"
load_init shared

sessions=${SHARED_SESSIONS:-4}   # per daemon
count=${SHARED_COUNT:-250}       # per session
scale=16

echo "{ Match all } Store In \"$LOAD_DIR/shared.mbox\";" > "$LOAD_DIR/rules.conf"
for d in 1 2 3; do load_start "d$d" "$LOAD_DIR/rules.conf"; done

started=$(now_ms)
pids=()
for d in 1 2 3; do
  # Daemon d serves streams (d-1)*sessions+1 .. d*sessions.
  run_streams "$(daemon_socket "d$d")" "$sessions" "$count" $(((d - 1) * sessions + 1)) continue 1 "$scale" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[[ $failed -eq 0 ]] || load_fail "a stream of sessions failed"
elapsed=$(($(now_ms) - started))

for d in 1 2 3; do
  daemon_alive "d$d"
  errors=$(log_count "d$d" ' ERROR - ')
  [[ $errors -eq 0 ]] || load_fail "daemon d$d logged $errors error lines"
done
echo "shared: 3 daemons x $sessions sessions x $count messages in $elapsed ms"
echo -n "shared: "
mbox_check "$LOAD_DIR/shared.mbox" $((3 * sessions)) "$count" 1 1 "$scale"
for d in 1 2 3; do load_stop "d$d"; done
echo "shared: every record whole, every message exactly once"
