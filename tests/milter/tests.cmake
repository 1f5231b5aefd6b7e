# Integration tests of the milter side: miltertest scripts run against the
# real daemon by miltertest/run_miltertest.sh (see there for the scratch
# directory, the @TESTDIR@ rule substitution and the check script).
#
#   quorvane_miltertest(NAME name RULES rules.conf SCRIPT script.lua
#                       [CHECK check-script] [ENV VAR=value...])
# Relative paths are taken from tests/milter/miltertest.

find_program(MILTERTEST_PROGRAM miltertest)
set(QUORVANE_MILTERTEST_DIR ${CMAKE_CURRENT_LIST_DIR}/miltertest)

function(quorvane_miltertest)
  cmake_parse_arguments(MT "" "NAME;RULES;SCRIPT;CHECK" "ENV" ${ARGN})
  if(NOT MILTERTEST_PROGRAM)
    return()
  endif()
  set(command ${QUORVANE_MILTERTEST_DIR}/run_miltertest.sh)
  foreach(file RULES SCRIPT CHECK)
    if(MT_${file} AND NOT IS_ABSOLUTE ${MT_${file}})
      set(MT_${file} ${QUORVANE_MILTERTEST_DIR}/${MT_${file}})
    endif()
    if(MT_${file})
      list(APPEND command ${MT_${file}})
    endif()
  endforeach()
  set(environment "QUORVANE_BINARY=$<TARGET_FILE:quorvane>" "MILTERTEST=${MILTERTEST_PROGRAM}"
                  "QUORVANE_MILTER_CLIENT=$<TARGET_FILE:quorvane_milter_client>" ${MT_ENV})
  add_test(NAME miltertest.${MT_NAME} COMMAND ${command})
  set_tests_properties(miltertest.${MT_NAME} PROPERTIES LABELS integration TIMEOUT 120
                                                        ENVIRONMENT "${environment}")
endfunction()

if(NOT MILTERTEST_PROGRAM)
  message(WARNING "miltertest not found: the milter integration tests are left out")
endif()

quorvane_miltertest(NAME negotiate RULES pass.conf SCRIPT negotiate.lua)
quorvane_miltertest(NAME add_header_warning RULES add_header.conf SCRIPT warning.lua CHECK warning_check.sh)
quorvane_miltertest(NAME pass_unix RULES pass.conf SCRIPT pass.lua)
# Over TCP, where the listening socket gets TCP_NODELAY.
quorvane_miltertest(NAME pass_inet RULES pass.conf SCRIPT pass.lua ENV QUORVANE_CONNECTION=inet)
# A whole message through every kind of action, with the verbose trace, and
# -a turning a failed Store In into a temporary failure.
quorvane_miltertest(NAME actions RULES actions.conf SCRIPT actions.lua CHECK actions_check.sh ENV QUORVANE_ARGS=-v)
quorvane_miltertest(NAME tempfail RULES tempfail.conf SCRIPT tempfail.lua CHECK tempfail_check.sh
                    ENV QUORVANE_ARGS=-a QUORVANE_ALLOW_ERRORS=1)
# Header, size, wildcard and expression tests and the date placeholders.
quorvane_miltertest(NAME match RULES match.conf SCRIPT match.lua CHECK match_check.sh
                    ENV QUORVANE_ARGS=-v)
# Maildir delivery: the files byte for byte, per recipient, and a path that
# a missing placeholder leaves ending in "/".
quorvane_miltertest(NAME maildir RULES maildir.conf SCRIPT maildir.lua CHECK maildir_check.sh
                    ENV QUORVANE_ARGS=-v QUORVANE_ALLOW_ERRORS=1)
# Add Recipient: the recipients a milter client sees and no header; With
# Envelope: the archive copy names the whole envelope.
quorvane_miltertest(NAME journal RULES journal.conf SCRIPT journal.lua CHECK journal_check.sh)
