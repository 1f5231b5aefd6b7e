# quorvane-test's command-line tests run the real program; the manual pages
# are linted and checked for the options, messages and keywords they must
# document.
if(TARGET quorvane_cli_tests AND TARGET quorvane-test)
  target_compile_definitions(quorvane_cli_tests PRIVATE QUORVANE_TEST_BINARY="$<TARGET_FILE:quorvane-test>")
  add_dependencies(quorvane_cli_tests quorvane-test)
endif()

add_test(NAME manpages COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/manpages_check.sh ${PROJECT_SOURCE_DIR}/man)
set_tests_properties(manpages PROPERTIES LABELS docs SKIP_RETURN_CODE 77)

add_test(NAME systemd_unit COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/unit_check.sh
                                   ${PROJECT_BINARY_DIR}/packaging/quorvane.service $<TARGET_FILE:quorvane>)
set_tests_properties(systemd_unit PROPERTIES LABELS packaging SKIP_RETURN_CODE 77)

add_test(NAME tester_vs_daemon COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/tester_vs_daemon.sh $<TARGET_FILE:quorvane>
                                       $<TARGET_FILE:quorvane-test>)
set_tests_properties(tester_vs_daemon PROPERTIES LABELS cli SKIP_RETURN_CODE 77 TIMEOUT 60
                                      ENVIRONMENT "QUORVANE_MILTER_CLIENT=$<TARGET_FILE:quorvane_milter_client>")
