#pragma once

#include "analytics/model/MSREvent.h"

#include <cstdint>
#include <optional>

// An event as read back from the database: its row and the fingerprint of
// the metadata it was stored with. A row ID of 0 means not yet stored.
class MSRRawEventData {
  public:
    // Nothing (logged) without an event or with a negative row ID.
    static std::optional<MSRRawEventData> initWithRawEvent(std::optional<MSREvent> rawEvent,
                                                           int64_t rowID, uint64_t metadataFingerprint);

    const MSREvent& rawEvent() const { return rawEvent_; }
    int64_t rowID() const { return rowID_; }
    uint64_t metadataFingerprint() const { return metadataFingerprint_; }

  private:
    MSRRawEventData(MSREvent rawEvent, int64_t rowID, uint64_t metadataFingerprint)
        : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

    MSREvent rawEvent_;
    int64_t rowID_;
    uint64_t metadataFingerprint_;
};
