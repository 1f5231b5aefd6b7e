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
#   sync_fails    the disk syncs fail (fdatasync, fsync of a file, of a
#                 directory), through a library loaded with LD_PRELOAD
#   sync_calls    the syncs a Store In and a Maildir delivery make, seen
#                 with strace
#   maildir_full  the Maildir's file system (a 2 MB tmpfs) fills up
#   maildir_readonly  the Maildir's file system turns read-only
#   maildir_vanishes  the Maildir's parent is renamed away and made anew
#   pipe_sleeps   the Pipe command sleeps past the time limit (-T 1)
#   pipe_ignores_term  the same, ignoring SIGTERM
#   pipe_never_reads   the same, with bodies larger than the pipe holds
#
# Environment: QUORVANE_HOLD_LOCK, the locker program (for lock_held);
# QUORVANE_FAIL_SYNC_LIBRARY, the library that fails syncs (sync_fails).
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

# count_files <maildirs> <scale>: sets FILES to the number of whole messages
# in the Maildirs (comma-separated; missing ones count as empty), failing on
# a broken or repeated one or on anything left in tmp/.
count_files() {
  local report
  report=$(perl "$LOAD_SCRIPTS/maildir_check.pl" "$1" 100 any 1 1 "$2") || load_fail "a Maildir in $1 is broken"
  FILES=${report%% *}
}

# The disk syncs fail, turned on and off while the daemon runs through the
# library loaded into it. A failed sync must fail the action like a failed
# write: the mailbox is cut back to its length before the record, the
# Maildir file is removed from tmp/, the message is refused; a mailbox that
# the Store In created and whose directory cannot be synced is cut back to
# nothing. Once the syncs work again, messages land as before.
sync_fails() {
  local library=${QUORVANE_FAIL_SYNC_LIBRARY:?QUORVANE_FAIL_SYNC_LIBRARY must name the library}
  local control=$LOAD_DIR/fail-sync
  mkdir "$LOAD_DIR/boxes"
  echo "{ Match all } Store In \"$LOAD_DIR/mbox\", Maildir \"$LOAD_DIR/md\", Store In \"$LOAD_DIR/boxes/%FROM.USER%\";" \
    > "$LOAD_DIR/rules.conf"
  local asan_options=${ASAN_OPTIONS:-}
  # AddressSanitizer wants its own library first; this one only wraps two calls.
  daemon_is_sanitized && export ASAN_OPTIONS=${asan_options:+$asan_options:}verify_asan_link_order=0
  QUORVANE_FAIL_SYNC=$control LD_PRELOAD=$library load_start main "$LOAD_DIR/rules.conf" -a
  if [[ -n $asan_options ]]; then export ASAN_OPTIONS=$asan_options; else unset ASAN_OPTIONS; fi

  run_streams "$(daemon_socket main)" 1 5 1 continue
  cp "$LOAD_DIR/mbox" "$LOAD_DIR/mbox.before"
  cp "$LOAD_DIR/boxes/stream1" "$LOAD_DIR/stream1.before"

  # The data syncs fail while three sessions store at once (their records
  # wait for one shared sync): nothing of the 15 messages may stay.
  echo "fdatasync fsync-file" > "$control"
  run_streams "$(daemon_socket main)" 3 5 1 tempfail 6
  cmp -s "$LOAD_DIR/mbox" "$LOAD_DIR/mbox.before" || load_fail "the mailbox changed while fdatasync failed"
  cmp -s "$LOAD_DIR/boxes/stream1" "$LOAD_DIR/stream1.before" ||
    load_fail "the sender's mailbox changed while fdatasync failed"
  [[ ! -s $LOAD_DIR/boxes/stream2 && ! -s $LOAD_DIR/boxes/stream3 ]] || load_fail "records left in a new sender's mailbox"
  perl "$LOAD_SCRIPTS/maildir_check.pl" "$LOAD_DIR/md" 1 5 > /dev/null || load_fail "the Maildir holds more than the first five"
  local io='(errno: 5:Input/output error). Mail returned to sender.'
  [[ $(log_count main "Could not write to file '$LOAD_DIR/mbox'. $io") -eq 15 ]] ||
    load_fail "no 15 write failures for the mailbox"
  [[ $(log_count main "Could not deliver to maildir '$LOAD_DIR/md': sync. $io") -eq 15 ]] ||
    load_fail "no 15 sync failures for the Maildir"

  # The directory syncs fail: a mailbox the Store In creates is cut back to
  # nothing; appending to one that has records needs no directory sync.
  echo "fsync-dir" > "$control"
  run_streams "$(daemon_socket main)" 1 3 4 tempfail
  [[ -f $LOAD_DIR/boxes/stream4 && ! -s $LOAD_DIR/boxes/stream4 ]] ||
    load_fail "the created mailbox was not cut back to nothing"
  [[ $(log_count main "Could not write to file '$LOAD_DIR/boxes/stream4'. $io") -eq 3 ]] ||
    load_fail "no 3 write failures for the created mailbox"
  count_records "$LOAD_DIR/mbox" 1
  [[ $RECORDS -eq 8 ]] || load_fail "$RECORDS records in the mailbox, want 5 + 3"

  rm "$control"
  run_streams "$(daemon_socket main)" 1 2 4 continue 4
  mbox_check "$LOAD_DIR/boxes/stream4" 1 2 4 4 > /dev/null
  mbox_check "$LOAD_DIR/boxes/stream1" 1 5 > /dev/null
  daemon_alive main
  load_stop main
  echo "sync_fails: failed data syncs (three sessions at once) left the mailboxes and the Maildir as they were; a created mailbox whose directory could not be synced was cut back to nothing; all take mail again afterwards"
}

