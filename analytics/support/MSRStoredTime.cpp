#include "analytics/support/MSRStoredTime.h"

#include <algorithm>
#include <cmath>

double MSRStoredTimeAgainstClock(double stored, double now) {
    if (!std::isfinite(stored)) return 0;
    return std::isfinite(now) ? std::min(stored, now) : stored;
}

int64_t MSRStoredMillisAgainstClock(int64_t stored, int64_t nowMillis) {
    return std::min(stored, nowMillis);
}

double MSRSettleStoredTime(const std::function<double()>& read, const std::function<void(double)>& write,
                           double now) {
    const double stored = read();
    const double settled = MSRStoredTimeAgainstClock(stored, now);
    // NaN differs from everything, itself included: it is settled too.
    if (!(settled == stored)) write(settled);
    return settled;
}

int64_t MSRSettleStoredMillis(const std::function<int64_t()>& read, const std::function<void(int64_t)>& write,
                              int64_t nowMillis) {
    const int64_t stored = read();
    const int64_t settled = MSRStoredMillisAgainstClock(stored, nowMillis);
    if (settled != stored) write(settled);
    return settled;
}
