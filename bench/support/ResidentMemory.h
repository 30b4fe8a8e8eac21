#pragma once

// The process's own memory as /proc/self/status says it, and the reset of its
// peak, for figures of what one piece of work grew it by.

#include <cstdint>
#include <fstream>
#include <string>

namespace bench {

// A "VmRSS:" or "VmHWM:" line of /proc/self/status, in bytes; 0 when missing.
inline int64_t residentField(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string prefix(field);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(prefix, 0) == 0) return std::stoll(line.substr(prefix.size())) << 10;
    return 0;
}

}  // namespace bench
