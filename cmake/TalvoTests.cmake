# Registers a GoogleTest program's tests with CTest.
#
#   talvo_add_gtests(<target> TIMEOUT <seconds> [LABELS <label>...])
#
# Natively each case is its own CTest test, with TIMEOUT as its hang guard. Under an emulator
# (Wine, valgrind) the program is one test instead, run once by cmake/run-suite: there every start
# costs seconds and is a chance to fail, and hundreds of cases would pay it again. run-suite keeps
# TIMEOUT as each case's hang guard and writes the cases' results to test-reports/, where
# scripts/test counts them as it counts CTest's own tests.
include(GoogleTest)

option(TALVO_WHOLE_SUITES "Register each test program as one CTest test" OFF)
# A whole program under valgrind: the slowest took under 10 minutes on 2 busy cores.
set(TALVO_WHOLE_SUITE_TIMEOUT 1800)
set(TALVO_TEST_REPORTS "${CMAKE_BINARY_DIR}/test-reports")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(talvo_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "LABELS")
  if(TALVO_WHOLE_SUITES OR CMAKE_CROSSCOMPILING_EMULATOR)
    set(windows)
    if(WIN32)
      set(windows --windows)
    endif()
    add_test(NAME ${target}
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/run-suite
                     --reports ${TALVO_TEST_REPORTS} --name ${target} --case-timeout ${arg_TIMEOUT}
                     ${windows} -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}>)
    set_tests_properties(${target} PROPERTIES
      TIMEOUT ${TALVO_WHOLE_SUITE_TIMEOUT} LABELS "${arg_LABELS}")
  else()
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT ${TALVO_TEST_LISTING_TIMEOUT} NO_PRETTY_VALUES
      PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS "${arg_LABELS}")
  endif()
endfunction()

# Under Wine: the tests named run in the prefix <prefix> (made by the fixture <name>.wine_prefix,
# with the null graphics driver) and join one Wine server that <name>.wine_server keeps up until
# <name>.wine_server_stop, so that no program pays for a server of its own.
#
#   talvo_run_in_wine(<name> <prefix> <test>...)
function(talvo_run_in_wine name prefix)
  set(env WINEPREFIX=${prefix} WINEDEBUG=-all)
  set(wine ${PROJECT_SOURCE_DIR}/cmake)
  add_test(NAME ${name}.wine_prefix COMMAND ${wine}/wine-prefix)
  add_test(NAME ${name}.wine_server COMMAND ${wine}/wine-server start)
  add_test(NAME ${name}.wine_server_stop COMMAND ${wine}/wine-server stop)
  set_tests_properties(${name}.wine_prefix PROPERTIES FIXTURES_SETUP ${name}_wine_prefix)
  set_tests_properties(${name}.wine_server PROPERTIES
    FIXTURES_REQUIRED ${name}_wine_prefix FIXTURES_SETUP ${name}_wine_server)
  set_tests_properties(${name}.wine_server_stop PROPERTIES FIXTURES_CLEANUP ${name}_wine_server)
  set_tests_properties(${name}.wine_prefix ${name}.wine_server ${name}.wine_server_stop
    PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
  set_tests_properties(${ARGN} PROPERTIES
    ENVIRONMENT "${env}" FIXTURES_REQUIRED "${name}_wine_prefix;${name}_wine_server")
endfunction()
