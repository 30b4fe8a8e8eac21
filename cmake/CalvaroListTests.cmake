# Run after a test binary links: asks the binary for its cases and writes the
# CTest file that registers each case on its own, so that `ctest -j` runs the
# cases of one binary side by side.
#   cmake -D BINARY=<test binary> -D OUTPUT=<file> -D WORKING_DIRECTORY=<dir>
#         -D RESOURCES=<resources dir> -D TIMEOUT=<seconds per case>
#         [-D CASE_TIMEOUTS=<Suite.Case=seconds,...>] -P CalvaroListTests.cmake
execute_process(
  COMMAND "${BINARY}" --gtest_list_tests
  WORKING_DIRECTORY "${WORKING_DIRECTORY}"
  OUTPUT_VARIABLE listing
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${BINARY} could not list its cases (${result}):\n${errors}")
endif()

# A case line may carry a comment (a parameter's value); only names are kept.
string(REGEX REPLACE "[ ]*#[^\n]*" "" listing "${listing}")
string(REPLACE ";" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")

# A case named in CASE_TIMEOUTS is given its own bound instead of TIMEOUT.
string(REPLACE "," ";" case_timeouts "${CASE_TIMEOUTS}")

set(script "")
set(suite "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+)\\.$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(suite AND line MATCHES "^  ([^ ]+)$")
    set(name "${suite}.${CMAKE_MATCH_1}")
    set(timeout ${TIMEOUT})
    foreach(entry IN LISTS case_timeouts)
      if(entry MATCHES "^(.+)=([0-9]+)$")
        if("${CMAKE_MATCH_1}" STREQUAL "${name}")
          set(timeout ${CMAKE_MATCH_2})
        endif()
      endif()
    endforeach()
    string(APPEND script
      "add_test([=[${name}]=] \"${BINARY}\" [=[--gtest_filter=${name}]=])\n"
      "set_tests_properties([=[${name}]=] PROPERTIES WORKING_DIRECTORY \"${WORKING_DIRECTORY}\""
      " SKIP_REGULAR_EXPRESSION [=[\\[  SKIPPED \\]]=] TIMEOUT ${timeout}"
      " ENVIRONMENT [=[CALVARO_RESOURCES=${RESOURCES}]=])\n")
  endif()
endforeach()
file(WRITE "${OUTPUT}" "${script}")