# The syncs themselves, seen with strace attached to the serving daemon: a
# Store In syncs its mailbox's data every time and its directory only when it
# created the file; a Maildir delivery syncs its file and new/, and the
# directories it made.
sync_calls() {
  command -v strace > /dev/null || load_skip "strace is not installed"
  mkdir "$LOAD_DIR/mail"
  echo "{ Match all } Store In \"$LOAD_DIR/mail/mbox\", Maildir \"$LOAD_DIR/md\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf"
  strace -f -y -e trace=fdatasync,fsync -o "$LOAD_DIR/strace.out" -p "${DAEMON_PID[main]}" 2> "$LOAD_DIR/strace.err" &
  local tracer=$!
  LOAD_HELPERS+=("$tracer")
  local i
  for i in $(seq 100); do
    grep -q 'attached' "$LOAD_DIR/strace.err" 2> /dev/null && break
    kill -0 "$tracer" 2> /dev/null || load_skip "strace cannot attach here: $(head -c 300 "$LOAD_DIR/strace.err")"
    sleep 0.05
  done
  grep -q 'attached' "$LOAD_DIR/strace.err" || load_skip "strace did not attach: $(head -c 300 "$LOAD_DIR/strace.err")"
  run_streams "$(daemon_socket main)" 1 3
  kill -INT "$tracer"
  wait "$tracer" 2> /dev/null || true

  local trace=$LOAD_DIR/strace.out d=$LOAD_DIR found
  calls() { grep -c -E "$1" "$trace" || true; }
  found="mailbox data $(calls "fdatasync\([0-9]+<$d/mail/mbox>\) += 0"),"
  found+=" mailbox directory $(calls "fsync\([0-9]+<$d/mail>\) += 0"),"
  found+=" Maildir files $(calls "fsync\([0-9]+<$d/md/tmp/[^>]*>\) += 0"),"
  found+=" new/ $(calls "fsync\([0-9]+<$d/md/new>\) += 0"),"
  found+=" made Maildir $(calls "fsync\([0-9]+<$d/md>\) += 0"), its parent $(calls "fsync\([0-9]+<$d>\) += 0")"
  echo "sync_calls: 3 messages: $found"
  [[ $found == "mailbox data 3, mailbox directory 1, Maildir files 3, new/ 3, made Maildir 1, its parent 1" ]] ||
    load_fail "unexpected syncs: $found (strace: $(head -c 800 "$trace"))"
  load_stop main
}

