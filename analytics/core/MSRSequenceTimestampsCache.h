#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"

// The times at which the sequence filters of one audience held, while one
// bundle is evaluated: event filters collect a series, property filters keep
// only their latest time.
class MSRSequenceTimestampsCache {
  public:
    explicit MSRSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

    int32_t audienceID() const { return audienceID_; }
    // A copy of the filter's times; nothing when it has none yet.
    std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;
    // Appends, unless the last time is the same whole second.
    void addEventFilterTimestamp(double timestamp, int32_t filterID);
    // Replaces the filter's times with this one.
    void setUserPropertyTimestamp(double timestamp, int32_t filterID);
    // One entry per filter in ascending filter ID, its times ascending and
    // truncated to whole seconds.
    std::vector<MSRPBSequenceFilterResultTimestamp> sequenceFilterResultTimestamps() const;

    const std::map<int32_t, std::vector<double>>& allSequenceTimestampsByFilterID() const { return timestamps_; }

  private:
    int32_t audienceID_;
    std::map<int32_t, std::vector<double>> timestamps_;
};
