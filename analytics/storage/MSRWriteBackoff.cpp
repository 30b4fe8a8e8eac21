#include "analytics/storage/MSRWriteBackoff.h"

#include <algorithm>
#include <cmath>

#include "analytics/storage/MSRStorageLog.h"

void MSRWriteBackoff::writeFailed(double now) {
    // Doubling stops at the bound long before the exponent could overflow.
    const double delay =
        std::min(kLongestDelay, kFirstDelay * std::ldexp(1.0, static_cast<int>(std::min<int64_t>(failures_, 30))));
    ++failures_;
    retryTime_ = now + delay;
    // Built in place: copied out of an initializer list, the contexts'
    // variants trip GCC's sanitizer builds.
    std::vector<MSRLogContext> contexts;
    contexts.reserve(2);
    contexts.emplace_back(failures_);
    contexts.emplace_back(delay);
    MSRStorageLog(2, 12075, "Writing to the database failed. Failures in a row, next attempt in seconds", contexts);
}

void MSRWriteBackoff::writeSucceeded() {
    failures_ = 0;
    retryTime_.reset();
}
