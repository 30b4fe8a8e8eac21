# Every outside library comes from Debian's packages (see scripts/setup) and is
# found once here, as an imported target the modules link against.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
find_package(nanopb CONFIG QUIET)

find_package(Python3 REQUIRED COMPONENTS Interpreter)  # build-time generators

# Running needs neither: a machine set up for running only (scripts/setup)
# builds without them; scripts/setup --test installs them.
macro(calvaro_optional_package switch package name leftOut)
  if(${switch})
    find_package(${package} QUIET)
    if(NOT ${package}_FOUND)
      message(STATUS "${name} is missing: the ${leftOut} are left out (scripts/setup --test installs it)")
      set(${switch} OFF)
    endif()
  endif()
endmacro()
calvaro_optional_package(CALVARO_TESTS GTest gtest tests)
calvaro_optional_package(CALVARO_BENCH benchmark libbenchmark benchmarks)
