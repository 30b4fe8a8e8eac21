#include "analytics/model/MSRDailyCounts.h"

#include <cmath>
#include <limits>

int32_t MSRDailyCounts::dayForTime(double secondsSince1970, double midnightOffset) {
    const double day = std::floor((secondsSince1970 - midnightOffset) / 86400.0);
    if (std::isnan(day)) return 0;
    if (day >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (day <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(day);
}

void MSRDailyCounts::startDay(int32_t day) {
    if (day != day_) resetWithNewDay(day);
}

void MSRDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                                  int32_t effectiveEventCount) {
    startDay(day);
    allEventsCount_ += effectiveEventCount;
    if (isPublicEvent) publicEventsCount_ += effectiveEventCount;
    if (isConversion) conversionsCount_ += 1;
}

void MSRDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
    startDay(day);
    allEventsCount_ += 1;
    errorEventsCount_ += 1;
}

void MSRDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
    startDay(day);
    realtimeCount_ += 1;
}

void MSRDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
    startDay(day);
    dcuRealtimeCount_ += 1;
}

void MSRDailyCounts::decrementAllEventsCount() {
    allEventsCount_ = allEventsCount_ <= 0 ? 0 : allEventsCount_ - 1;
}

void MSRDailyCounts::resetWithNewDay(int32_t day) {
    day_ = day;
    conversionsCount_ = 0;
    allEventsCount_ = 0;
    publicEventsCount_ = 0;
    errorEventsCount_ = 0;
    realtimeCount_ = 0;
    dcuRealtimeCount_ = 0;
}
