#include "tests/support/TestPaths.h"

namespace calvaro::test {

std::string sourcePath(const std::string& relative) { return std::string(CALVARO_SOURCE_ROOT) + "/" + relative; }

std::string buildPath(const std::string& relative) { return std::string(CALVARO_BUILD_ROOT) + "/" + relative; }

}  // namespace calvaro::test
