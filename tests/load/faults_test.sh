#!/usr/bin/env bash
# Faults while serving: the daemon must keep running, log what went wrong,
# leave no partial record, refuse (with -a) exactly the messages it could not
# store, and store again once the fault is gone.
#
#   faults_test.sh <case>
#
#   disk_full     the mailbox's file system (a 2 MB tmpfs) fills up mid-record
#   fsize_limit   the daemon's file size limit (RLIMIT_FSIZE) is reached
#   pipe_crash    the Pipe command kills itself with SIGSEGV
#   pipe_hangup   the Pipe command exits at once without reading
#   pipe_missing  the Pipe command does not exist
#   dir_vanishes  the mailbox directory is renamed away and made anew while
#                 messages are being stored
#   lock_held     another process holds an fcntl lock on the mailbox for 2 s
#
# Environment: QUORVANE_HOLD_LOCK, the locker program (for lock_held).
source "$(dirname "$0")/lib.sh"
case_name=${1:?usage: faults_test.sh <case>}
load_init "fault-$case_name"

# count_records <files> <scale>: sets RECORDS to the number of whole records
# in the mailboxes (comma-separated; missing ones count as empty), failing on
# any broken or repeated one.
count_records() {
  local files=$1 scale=$2 list=() file
  for file in ${files//,/ }; do [[ -e $file ]] && list+=("$file"); done
  RECORDS=0
  [[ ${#list[@]} -gt 0 ]] || return 0
  local IFS=, report
  report=$(perl "$MBOX_CHECK" streams "${list[*]}" 100 any 1 1 "$scale") ||
    load_fail "a mailbox in $files is broken"
  RECORDS=${report%% *}
}

# The daemon holds no descriptor and no child process more than at start.
check_no_leftovers() {
  local label=$1 fds_start=$2
  wait_for_fds "$label" "$fds_start"
  local children
  children=$(ps -o pid= --ppid "${DAEMON_PID[$label]}" | wc -l)
  [[ $children -eq 0 ]] || load_fail "daemon $label has $children child processes left"
}

# Write failures: a file system that fills up, or the file size limit.
# Messages of about 16 kB go to a mailbox with room for about a hundred;
# each one that no longer fits must be cut back to nothing, logged and
# refused; after room is made, messages land again.
write_fault() {
  local kind=$1 box=$LOAD_DIR/box
  mkdir "$box"
  if [[ $kind == disk_full ]]; then
    [[ $(id -u) -eq 0 ]] || load_skip "mounting a small file system needs root"
    mount -t tmpfs -o size=2m quorvane-test "$box" 2> "$LOAD_DIR/mount.err" ||
      load_skip "cannot mount a tmpfs here: $(cat "$LOAD_DIR/mount.err")"
    LOAD_MOUNTS+=("$box")
    # Something to delete later, to make room again.
    head -c 262144 /dev/zero > "$box/ballast"
  fi
  echo "{ Match all } Store In \"$box/mbox\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a
  local fds_start
  fds_start=$(daemon_fds main)
  if [[ $kind == fsize_limit ]]; then
    prlimit --pid "${DAEMON_PID[main]}" --fsize=$((2 * 1024 * 1024)): || load_skip "prlimit cannot set the limit"
  fi

  run_streams "$(daemon_socket main)" 2 150 1 any 1 16
  daemon_alive main
  local stored failed refused
  count_records "$box/mbox" 16
  stored=$RECORDS
  failed=$(log_count main "Could not write to file '$box/mbox'.")
  refused=$(log_count main 'Mail returned to sender')
  echo "$kind: $stored messages stored, $failed write failures logged, $refused refused"
  [[ $failed -gt 0 ]] || load_fail "the mailbox never filled up"
  [[ $((stored + failed)) -eq 300 ]] || load_fail "$stored stored + $failed failed is not the 300 sent"
  [[ $refused -eq $failed ]] || load_fail "$failed failures but $refused error lines"
  local errno_text='(errno: 28:No space left on device)'
  [[ $kind == fsize_limit ]] && errno_text='(errno: 27:File too large)'
  grep -q -F "Could not write to file '$box/mbox'. $errno_text. Mail returned to sender." "$LOAD_DIR/main.log" ||
    load_fail "no error line with $errno_text"

  # Room again: the next messages land after the last whole record.
  if [[ $kind == disk_full ]]; then
    rm "$box/ballast"
  else
    prlimit --pid "${DAEMON_PID[main]}" --fsize=unlimited:
  fi
  run_streams "$(daemon_socket main)" 1 10 3 continue 1 16
  local after
  count_records "$box/mbox" 16
  after=$RECORDS
  [[ $after -eq $((stored + 10)) ]] || load_fail "$after records after making room, expected $((stored + 10))"
  check_no_leftovers main "$fds_start"
  load_stop main
  echo "$kind: no partial record; the file takes whole records again once there is room"
}

# Pipe commands that fail: every message still gets its Store In, each
# failure is logged once with the command, and with -a the message is
# refused. Bodies are larger than a pipe buffer, so a command that does not
# read leaves the daemon writing into a closed pipe.
pipe_fault() {
  local command=$1 want_failure=$2
  cat > "$LOAD_DIR/rules.conf" << EOF
{ Match all } Pipe "$command", Store In "$LOAD_DIR/mbox";
EOF
  load_start main "$LOAD_DIR/rules.conf" -a
  local fds_start
  fds_start=$(daemon_fds main)
  local expect=continue
  [[ $want_failure == 1 ]] && expect=tempfail
  run_streams "$(daemon_socket main)" 4 25 1 "$expect" 1 16
  daemon_alive main
  mbox_check "$LOAD_DIR/mbox" 4 25 1 1 16 > /dev/null
  local failures
  failures=$(log_count main "Failure executing program '$command'.")
  if [[ $want_failure == 1 ]]; then
    [[ $failures -eq 100 ]] || load_fail "$failures failure lines for 100 messages"
  else
    [[ $failures -eq 0 ]] || load_fail "$failures failure lines for a command that exits with 0"
  fi
  check_no_leftovers main "$fds_start"
  load_stop main
  echo "$case_name: 100 messages, $failures failures logged, all stored, no descriptor or child left"
}

# The directory of the mailbox is renamed away while four sessions store,
# and made anew a little later. Each message must be stored once (in the old
# directory or the new one) or refused and logged; none twice, none cut.
dir_vanishes() {
  local boxes=$LOAD_DIR/boxes
  mkdir "$boxes"
  echo "{ Match all } Store In \"$boxes/mbox\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a
  local fds_start
  fds_start=$(daemon_fds main)
  # The mover watches the run: the directory goes once some records are in,
  # and comes back once some messages have been refused.
  (
    for _ in $(seq 1000); do
      [[ $(stat -c %s "$boxes/mbox" 2> /dev/null || echo 0) -gt 100000 ]] && break
      sleep 0.01
    done
    mv "$boxes" "$LOAD_DIR/gone"
    for _ in $(seq 1000); do
      [[ $(log_count main "Could not open file") -ge 20 ]] && break
      sleep 0.01
    done
    mkdir "$boxes"
  ) &
  local mover=$!
  run_streams "$(daemon_socket main)" 4 500 1 any 1 4
  wait "$mover"
  daemon_alive main
  local old new failed
  count_records "$LOAD_DIR/gone/mbox" 4
  old=$RECORDS
  count_records "$boxes/mbox" 4
  new=$RECORDS
  count_records "$LOAD_DIR/gone/mbox,$boxes/mbox" 4  # no message in both
  failed=$(log_count main "Could not open file '$boxes/mbox'.")
  echo "dir_vanishes: $old stored before, $failed refused while the directory was gone, $new stored after"
  [[ $((old + new + failed)) -eq 2000 ]] || load_fail "$old + $new + $failed is not the 2000 sent"
  [[ $old -gt 0 && $failed -gt 0 && $new -gt 0 ]] || load_fail "the directory did not vanish and come back during the run"
  check_no_leftovers main "$fds_start"
  load_stop main
}

# Another process holds a lock on the whole mailbox for 2 s: the message
# waits for it and then lands; nothing is logged.
lock_held() {
  local locker=${QUORVANE_HOLD_LOCK:?QUORVANE_HOLD_LOCK must name the locker}
  echo "{ Match all } Store In \"$LOAD_DIR/mbox\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a
  run_streams "$(daemon_socket main)" 3 1 1
  "$locker" "$LOAD_DIR/mbox" 2000 > "$LOAD_DIR/locker.out" &
  LOAD_HELPERS+=($!)
  for _ in $(seq 100); do
    grep -q locked "$LOAD_DIR/locker.out" && break
    sleep 0.02
  done
  grep -q locked "$LOAD_DIR/locker.out" || load_fail "the locker did not take its lock"
  local started elapsed
  started=$(now_ms)
  run_streams "$(daemon_socket main)" 3 5 1 continue 2
  elapsed=$(($(now_ms) - started))
  echo "lock_held: 15 messages waited $elapsed ms for the other process's lock, then landed"
  [[ $elapsed -ge 1500 ]] || load_fail "the messages did not wait for the lock ($elapsed ms)"
  mbox_check "$LOAD_DIR/mbox" 3 6 > /dev/null
  [[ $(log_count main ' ERROR - ') -eq 0 ]] || load_fail "errors were logged"
  load_stop main
}

case $case_name in
  disk_full | fsize_limit) write_fault "$case_name" ;;
  pipe_crash) pipe_fault 'kill -SEGV $$' 1 ;;
  pipe_hangup) pipe_fault 'exit 0' 0 ;;
  pipe_missing) pipe_fault '/nonexistent/quorvane-filter' 1 ;;
  dir_vanishes) dir_vanishes ;;
  lock_held) lock_held ;;
  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
