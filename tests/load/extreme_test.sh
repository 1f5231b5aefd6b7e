#!/usr/bin/env bash
# Extreme but legal input through the real daemon, sent by
# quorvane_milter_client (see there for the cases). Each message must be
# accepted and stored as one whole record, byte for byte; the daemon must go
# on serving afterwards and stop cleanly. For big_address the milter library
# refuses the packet and drops that connection: nothing is stored and the
# daemon serves the next session. For long_header the expression rules must
# have stored the record once, under "^a+$" and not under "(a*)*b".
#
#   extreme_test.sh <case>
#
# Environment: QUORVANE_MILTER_CLIENT, the client program.
source "$(dirname "$0")/lib.sh"
case_name=${1:?usage: extreme_test.sh <case>}
client=${QUORVANE_MILTER_CLIENT:?QUORVANE_MILTER_CLIENT must name the client}
load_init "extreme-$case_name"

mkdir "$LOAD_DIR/rcpt"
cat > "$LOAD_DIR/rules.conf" << RULES
{ From is "stream1@load.test" } Store In "$LOAD_DIR/ordinary.mbox", Halt;
{ From ends "@load.test" } Store In "$LOAD_DIR/mbox";
{ To ends "@load.test" } Store In "$LOAD_DIR/rcpt/%ALLTO.USER%";
{ Sender is "" } Store In "$LOAD_DIR/second";
{ Header X-Long regex "(a*)*b" } Store In "$LOAD_DIR/never";
{ Header X-Long regex "^a+$" } Store In "$LOAD_DIR/long";
RULES
load_start main "$LOAD_DIR/rules.conf" -a
fds_start=$(daemon_fds main)

"$client" "$(daemon_socket main)" "$case_name" "$LOAD_DIR/mbox" || load_fail "the message was not handled as expected"
daemon_alive main

if [[ $case_name != big_address ]]; then
  # The per-recipient and the second mailboxes hold the same record.
  size=$(stat -c %s "$LOAD_DIR/mbox")
  cmp -s "$LOAD_DIR/mbox" "$LOAD_DIR/second" || load_fail "the second record differs from the first"
  recipients=$(find "$LOAD_DIR/rcpt" -type f | wc -l)
  sizes=$(find "$LOAD_DIR/rcpt" -type f -printf '%s\n' | sort -u)
  want=1
  [[ $case_name == many_recipients ]] && want=10000
  [[ $recipients -eq $want ]] || load_fail "$recipients per-recipient mailboxes, expected $want"
  [[ $sizes == "$size" ]] || load_fail "per-recipient records of sizes $sizes, expected $size"
  echo "$case_name: the same $size-byte record in $recipients per-recipient mailbox(es) and a second mailbox"
fi
if [[ $case_name == long_header ]]; then
  [[ ! -e $LOAD_DIR/never ]] || load_fail "\"(a*)*b\" matched a value without a b"
  cmp -s "$LOAD_DIR/mbox" "$LOAD_DIR/long" || load_fail "\"^a+\$\" did not store the record"
fi

# The daemon still serves an ordinary session and holds nothing extra.
run_streams "$(daemon_socket main)" 1 5 1
mbox_check "$LOAD_DIR/ordinary.mbox" 1 5 > /dev/null
wait_for_fds main "$fds_start"
errors=$(log_count main ' ERROR - ')
[[ $errors -eq 0 ]] || load_fail "$errors error lines in the log"
load_stop main
echo "$case_name: daemon went on serving and stopped cleanly"
