#include "analytics/support/MSRStoredTime.h"

#include <algorithm>
#include <cmath>

double MSRFiniteStoredTime(double stored) {
    return std::isfinite(stored) ? stored : 0;
}

double MSRStoredTimeAgainstClock(double stored, double now) {
    return std::isfinite(stored) && std::isfinite(now) ? std::min(stored, now) : MSRFiniteStoredTime(stored);
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
