# quorvane-test, the rule tester: its own entry point, linked with the core
# library (and the milter library, which the core's callbacks refer to). It is
# kept out of the core, which must hold no main().
list(FILTER QUORVANE_SOURCES EXCLUDE REGEX "/src/frontend/tester_main\\.cpp$")
add_executable(quorvane-test ${PROJECT_SOURCE_DIR}/src/frontend/tester_main.cpp)
target_compile_options(quorvane-test PRIVATE ${QUORVANE_WARNINGS})
target_link_libraries(quorvane-test PRIVATE quorvane_core ${MILTER_LIBRARY})
