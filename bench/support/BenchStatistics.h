#pragma once

// What a bench that compares builds in alternated rounds prints of them: the
// median of a figure's rounds with its range and quartiles, and the machine's
// load beside it.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Spread {
    double median = 0, low = 0, high = 0, q1 = 0, q3 = 0;
    size_t count = 0;
};

// Quantiles interpolated between the sorted rounds.
inline Spread spreadOf(std::vector<double> values) {
    Spread spread;
    spread.count = values.size();
    if (values.empty()) return spread;
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        const double position = fraction * static_cast<double>(values.size() - 1);
        const size_t below = static_cast<size_t>(position);
        const size_t above = std::min(below + 1, values.size() - 1);
        return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
    };
    spread.median = at(0.5);
    spread.q1 = at(0.25);
    spread.q3 = at(0.75);
    spread.low = values.front();
    spread.high = values.back();
    return spread;
}

// The 1, 5 and 15 minute load averages, as `uptime` gives them.
inline std::string loadAverage() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

}  // namespace bench
