#include "analytics/support/MSRStoredTime.h"

#include <algorithm>
#include <cmath>

double MSRFiniteStoredTime(double stored) {
    return std::isfinite(stored) ? stored : 0;
}

double MSRStoredTimeAgainstClock(double stored, double now) {
    return std::isfinite(stored) && std::isfinite(now) ? std::min(stored, now) : MSRFiniteStoredTime(stored);
}

double MSRStoredTimeByRule(double stored, double now, MSRStoredTimeRule rule) {
    switch (rule) {
        case MSRStoredTimeRule::kMirrored:
            return MSRFiniteStoredTime(stored);
        case MSRStoredTimeRule::kAheadIsNow:
            return MSRStoredTimeAgainstClock(stored, now);
        case MSRStoredTimeRule::kAheadIsNone:
            return std::isfinite(now) && stored > now ? 0 : MSRFiniteStoredTime(stored);
    }
    return MSRFiniteStoredTime(stored);
}

int64_t MSRStoredMillisAgainstClock(int64_t stored, int64_t nowMillis) {
    return std::min(stored, nowMillis);
}

double MSRSettleStoredTime(const std::function<double()>& read, const std::function<void(double)>& write,
                           double now, MSRStoredTimeRule rule) {
    const double stored = read();
    const double settled = MSRStoredTimeByRule(stored, now, rule);
    // NaN differs from everything, itself included: it is settled too.
    if (!(settled == stored)) write(settled);
    return settled;
}
