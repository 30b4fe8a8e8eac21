#include "MonitorHarness.h"
#include "analytics/model/MSRDailyCounts.h"
#include "analytics/model/MSREventAggregates.h"
#include "platform/dispatch/Clock.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

// The clock and the installation's day boundary (seconds after UTC midnight)
// of one test.
struct VirtualDay {
    explicit VirtualDay(double midnightOffset) : offset(midnightOffset) { dispatch::Clock::install(&clock); }
    ~VirtualDay() { dispatch::Clock::install(nullptr); }
    int32_t today() const { return MSRDailyCounts::dayForTime(dispatch::Clock::now(), offset); }

    // 2023-11-14 00:00:00 UTC.
    static constexpr double kMidnightUTC = 1'699'920'000.0;
    dispatch::FakeClock clock{kMidnightUTC};
    double offset;
};

}  // namespace

TEST(DailyCountsTest, CountsStartAgainAtTheDayBoundary) {
    struct Case {
        double offset;  // day boundary after UTC midnight
        double start;   // seconds after UTC midnight of the first event
        double step;    // seconds to the second event
        bool sameDay;
    };
    const Case cases[] = {
        {0, -1, 1, false},                                    // 23:59:59 -> 00:00:00
        {0, 0, 86399, true},      {3600, 1800, 1800, false},  // 00:30 belongs to the day before
        {3600, 1800, 1799, true}, {86399.5, 86399, 0.5, false},
    };
    for (const Case& c : cases) {
        VirtualDay day(c.offset);
        day.clock.setWallTime(VirtualDay::kMidnightUTC + c.start);
        MSRDailyCounts counts(0, 0, 0, 0, 0, 0, 0);
        counts.incrementCountsForCurrentDay(day.today(), true, true, 4);
        counts.incrementErrorEventsCountForCurrentDay(day.today());
        counts.incrementRealtimeCountsForCurrentDay(day.today());
        counts.incrementDCURealtimeCountsForCurrentDay(day.today());
        day.clock.advance(c.step);
        counts.incrementCountsForCurrentDay(day.today(), false, false);
        EXPECT_EQ(counts.day(), day.today());
        EXPECT_EQ(std::tuple(counts.allEventsCount(), counts.publicEventsCount(), counts.conversionsCount(),
                             counts.errorEventsCount(), counts.realtimeCount(), counts.dcuRealtimeCount()),
                  c.sameDay ? std::tuple(6, 4, 1, 1, 1, 1) : std::tuple(1, 0, 0, 0, 0, 0))
            << c.offset << " " << c.start;
    }
    // The day numbers themselves, including times far outside the range.
    EXPECT_EQ(MSRDailyCounts::dayForTime(VirtualDay::kMidnightUTC, 0), 19675);
    EXPECT_EQ(MSRDailyCounts::dayForTime(-1, 0), -1);
    EXPECT_EQ(MSRDailyCounts::dayForTime(1e300, 0), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(MSRDailyCounts::dayForTime(std::numeric_limits<double>::quiet_NaN(), 0), 0);
}

TEST(DailyCountsTest, AnEarlierDayAlsoStartsAgainAndDecrementStopsAtZero) {
    MSRDailyCounts counts(100, 1, 2, 3, 4, 5, 6);
    counts.incrementRealtimeCountsForCurrentDay(99);
    EXPECT_EQ(counts.day(), 99);
    EXPECT_EQ(counts.realtimeCount(), 1);
    EXPECT_EQ(counts.allEventsCount(), 0);
    counts.decrementAllEventsCount();
    EXPECT_EQ(counts.allEventsCount(), 0);
}

TEST(DailyCountsTest, AggregatesRefuseBadInputAndWrapTheirCounters) {
    MonitorHarness h;
    EXPECT_FALSE(MSREventAggregates::initWithName(std::string(41, 'e'), 0, 0, 0, 0));
    EXPECT_FALSE(MSREventAggregates::initWithName("_e", 0, -1, 0, 0));
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    std::optional<MSREventAggregates> a = MSREventAggregates::initWithName("_e", kMax, kMax - 1, kMax, 5);
    ASSERT_TRUE(a);
    a->incrementLifetimeCount();
    a->incrementCurrentBundleCount();
    a->incrementCurrentSessionCount();
    EXPECT_EQ(std::tuple(a->lifetimeCount(), a->currentBundleCount(), a->currentSessionCount()), std::tuple(0, kMax, 0));
}
