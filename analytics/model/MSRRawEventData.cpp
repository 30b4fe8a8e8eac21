#include "analytics/model/MSRRawEventData.h"

#include "analytics/support/MSRMonitor.h"

std::optional<MSRRawEventData> MSRRawEventData::initWithRawEvent(std::optional<MSREvent> rawEvent,
                                                                 int64_t rowID,
                                                                 uint64_t metadataFingerprint) {
    if (!rawEvent) {
        MSRMonitor::shared()->logWithLevel(4, 28000,
                                           "Failed to create raw event data. Received invalid raw event.");
        return std::nullopt;
    }
    if (rowID < 0) {
        MSRMonitor::shared()->logWithLevel(4, 28001,
                                           "Failed to create raw event data. Received invalid row ID. Row ID",
                                           {std::to_string(rowID)});
        return std::nullopt;
    }
    return MSRRawEventData(std::move(*rawEvent), rowID, metadataFingerprint);
}
