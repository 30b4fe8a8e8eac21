#include "analytics/core/MSRAppMetadata.h"

#include <limits>

#include "analytics/core/support/MSRMonitor.h"

std::optional<MSRAppMetadata> MSRAppMetadata::initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                      double lastBundleStartTimestamp,
                                                                      double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        MSRMonitor::shared()->logWithLevel(
            2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    return MSRAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void MSRAppMetadata::incrementLastBundleIndex() {
    if (lastBundleIndex_ == std::numeric_limits<int32_t>::max()) {
        lastBundleIndex_ = 0;
        MSRMonitor::shared()->logWithLevel(5, 4001, "Bundle index overflow. Bundle index reset to 0.");
        return;
    }
    ++lastBundleIndex_;
}
