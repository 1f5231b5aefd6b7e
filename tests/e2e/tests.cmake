# End-to-end tests: real SMTP through a private Postfix wired to the daemon.
# Each script starts and stops its own instance; it exits 77 (skipped) where
# Postfix cannot run (not root, Postfix or swaks not installed:
# tests/e2e/install.sh installs them); the journal test also skips without
# Dovecot's LMTP server.
set(E2E_SCRIPTS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(E2E_ENVIRONMENT "QUORVANE_BINARY=$<TARGET_FILE:quorvane>"
                    "QUORVANE_MILTER_CLIENT=$<TARGET_FILE:quorvane_milter_client>")
set(E2E_CASES
    "store_pipe.unix|store_pipe_test.sh|unix"
    "store_pipe.inet|store_pipe_test.sh|inet"
    "add_header|add_header_test.sh|"
    "tempfail|tempfail_test.sh|"
    "ordinary_traffic|traffic_test.sh|"
    "concurrent_appends|concurrent_test.sh|"
    "journal|journal_test.sh|")
foreach(case ${E2E_CASES})
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 script)
  list(GET fields 2 argument)
  add_test(NAME e2e.${name} COMMAND bash ${E2E_SCRIPTS_DIR}/${script} ${argument})
  set_tests_properties(e2e.${name} PROPERTIES
    LABELS e2e
    SKIP_RETURN_CODE 77
    TIMEOUT 180
    ENVIRONMENT "${E2E_ENVIRONMENT}")
endforeach()