# Maildir write failures: a file system that fills up, or one that turns
# read-only. Each message must be in new/ whole or refused and logged, and
# nothing may be left in tmp/; once the fault is gone, messages land again.
maildir_fault() {
  local kind=$1 box=$LOAD_DIR/box
  mkdir "$box"
  if [[ $(id -u) -eq 0 ]]; then
    mount -t tmpfs -o size=2m quorvane-test "$box" 2> "$LOAD_DIR/mount.err" ||
      load_skip "cannot mount a tmpfs here: $(cat "$LOAD_DIR/mount.err")"
    LOAD_MOUNTS+=("$box")
  elif [[ $kind == maildir_full ]]; then
    load_skip "mounting a small file system needs root"
  fi
  [[ $kind == maildir_full ]] && head -c 262144 /dev/zero > "$box/ballast"
  echo "{ Match all } Maildir \"$box/md\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a
  local fds_start
  fds_start=$(daemon_fds main)
  local errno_text='(errno: 28:No space left on device)' sent=300 delivered failed refused
  if [[ $kind == maildir_full ]]; then
    run_streams "$(daemon_socket main)" 2 150 1 any 1 16
  else
    run_streams "$(daemon_socket main)" 2 20 1 continue 1 16
    if [[ $(id -u) -eq 0 ]]; then
      mount -o remount,ro "$box" || load_skip "cannot remount the tmpfs read-only"
      errno_text='(errno: 30:Read-only file system)'
    else
      chmod 555 "$box/md/tmp" "$box/md/new"
      errno_text='(errno: 13:Permission denied)'
    fi
    run_streams "$(daemon_socket main)" 2 20 1 tempfail 21 16
    sent=80
  fi
  daemon_alive main
  count_files "$box/md" 16
  delivered=$FILES
  failed=$(log_count main "Could not deliver to maildir '$box/md': write. $errno_text")
  refused=$(log_count main 'Mail returned to sender')
  echo "$kind: $delivered messages delivered, $failed failures logged, $refused refused"
  [[ $failed -gt 0 ]] || load_fail "no delivery failed"
  [[ $((delivered + failed)) -eq $sent ]] || load_fail "$delivered delivered + $failed failed is not the $sent sent"
  [[ $refused -eq $failed ]] || load_fail "$failed failures but $refused error lines"

  if [[ $kind == maildir_full ]]; then
    rm "$box/ballast"
  elif [[ $(id -u) -eq 0 ]]; then
    mount -o remount,rw "$box"
  else
    chmod 700 "$box/md/tmp" "$box/md/new"
  fi
  run_streams "$(daemon_socket main)" 1 10 3 continue 1 16
  count_files "$box/md" 16
  [[ $FILES -eq $((delivered + 10)) ]] || load_fail "$FILES messages after the fault, expected $((delivered + 10))"
  check_no_leftovers main "$fds_start"
  load_stop main
  echo "$kind: nothing left in tmp/; the Maildir takes messages again once the fault is gone"
}

# The Maildir's parent is renamed away while four sessions deliver, and made
# anew a little later (the daemon then makes the Maildir again). Each message
# must be delivered once (into the old Maildir or the new one) or refused
# and logged; none twice, none cut, nothing in tmp/.
maildir_vanishes() {
  local boxes=$LOAD_DIR/boxes
  mkdir "$boxes"
  echo "{ Match all } Maildir \"$boxes/md\";" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a
  local fds_start
  fds_start=$(daemon_fds main)
  (
    for _ in $(seq 1000); do
      [[ $(ls "$boxes/md/new" 2> /dev/null | wc -l) -gt 50 ]] && break
      sleep 0.01
    done
    mv "$boxes" "$LOAD_DIR/gone"
    for _ in $(seq 1000); do
      [[ $(log_count main "Could not deliver to maildir") -ge 20 ]] && break
      sleep 0.01
    done
    mkdir "$boxes"
  ) &
  local mover=$!
  run_streams "$(daemon_socket main)" 4 250 1 any 1 4
  wait "$mover"
  daemon_alive main
  local old new failed
  count_files "$LOAD_DIR/gone/md" 4
  old=$FILES
  count_files "$boxes/md" 4
  new=$FILES
  count_files "$LOAD_DIR/gone/md,$boxes/md" 4 # no message in both
  failed=$(log_count main "Could not deliver to maildir '$boxes/md': create. (errno: 2:No such file or directory)")
  echo "maildir_vanishes: $old delivered before, $failed refused while the parent was gone, $new delivered after"
  [[ $((old + new + failed)) -eq 1000 ]] || load_fail "$old + $new + $failed is not the 1000 sent"
  [[ $old -gt 0 && $failed -gt 0 && $new -gt 0 ]] || load_fail "the parent did not vanish and come back during the run"
  check_no_leftovers main "$fds_start"
  load_stop main
}

