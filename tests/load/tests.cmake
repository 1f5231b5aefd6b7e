# Load, fault and extreme-input tests against the real daemon, driven by
# miltertest sessions (tests/load/lib.sh). Label `load`; the very large
# inputs (hundreds of megabytes, minutes under the sanitizers) also carry
# `heavy` and are left out of the default passes with -LE heavy; those where
# threads and processes meet carry `tsan` (run under ThreadSanitizer).
# Scripts exit 77 (skipped) where what they need is missing (miltertest,
# perl, mount).
if(NOT MILTERTEST_PROGRAM)
  find_program(MILTERTEST_PROGRAM miltertest)
endif()

# The other process of the lock test.
add_executable(quorvane_hold_lock ${CMAKE_CURRENT_LIST_DIR}/hold_lock.cpp)
target_compile_options(quorvane_hold_lock PRIVATE ${QUORVANE_WARNINGS} -Wno-old-style-cast)

if(MILTERTEST_PROGRAM)
  set(LOAD_ENVIRONMENT "QUORVANE_BINARY=$<TARGET_FILE:quorvane>" "MILTERTEST=${MILTERTEST_PROGRAM}"
                       "QUORVANE_HOLD_LOCK=$<TARGET_FILE:quorvane_hold_lock>"
                       "QUORVANE_MILTER_CLIENT=$<TARGET_FILE:quorvane_milter_client>")
  # name | script | argument | labels | timeout
  set(LOAD_CASES
      "load.sessions_50x200|load_test.sh||load,tsan|300"
      "load.shared_mailbox|shared_mailbox_test.sh||load,tsan|300"
      "reload.under_load|reload_test.sh||load,tsan|300"
      "fault.disk_full|faults_test.sh|disk_full|load|120"
      "fault.fsize_limit|faults_test.sh|fsize_limit|load|120"
      "fault.pipe_crash|faults_test.sh|pipe_crash|load|120"
      "fault.pipe_hangup|faults_test.sh|pipe_hangup|load|120"
      "fault.pipe_missing|faults_test.sh|pipe_missing|load|120"
      "fault.dir_vanishes|faults_test.sh|dir_vanishes|load|120"
      "fault.lock_held|faults_test.sh|lock_held|load,tsan|120"
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
