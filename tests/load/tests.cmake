# Load, fault and extreme-input tests against the real daemon, driven by
# miltertest sessions (tests/load/lib.sh). Label `load`; the very large
# inputs (hundreds of megabytes, minutes under the sanitizers) also carry
# `heavy` and are left out of the default passes with -LE heavy; those where
# threads and processes meet carry `tsan` (run under ThreadSanitizer).
# Scripts exit 77 (skipped) where what they need is missing (miltertest,
# perl, mount, strace).
if(NOT MILTERTEST_PROGRAM)
  find_program(MILTERTEST_PROGRAM miltertest)
endif()

# The other process of the lock test.
add_executable(quorvane_hold_lock ${CMAKE_CURRENT_LIST_DIR}/hold_lock.cpp)
target_compile_options(quorvane_hold_lock PRIVATE ${QUORVANE_WARNINGS} -Wno-old-style-cast)
# Loaded into the daemon with LD_PRELOAD, to make its disk syncs fail.
add_library(quorvane_fail_sync MODULE ${CMAKE_CURRENT_LIST_DIR}/fail_sync.cpp)
target_compile_options(quorvane_fail_sync PRIVATE ${QUORVANE_WARNINGS})
target_link_libraries(quorvane_fail_sync PRIVATE ${CMAKE_DL_LIBS})

if(MILTERTEST_PROGRAM)
  set(LOAD_ENVIRONMENT "QUORVANE_BINARY=$<TARGET_FILE:quorvane>" "MILTERTEST=${MILTERTEST_PROGRAM}"
                       "QUORVANE_HOLD_LOCK=$<TARGET_FILE:quorvane_hold_lock>"
                       "QUORVANE_MILTER_CLIENT=$<TARGET_FILE:quorvane_milter_client>"
                       "QUORVANE_FAIL_SYNC_LIBRARY=$<TARGET_FILE:quorvane_fail_sync>")
  # name | script | argument | labels | timeout
  set(LOAD_CASES
      "load.sessions_50x200|load_test.sh||load,tsan|300"
      "load.shared_mailbox|shared_mailbox_test.sh||load,tsan|300"
      "load.maildir_50x200|maildir_test.sh||load,tsan|600"
      "reload.under_load|reload_test.sh||load,tsan|300"
      "soak.short|soak_test.sh||load|300"
      "soak.long|soak_test.sh|long|load,heavy|1800"
      "fault.disk_full|faults_test.sh|disk_full|load|120"
      "fault.fsize_limit|faults_test.sh|fsize_limit|load|120"
      "fault.pipe_crash|faults_test.sh|pipe_crash|load|120"
      "fault.pipe_hangup|faults_test.sh|pipe_hangup|load|120"
      "fault.pipe_missing|faults_test.sh|pipe_missing|load|120"
      "fault.dir_vanishes|faults_test.sh|dir_vanishes|load|120"
      "fault.lock_held|faults_test.sh|lock_held|load,tsan|120"
      "fault.sync_fails|faults_test.sh|sync_fails|load|120"
      "fault.sync_calls|faults_test.sh|sync_calls|load|120"
      "fault.maildir_full|faults_test.sh|maildir_full|load|120"
      "fault.maildir_readonly|faults_test.sh|maildir_readonly|load|120"
      "fault.maildir_vanishes|faults_test.sh|maildir_vanishes|load|120"
      "fault.pipe_sleeps|faults_test.sh|pipe_sleeps|load,tsan|120"
      "fault.pipe_ignores_term|faults_test.sh|pipe_ignores_term|load|120"
      "fault.pipe_never_reads|faults_test.sh|pipe_never_reads|load|120"
      "extreme.big_address|extreme_test.sh|big_address|load|120"
      "extreme.long_address|extreme_test.sh|long_address|load|120"
      "extreme.long_header|extreme_test.sh|long_header|load|120"
      "extreme.many_recipients|extreme_test.sh|many_recipients|load|300"
      "extreme.many_headers|extreme_test.sh|many_headers|load|300"
      "extreme.empty_body|extreme_test.sh|empty_body|load|120"
      "extreme.nul_8bit|extreme_test.sh|nul_8bit|load|120"
      "extreme.big_body|extreme_test.sh|big_body|load,heavy|600")
  foreach(case ${LOAD_CASES})
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 name)
    list(GET fields 1 script)
    list(GET fields 2 argument)
    list(GET fields 3 labels)
    list(GET fields 4 timeout)
    string(REPLACE "," ";" labels "${labels}")
    add_test(NAME ${name} COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/${script} ${argument})
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" SKIP_RETURN_CODE 77 TIMEOUT ${timeout}
                                            ENVIRONMENT "${LOAD_ENVIRONMENT}")
  endforeach()
endif()
