# calvaro_module(<target> [SEPARATE] [DEPS <targets...>])
#   A static library of every .cpp/.c file in the calling folder. Headers are
#   included from the repository root: #include "Calvaro/engine/Digit.h".
#   The files compile a few at a time in unity batches, each header read once
#   per batch, unless the module is SEPARATE (its files share helper names in
#   their anonymous namespaces).
function(calvaro_module target)
  cmake_parse_arguments(M "SEPARATE" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  add_library(${target} STATIC ${sources})
  if(NOT M_SEPARATE)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  endif()
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/generated")
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# calvaro_test(<binary> [TIMEOUT <seconds>] [CASE_TIMEOUTS <Suite.Case=seconds...>] [DEPS <targets...>])
#   One gtest binary of every .cpp file in the calling tests/ folder. After each
#   link the binary lists its cases (cmake/CalvaroListTests.cmake) and each case
#   is registered with CTest on its own. Tests run from the build folder and
#   find the bundle resources and golden files through the environment.
#   TIMEOUT bounds each case: it only catches a hang, so it is generous.
#   The default is 300 s. The dearest unit case takes 12 s of CPU under the
#   sanitizers, and the cases that write and sync take up to 80 s by the
#   wall on four cores shared by twenty test processes. Folders that start
#   processes or a browser give their own. CASE_TIMEOUTS gives a case whose
#   work is inherent (data at a bound) a bound of its own.
function(calvaro_test binary)
  cmake_parse_arguments(T "" "TIMEOUT" "DEPS;CASE_TIMEOUTS" ${ARGN})
  string(REPLACE ";" "," case_timeouts "${T_CASE_TIMEOUTS}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${binary} ${sources})
  target_link_libraries(${binary} PRIVATE ${T_DEPS} calvaro_test_data_root calvaro_test_queues_end GTest::gtest GTest::gtest_main GTest::gmock)
  # The cases of one folder share their heaviest headers (gtest, the engine's):
  # compiled a few files at a time, each header is read once per batch.
  # GCC takes a fixture in one file's anonymous namespace, used by the cases
  # of the same file, for one shared with an included header.
  set_target_properties(${binary} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 6)
  target_compile_options(${binary} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  # The code under test is built as it ships; the tests' own code is only
  # glue around it and is not optimised, which halves its compile time. It
  # keeps the sanitizers but not the fuzzers' coverage counters.
  target_compile_options(${binary} PRIVATE $<IF:$<CXX_COMPILER_ID:GNU>,-Og,-O0>
                         $<$<CXX_COMPILER_ID:Clang>:-fno-sanitize=fuzzer-no-link>)
  set(cases "${CMAKE_CURRENT_BINARY_DIR}/${binary}_cases.cmake")
  add_custom_command(TARGET ${binary} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DBINARY=$<TARGET_FILE:${binary}>" "-DOUTPUT=${cases}"
            "-DWORKING_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}"
            "-DRESOURCES=${PROJECT_SOURCE_DIR}/Calvaro/resources" "-DTIMEOUT=${T_TIMEOUT}"
            "-DCASE_TIMEOUTS=${case_timeouts}"
            -P "${PROJECT_SOURCE_DIR}/cmake/CalvaroListTests.cmake"
    BYPRODUCTS "${cases}"
    VERBATIM)
  # Until the binary is built, CTest reports it as not built instead of
  # silently running nothing.
  set(include "${CMAKE_CURRENT_BINARY_DIR}/${binary}_include.cmake")
  file(WRITE "${include}"
    "if(EXISTS \"${cases}\")\n"
    "  include(\"${cases}\")\n"
    "else()\n"
    "  add_test(${binary}_NOT_BUILT ${binary}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include}")
endfunction()

# calvaro_bench(<binary> <source> [DEPS <targets...>])
function(calvaro_bench binary source)
  cmake_parse_arguments(B "" "" "DEPS" ${ARGN})
  add_executable(${binary} ${source})
  target_link_libraries(${binary} PRIVATE ${B_DEPS} benchmark::benchmark benchmark::benchmark_main)
endfunction()

# calvaro_add_subfolders()
#   Adds every folder below the calling one that has a CMakeLists.txt, so a new
#   test or benchmark folder takes part without being listed.
function(calvaro_add_subfolders)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*")
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY "${dir}" AND EXISTS "${dir}/CMakeLists.txt")
      add_subdirectory("${dir}")
    endif()
  endforeach()
endfunction()