# Pipe commands that run past the time limit (-T 1): each is ended at the
# limit with its whole process group, its action fails (the message is
# refused), the Store In after it still runs, and the session's next message
# is served. The command records its process group (the shell's pid) so that
# the test can look for what is left of it.
pipe_limit() {
  local kind=$1 groups=$LOAD_DIR/groups
  local command="echo \$\$ >> $groups; sleep 1000; echo not reached"
  [[ $kind == pipe_ignores_term ]] && command="trap '' TERM; $command"
  printf '{ Match all } Pipe "%s", Store In "%s";\n' "$command" "$LOAD_DIR/mbox" > "$LOAD_DIR/rules.conf"
  load_start main "$LOAD_DIR/rules.conf" -a -T 1
  local fds_start
  fds_start=$(daemon_fds main)
  local started elapsed pids=() pid s failed=0
  started=$(now_ms)
  if [[ $kind == pipe_never_reads ]]; then
    # 256 KB bodies: the writer fills the pipe and then waits for room.
    for s in 1 2; do
      "$MILTERTEST" -D "socket=$(daemon_socket main)" -D count=2 -D kb=256 -D expect=tempfail \
        -s "$LOAD_SCRIPTS/big_message.lua" 2>> "$LOAD_DIR/miltertest.err" &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
    [[ $failed -eq 0 ]] || load_fail "$failed sessions failed: $(head -c 600 "$LOAD_DIR/miltertest.err")"
  else
    run_streams "$(daemon_socket main)" 2 2 1 tempfail
  fi
  elapsed=$(($(now_ms) - started))
  daemon_alive main
  # Two messages per session, one after the other: each waits for the limit
  # (1 s) and, when SIGTERM is ignored, for the 5 s until SIGKILL.
  local least=2000
  [[ $kind == pipe_ignores_term ]] && least=12000
  echo "$kind: 2 sessions x 2 messages in $elapsed ms (the limits alone: $least ms)"
  [[ $elapsed -ge $least ]] || load_fail "the commands were ended before their limit"
  [[ $elapsed -lt $((least + 20000)) ]] || load_fail "the commands were not ended at their limit"

  local ended
  ended=$(log_count main "ERROR - Program '$command' ended after the time limit of 1 s. (errno: 62:Timer expired). Mail returned to sender.")
  [[ $ended -eq 4 ]] || load_fail "$ended time limit lines for 4 commands"
  [[ $(log_count main ' ERROR - ') -eq 4 ]] || load_fail "other error lines: $(grep -m 3 ' ERROR - ' "$LOAD_DIR/main.log")"
  [[ $(wc -l < "$groups") -eq 4 ]] || load_fail "$(wc -l < "$groups") commands started, want 4"
  local group left
  while read -r group; do
    left=$(ps -e -o pgid=,stat=,comm= | awk -v g="$group" '$1 == g && $2 !~ /^Z/')
    [[ -z $left ]] || load_fail "process group $group is still there: $left"
  done < "$groups"
  if [[ $kind == pipe_never_reads ]]; then
    [[ $(grep -a -c '^From <big@load.test>  ' "$LOAD_DIR/mbox") -eq 4 ]] || load_fail "not every message stored"
  else
    mbox_check "$LOAD_DIR/mbox" 2 2 > /dev/null
  fi
  check_no_leftovers main "$fds_start"
  load_stop main
  echo "$kind: 4 commands ended at the limit with their process groups, 4 messages refused and stored, the sessions served on"
}

case $case_name in
  disk_full | fsize_limit) write_fault "$case_name" ;;
  pipe_crash) pipe_fault 'kill -SEGV $$' 1 ;;
  pipe_hangup) pipe_fault 'exit 0' 0 ;;
  pipe_missing) pipe_fault '/nonexistent/quorvane-filter' 1 ;;
  dir_vanishes) dir_vanishes ;;
  lock_held) lock_held ;;
  sync_fails) sync_fails ;;
  sync_calls) sync_calls ;;
  maildir_full | maildir_readonly) maildir_fault "$case_name" ;;
  maildir_vanishes) maildir_vanishes ;;
  pipe_sleeps | pipe_ignores_term | pipe_never_reads) pipe_limit "$case_name" ;;
  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
