#include "analytics/model/MSREventAggregates.h"

#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/support/MSRMonitor.h"

#include <limits>

namespace {

void increment(int32_t& counter, int64_t code, const char* message) {
    if (counter == std::numeric_limits<int32_t>::max()) {
        counter = 0;
        MSRMonitor::shared()->logWithLevel(5, code, message);
        return;
    }
    ++counter;
}

}  // namespace

std::optional<MSREventAggregates> MSREventAggregates::initWithName(std::string_view name,
                                                                   int32_t lifetimeCount,
                                                                   int32_t currentBundleCount,
                                                                   int32_t currentSessionCount,
                                                                   double lastFireTimestamp) {
    if (!MSRDataTypeValidator::isValidInternalEventName(name, nullptr)) return std::nullopt;
    if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
        MSRMonitor::shared()->logWithLevel(
            5, 17000, "Failed to create event aggregates object. Received negative count.");
        return std::nullopt;
    }
    MSREventAggregates aggregates;
    aggregates.name_ = std::string(name);
    aggregates.lifetimeCount_ = lifetimeCount;
    aggregates.currentBundleCount_ = currentBundleCount;
    aggregates.currentSessionCount_ = currentSessionCount;
    aggregates.lastFireTimestamp_ = lastFireTimestamp;
    return aggregates;
}

void MSREventAggregates::incrementLifetimeCount() {
    increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void MSREventAggregates::incrementCurrentBundleCount() {
    increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void MSREventAggregates::incrementCurrentSessionCount() {
    increment(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}
