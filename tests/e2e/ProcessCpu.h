#pragma once
// The CPU time a child process has used, read from outside while it runs:
// what its work cost, however many other processes share its core (a wall
// clock would count their turns too).

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

// The CPU time process `pid` has used so far (user and system, all its
// threads), in whole clock ticks (a quick start may have used none); negative
// when it cannot be read.
inline std::chrono::nanoseconds cpuTimeOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The fields after the name, which may hold blanks and parentheses:
    // the state is the third field, utime the 14th and stime the 15th.
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return std::chrono::nanoseconds(-1);
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    long long ticks = 0;
    int i = 3;
    for (; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stoll(field);
    if (i <= 15) return std::chrono::nanoseconds(-1);
    return std::chrono::nanoseconds(ticks * (1'000'000'000LL / sysconf(_SC_CLK_TCK)));
}

// The same in seconds, negative when it cannot be read.
inline double cpuSecondsOf(pid_t pid) {
    const std::chrono::nanoseconds used = cpuTimeOf(pid);
    return used.count() < 0 ? -1.0 : std::chrono::duration<double>(used).count();
}

// The CPU seconds of a start that others are set against, taken as no less
// than three clock ticks: a quick start on a fast machine uses one or two,
// too few to measure by.
inline double calibrationCpuSeconds(double seconds) { return std::max(seconds, 0.03); }
