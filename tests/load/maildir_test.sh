#!/usr/bin/env bash
# Many sessions, one Maildir: 50 milter sessions at once, 200 messages each
# (LOAD_STREAMS, LOAD_COUNT), every message delivered into one shared Maildir
# and into a Maildir per sender. Neither exists at the start: the first
# messages of all sessions make the shared one at the same time.
#
# Every message must be in each Maildir exactly once, as one whole file with
# a unique name; nothing may be left in tmp/, nothing logged; the daemon
# holds the same descriptors before and after and stops cleanly. Prints the
# figures (a "maildir:" line) for docs/reliability.md.
source "$(dirname "$0")/lib.sh"
load_init maildir

streams=${LOAD_STREAMS:-50}
count=${LOAD_COUNT:-200}

mkdir "$LOAD_DIR/by-sender"
cat > "$LOAD_DIR/rules.conf" << EOF
{ Match all } Maildir "$LOAD_DIR/shared";
{ From ends "@load.test" } Maildir "$LOAD_DIR/by-sender/%FROM.USER%";
EOF
load_start main "$LOAD_DIR/rules.conf"
socket=$(daemon_socket main)
fds_start=$(daemon_fds main)

started=$(now_ms)
run_streams "$socket" "$streams" "$count"
elapsed=$(($(now_ms) - started))
daemon_alive main
wait_for_fds main "$fds_start"
echo "maildir: $streams sessions x $count messages in $elapsed ms ($((streams * count * 1000 / (elapsed > 0 ? elapsed : 1))) messages/s)"

errors=$(log_count main ' ERROR - ')
[[ $errors -eq 0 ]] || load_fail "$errors error lines in the log"

echo -n "maildir: shared Maildir: "
perl "$LOAD_SCRIPTS/maildir_check.pl" "$LOAD_DIR/shared" "$streams" "$count" || load_fail "the shared Maildir is not as expected"
for ((s = 1; s <= streams; s++)); do
  perl "$LOAD_SCRIPTS/maildir_check.pl" "$LOAD_DIR/by-sender/stream$s" 1 "$count" "$s" > /dev/null ||
    load_fail "the Maildir of stream $s is not as expected"
done
names=$(ls "$LOAD_DIR/shared/new" | sed 's/,S=.*//' | sort -u | wc -l)
[[ $names -eq $((streams * count)) ]] || load_fail "$names distinct names before the size for $((streams * count)) messages"
echo "maildir: $streams per-sender Maildirs hold $count whole files each; tmp/ empty everywhere"

load_stop main
echo "maildir: $((streams * count)) messages delivered exactly once into each of two Maildirs; daemon stopped cleanly"
