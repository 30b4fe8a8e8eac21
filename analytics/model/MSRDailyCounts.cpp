#include "analytics/model/MSRDailyCounts.h"

#include <cmath>

#include "analytics/support/MSRNumericUtil.h"

int32_t MSRDailyCounts::dayForTime(double secondsSince1970, double midnightOffset) {
    return MSRSaturatingInteger<int32_t>(std::floor((secondsSince1970 - midnightOffset) / 86400.0));
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
