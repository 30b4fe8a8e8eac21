// The upload schedule over stored times another clock or another program
// left: one ahead of the clock reads as now and is stored so, one that is no
// number as absent, and every wait they start ends.

#include <cmath>
#include <limits>

#include "MeasurementFixture.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/support/MSRStoredTime.h"

namespace {

constexpr double kStoredTimesYear = 365.0 * 86400;
constexpr double kStoredTimesInf = std::numeric_limits<double>::infinity();
constexpr double kStoredTimesNaN = std::numeric_limits<double>::quiet_NaN();

class StoredTimesScheduleTest : public MeasurementFixture {
  protected:
    void queueBundleAt(double endTime) {
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, MSRBundleSlot::kAppID, options_.appID);
        MSRPBSetInt64(bundle, MSRBundleSlot::kEndTimestamp, std::llround(endTime * 1000));
        EXPECT_TRUE(database().insertBundle(bundle, false, nullptr));
    }
};

TEST(StoredTimeAgainstClockTest, AheadReadsAsNowAndNoNumberAsAbsent) {
    const double now = 1.7e9;
    const struct {
        double stored, expected;
    } rows[] = {
        {now - 5, now - 5},
        {now, now},
        {now + 1, now},
        {now + kStoredTimesYear, now},
        {1e308, now},
        {kStoredTimesInf, 0},
        {-kStoredTimesInf, 0},
        {kStoredTimesNaN, 0},
        {0, 0},
        {-1e308, -1e308},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MSRStoredTimeAgainstClock(row.stored, now), row.expected) << row.stored;
    EXPECT_EQ(MSRStoredMillisAgainstClock(INT64_MAX, 5), 5);
    EXPECT_EQ(MSRStoredMillisAgainstClock(4, 5), 4);
}

// Which stored upload time, and what it holds; newest data 10 s ago. A
// failure read as now is stored so, one that is no number cleared; a success
// ahead counts as far in the past. Then newer data comes: the schedule is
// the regular one again.
TEST_F(StoredTimesScheduleTest, AnUploadTimeAheadOfTheClockStartsAWaitThatEnds) {
    struct Case {
        const char* name;
        bool failure;    // last_failed_upload, else last_successful_upload
        double stored;   // relative to now, or as is when not finite or 1e308
        double first;    // the first next uploading time, relative to now
        double settled;  // the failure stored then, relative to now; kStoredTimesNaN: 0
    };
    const Case cases[] = {
        // Read as a failure now: the first retry 1800 s after the regular time.
        {"a failure a year ahead", true, kStoredTimesYear, 1805, 0},
        {"a failure at 1e308", true, 1e308, 1805, 0},
        {"a failure at infinity", true, kStoredTimesInf, 5, kStoredTimesNaN},
        {"a failure that is not a number", true, kStoredTimesNaN, 5, kStoredTimesNaN},
        {"a failure within the clock", true, -5, 1805, -5},
        // A success ahead is mirrored into the past: no wait for it.
        {"a success a year ahead", false, kStoredTimesYear, 5, 0},
        {"a success that is not a number", false, kStoredTimesNaN, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto queued = database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr);
        ASSERT_TRUE(queued);
        for (const auto& entry : *queued) database().deleteBundlesWithRowIDs({entry.second}, nullptr);
        const double n = now();
        const double stored = std::isfinite(c.stored) && c.stored != 1e308 ? n + c.stored : c.stored;
        persistedConfig().setLastSuccessfulUploadTimestamp(c.failure ? 0 : stored);
        persistedConfig().setLastFailedUploadTimestamp(c.failure ? stored : 0);
        queueBundleAt(n - 10);
        EXPECT_DOUBLE_EQ(engine().nextUploadingTime(), n + c.first);
        if (c.failure) {
            EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(),
                             std::isnan(c.settled) ? 0 : n + c.settled);
        }
        // New data after the time as it was read: no failure follows it.
        engine().alarm()->cancel();
        advanceBy(60);
        queueBundleAt(now());
        if (c.failure) {
            EXPECT_DOUBLE_EQ(engine().nextUploadingTime(), now() + 15);
        }
    }
}

// A back-off stamped ahead of the clock is none: no back-off was taken at
// the moment it is read, and one read so held uploads for a whole interval.
// One that is not a number is none too; one taken a minute ago holds uploads
// for the rest of its interval.
TEST_F(StoredTimesScheduleTest, ABackoffAheadOfTheClockHoldsNoUpload) {
    const struct {
        const char* name;
        double backoff;    // relative to now
        double heldUntil;  // relative to now
    } rows[] = {
        {"a year ahead", kStoredTimesYear, 5},
        {"a second ahead", 1, 5},
        {"not a number", kStoredTimesNaN, 5},
        {"a minute ago", -60, 43140},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        engine().alarm()->cancel();
        const double n = now();
        persistedConfig().setLastFailedUploadTimestamp(0);
        persistedConfig().setLastSuccessfulUploadTimestamp(0);
        persistedConfig().setLastBackoffTimestamp(std::isnan(row.backoff) ? row.backoff : n + row.backoff);
        queueBundleAt(n - 10);
        engine().updateSchedule();
        runUntilIdle();
        ASSERT_TRUE(engine().alarm()->scheduledTimestamp());
        EXPECT_NEAR(*engine().alarm()->scheduledTimestamp(), n + row.heldUntil, 1);
    }
}

}  // namespace
