# calvaro_module(<target> [DEPS <targets...>])
#   A static library of every .cpp/.c file in the calling folder. Headers are
#   included from the repository root: #include "Calvaro/engine/Digit.h".
function(calvaro_module target)
  cmake_parse_arguments(M "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/generated")
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# calvaro_test(<binary> [DEPS <targets...>])
#   One gtest binary of every .cpp file in the calling tests/ folder; each test
#   case is registered with CTest. Tests run from the build folder and find the
#   bundle resources and golden files through the environment.
function(calvaro_test binary)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${binary} ${sources})
  target_link_libraries(${binary} PRIVATE ${T_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${binary} PRIVATE
    CALVARO_GOLDEN_DIR="${PROJECT_SOURCE_DIR}/tests/golden"
    CALVARO_TEST_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
  gtest_discover_tests(${binary}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "CALVARO_RESOURCES=${PROJECT_SOURCE_DIR}/Calvaro/resources")
endfunction()

# calvaro_bench(<binary> <source> [DEPS <targets...>])
function(calvaro_bench binary source)
  cmake_parse_arguments(B "" "" "DEPS" ${ARGN})
  add_executable(${binary} ${source})
  target_link_libraries(${binary} PRIVATE ${B_DEPS} benchmark::benchmark benchmark::benchmark_main)
endfunction()
