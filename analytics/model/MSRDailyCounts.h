#pragma once

#include <cstdint>

// The per-day counters on which the daily caps rest. Every increment first
// compares the given day with the stored one and, when they differ, starts
// the new day with all counters at 0.
class MSRDailyCounts {
  public:
    MSRDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount, int32_t publicEventsCount,
                   int32_t errorEventsCount, int32_t realtimeCount, int32_t dcuRealtimeCount)
        : day_(day),
          conversionsCount_(conversionsCount),
          allEventsCount_(allEventsCount),
          publicEventsCount_(publicEventsCount),
          errorEventsCount_(errorEventsCount),
          realtimeCount_(realtimeCount),
          dcuRealtimeCount_(dcuRealtimeCount) {}

    // The installation's day number of a time: whole days since 1970 after
    // moving the boundary by `midnightOffset` seconds, rounded towards minus
    // infinity. A time beyond the 32-bit day range (or not a number) clamps
    // to its ends instead of being undefined.
    static int32_t dayForTime(double secondsSince1970, double midnightOffset);

    // An event counts as 1 plus the items of its list parameters.
    void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                      int32_t effectiveEventCount = 1);
    void incrementErrorEventsCountForCurrentDay(int32_t day);
    void incrementRealtimeCountsForCurrentDay(int32_t day);
    void incrementDCURealtimeCountsForCurrentDay(int32_t day);
    // Never below 0.
    void decrementAllEventsCount();
    void resetWithNewDay(int32_t day);

    int32_t day() const { return day_; }
    int32_t conversionsCount() const { return conversionsCount_; }
    int32_t allEventsCount() const { return allEventsCount_; }
    int32_t publicEventsCount() const { return publicEventsCount_; }
    int32_t errorEventsCount() const { return errorEventsCount_; }
    int32_t realtimeCount() const { return realtimeCount_; }
    int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  private:
    void startDay(int32_t day);

    int32_t day_;
    int32_t conversionsCount_;
    int32_t allEventsCount_;
    int32_t publicEventsCount_;
    int32_t errorEventsCount_;
    int32_t realtimeCount_;
    int32_t dcuRealtimeCount_;
};
