#pragma once

#include <string>

// Where tests find the source tree (golden files, proto files) and the build
// tree (the executables they start). The two roots are compiled into one unit
// of the support library, so no other test source holds an absolute path and
// a clone in another folder reuses their compiled objects from the cache.
namespace calvaro::test {
std::string sourcePath(const std::string& relative);
std::string buildPath(const std::string& relative);
// A text file of the source tree with every run of blanks and line feeds
// read as one blank, as prose reads across its line breaks.
std::string flatSourceText(const std::string& relative);
}  // namespace calvaro::test

#define CALVARO_GOLDEN_DIR (::calvaro::test::sourcePath("tests/golden"))
#define CALVARO_PROTO_DIR (::calvaro::test::sourcePath("analytics/messages/proto"))
#define CALVARO_EVENT_DRIVER (::calvaro::test::buildPath("tools/eventdriver/event_driver"))
#define CALVARO_EXECUTABLE (::calvaro::test::buildPath("app/calvaro"))
#define CALVARO_STOP_AFTER_RENAME_LIBRARY \
    (::calvaro::test::buildPath("tests/e2e/stops/calvaro_stop_after_rename.so"))
