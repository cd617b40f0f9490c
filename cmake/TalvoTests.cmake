# Registers a GoogleTest program's tests with CTest.
#
#   talvo_add_gtests(<target> TIMEOUT <seconds> [LABELS <label>...])
#
# Each case is its own CTest test, with TIMEOUT as its hang guard. With TALVO_WHOLE_SUITES (the
# memcheck preset) the program is instead one test, run once: under valgrind, starting a program
# and warming ICU costs seconds, which every one of hundreds of cases would pay again. Its cases'
# results go to gtest-reports/ as XML, where scripts/test finds the ones skipped inside it.
include(GoogleTest)

option(TALVO_WHOLE_SUITES "Register each test program as one CTest test" OFF)
# A whole program under valgrind: the slowest took under 10 minutes on 2 busy cores.
set(TALVO_WHOLE_SUITE_TIMEOUT 1800)

function(talvo_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "LABELS")
  if(TALVO_WHOLE_SUITES)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES
      TIMEOUT ${TALVO_WHOLE_SUITE_TIMEOUT}
      LABELS "${arg_LABELS}"
      ENVIRONMENT "GTEST_OUTPUT=xml:${CMAKE_BINARY_DIR}/gtest-reports/")
  else()
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT ${TALVO_TEST_LISTING_TIMEOUT} NO_PRETTY_VALUES
      PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS "${arg_LABELS}")
  endif()
endfunction()
