// The upload road of the engine: when the next upload runs, the run itself
// (bundling, consent restamp, grouping into one batch, the post) and the
// handling of the collector's answer.

#include "analytics/core/MSRMeasurement.h"

#include <cmath>
#include <limits>

#include "analytics/storage/MSRDatabase.h"
#include "platform/dispatch/Clock.h"

// ---------------------------------------------------------------------------
// Suspension
// ---------------------------------------------------------------------------

double MSRMeasurement::uptime() const { return dispatch::Clock::uptimeNow(); }

void MSRMeasurement::suspendUploads() {
    // 0 means "not suspended", so a suspension taken at uptime 0 is kept as
    // the smallest positive value instead.
    suspendedUploadTimestamp_ = std::max(uptime(), std::numeric_limits<double>::min());
}

double MSRMeasurement::remainingUploadSuspension() {
    if (suspendedUploadTimestamp_ == 0 || std::isnan(suspendedUploadTimestamp_)) {
        suspendedUploadTimestamp_ = 0;
        return 0;
    }
    double elapsed = uptime() - suspendedUploadTimestamp_;
    // Uptime never runs backwards; a suspension stamped ahead of it can only
    // come from a foreign value and must not hold uploads for ever.
    if (elapsed < 0 || elapsed >= kUploadSuspensionInterval) {
        suspendedUploadTimestamp_ = 0;
        return 0;
    }
    return kUploadSuspensionInterval - elapsed;
}
