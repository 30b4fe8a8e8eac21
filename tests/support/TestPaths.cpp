#include "tests/support/TestPaths.h"

#include <fstream>
#include <sstream>

namespace calvaro::test {

std::string sourcePath(const std::string& relative) { return std::string(CALVARO_SOURCE_ROOT) + "/" + relative; }

std::string buildPath(const std::string& relative) { return std::string(CALVARO_BUILD_ROOT) + "/" + relative; }

std::string flatSourceText(const std::string& relative) {
    std::ifstream file(sourcePath(relative));
    std::ostringstream text;
    text << file.rdbuf();
    std::string flat;
    for (const char c : text.str()) {
        const bool blank = c == ' ' || c == '\n';
        if (blank && !flat.empty() && flat.back() == ' ') continue;
        flat.push_back(blank ? ' ' : c);
    }
    return flat;
}

}  // namespace calvaro::test
