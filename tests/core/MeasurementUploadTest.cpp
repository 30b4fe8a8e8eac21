// The upload road in virtual time: when uploads run, what a batch holds, and
// what the collector's answers do to the queued rows.

#include <cmath>
#include <deque>

#include "MeasurementFixture.h"
#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/messages/MSRPBRuntime.h"

namespace {

namespace Slot = MSRBundleSlot;
constexpr const char* kEndpoint = "http://127.0.0.1:9";
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
using Rows = std::vector<std::pair<int32_t, int32_t>>;  // (bundle index, retry count)

class MeasurementUploadTest : public MeasurementFixture {
protected:
    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        MeasurementFixture::SetUp();
        // Fetches are answered "not modified"; posts take the scripted statuses.
        database().updateRemoteConfigSuccessfulTimestamp(now(), nullptr);
        network().setResponder([this](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            if (request.method == "GET") reply.statusCode = net::kHTTPStatusNotModified;
            if (request.method == "POST" && !postStatuses.empty()) {
                reply.statusCode = postStatuses.front();
                postStatuses.pop_front();
            }
            return reply;
        });
        runUntilIdle();
        network().clearRequests();
    }
    void TearDown() override {
        monitor().setDebugModeEnabled(false);
        MeasurementFixture::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }

    void queueBundle(double endTime, bool realtime = false, std::string appID = "", std::string signals = "") {
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, Slot::kAppID, appID.empty() ? options_.appID : appID);
        MSRPBSetInt64(bundle, Slot::kEndTimestamp, std::llround(endTime * 1000));
        if (!signals.empty()) MSRPBSetString(bundle, Slot::kConsentSignals, signals);
        MSRPBSetInt32(bundle, Slot::kBundleIndex, ++bundleCount);
        EXPECT_TRUE(database().insertBundle(bundle, realtime, nullptr));
    }
    std::vector<MSRQueuedBundle> queued() {
        return database().queryBundlesWithCountLimit(1000, 1 << 30, nullptr).value_or(std::vector<MSRQueuedBundle>{});
    }
    Rows rows() {
        Rows found;
        for (const auto& [bundle, id] : queued())
            found.emplace_back(MSRPBGetInt32(bundle, Slot::kBundleIndex),
                               MSRPBGetInt32(bundle, Slot::kRetryCount));
        return found;
    }
    std::vector<net::FakeNetwork::Request> posts() {
        std::vector<net::FakeNetwork::Request> found;
        for (auto& request : network().requests()) {
            if (request.method != "POST") continue;
            EXPECT_EQ(request.maximumResponseBytes, kMSRMaximumUploadResponseBytes);
            found.push_back(request);
        }
        return found;
    }
    static std::vector<int32_t> batchIndexes(const net::FakeNetwork::Request& post) {
        std::vector<int32_t> indexes;
        auto batch = MSRPBMeasurementBatch::initWithBuffer(post.payload);
        for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(batch.value(), 0))
            indexes.push_back(MSRPBGetInt32(bundle, Slot::kBundleIndex));
        return indexes;
    }
    // Nothing is posted a second before `when`, one post a second after it.
    void expectPostAt(double when, size_t postsBefore) {
        advanceBy(when - now() - 1);
        EXPECT_EQ(posts().size(), postsBefore) << "posted before " << when;
        advanceBy(2);
        EXPECT_EQ(posts().size(), postsBefore + 1) << "nothing posted at " << when;
    }
    std::optional<double> alarmTime() { return engine().alarm()->scheduledTimestamp(); }
    std::deque<int> postStatuses;
    int32_t bundleCount = 0;
};

TEST_F(MeasurementUploadTest, NextUploadingTimeFollowsTheUploadHistory) {
    struct Case {
        const char* name;
        double dataAt;  // newest data, relative to now
        bool realtime, debug;
        double successAt, failedAt;
        double expected;  // kNone: no upload
    };
    const Case cases[] = {
        {"no data, no upload", kNone, false, false, kNone, kNone, kNone},
        {"first run 15 s after the newest data", 0, false, false, kNone, kNone, 15},
        {"old data runs at once", -100, false, false, kNone, kNone, -85},
        {"an hour after a success", -50, false, false, -100, kNone, 3500},
        {"10 s after a success with a real-time bundle", -3, true, false, -5, kNone, 5},
        {"data stamped in the future counts as past", 50, false, false, kNone, kNone, -35},
        {"first retry 1800 s after the regular time", -1000, false, false, kNone, -980, 815},
        // Regular time -9985; retries at -8185 and -4585 are not later than the failure.
        {"the first retry later than the failure", -10000, false, false, kNone, -4584, 2615},
        {"six retries spent: none until new data", -200000, false, false, kNone, -1, kNone},
        {"a failure before the newest data is no retry", -10, false, false, kNone, -20, 5},
        {"debug mode: at most 1 s after the data", 0, false, true, kNone, kNone, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [bundle, id] : queued()) database().deleteBundlesWithRowIDs({id}, nullptr);
        double n = now();
        if (!std::isnan(c.dataAt)) queueBundle(n + c.dataAt, c.realtime);
        monitor().setDebugModeEnabled(c.debug);
        persistedConfig().setLastSuccessfulUploadTimestamp(std::isnan(c.successAt) ? 0 : n + c.successAt);
        persistedConfig().setLastFailedUploadTimestamp(std::isnan(c.failedAt) ? 0 : n + c.failedAt);
        EXPECT_DOUBLE_EQ(engine().nextUploadingTime(), std::isnan(c.expected) ? 0 : n + c.expected);
    }
}

TEST_F(MeasurementUploadTest, AnEarlierAlarmStaysAndALaterOneIsReplaced) {
    queueBundle(now());  // the upload is due at now + 15
    const std::pair<double, double> existingAndExpected[] = {{10, 10}, {15, 15}, {300, 15}};
    for (const auto& [existing, expected] : existingAndExpected) {
        SCOPED_TRACE(existing);
        engine().alarm()->runAfterDelay(existing, [] {});
        engine().updateSchedule();
        EXPECT_EQ(alarmTime(), now() + expected);
    }
}

TEST_F(MeasurementUploadTest, ServerErrorsBackOffAndNoRowIsDeletedBeforeASuccess) {
    const std::pair<int, bool> statusAndBackoff[] = {{503, true}, {429, true}, {500, false}};
    for (const auto& [status, backoff] : statusAndBackoff) {
        SCOPED_TRACE(status);
        network().clearRequests();
        persistedConfig().setLastSuccessfulUploadTimestamp(0);
        double dataAt = now();
        for (int i = 0; i < 3; ++i) queueBundle(dataAt);
        std::vector<int32_t> sent = {bundleCount - 2, bundleCount - 1, bundleCount};
        postStatuses = {status, 200};
        engine().updateSchedule();

        expectPostAt(dataAt + 15, 0);
        const double failedAt = dataAt + 15;
        EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), failedAt);
        EXPECT_EQ(rows(), (Rows{{sent[0], 1}, {sent[1], 1}, {sent[2], 1}}));
        EXPECT_EQ(persistedConfig().lastBackoffTimestamp() != 0, backoff);
        EXPECT_FALSE(engine().isNetworkRequestPending());

        // The retry comes when the back-off ends, else 1800 s after the regular
        // time; it sends every row, and only then are they deleted.
        expectPostAt(backoff ? failedAt + 43200 : dataAt + 15 + 1800, 1);
        EXPECT_EQ(batchIndexes(posts().back()), sent);
        EXPECT_TRUE(rows().empty());
        EXPECT_EQ(persistedConfig().lastFailedUploadTimestamp() + persistedConfig().lastBackoffTimestamp(), 0);
    }
}

TEST_F(MeasurementUploadTest, ASessionThatCannotStartIsAFailureAndTheRetryGoes) {
    queueBundle(now() - 100);
    network().failNextSession();
    engine().uploadData();
    runUntilIdle();
    EXPECT_FALSE(engine().isNetworkRequestPending());
    EXPECT_TRUE(engine().uploadingBundleIDs().empty());
    EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), now());
    EXPECT_EQ(rows(), (Rows{{1, 1}}));
    ASSERT_TRUE(alarmTime());
    advanceBy(*alarmTime() - now() + 1);
    EXPECT_EQ(posts().size(), 2u);  // the refused one and the retry
    EXPECT_TRUE(rows().empty());
}

TEST_F(MeasurementUploadTest, WithoutAnEndpointNothingIsPostedAndRowsStayUntouched) {
    MSRRemoteConfig::setMeasurementURL(std::string());
    queueBundle(now() - 100);
    engine().uploadData();
    advanceBy(7200);
    EXPECT_TRUE(posts().empty());
    EXPECT_EQ(rows(), (Rows{{1, 0}}));
    EXPECT_EQ(persistedConfig().lastFailedUploadTimestamp(), 0);

    MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
    engine().uploadData();
    runUntilIdle();
    EXPECT_EQ(posts().size(), 1u);
    EXPECT_TRUE(rows().empty());
}

TEST_F(MeasurementUploadTest, BatchesHoldOneAppIDAndOneConsent) {
    const std::string app = options_.appID;
    // (app id, consent signals) of each bundle -> how many go in the first batch
    const std::pair<std::vector<std::pair<std::string, std::string>>, int32_t> cases[] = {
        {{{app, ""}, {app, ""}}, 2},
        {{{app, ""}, {"1:9:ios:ff", ""}, {app, ""}}, 1},      // another app id ends the batch
        {{{app, "G111"}, {app, "G100"}, {app, "G111"}}, 1},  // differing consent waits
    };
    for (const auto& [bundles, firstBatchSize] : cases) {
        network().clearRequests();
        std::vector<int32_t> expected;
        for (const auto& [appID, signals] : bundles) queueBundle(now() - 100, false, appID, signals);
        for (int32_t i = 0; i < firstBatchSize; ++i) expected.push_back(bundleCount - int32_t(bundles.size()) + 1 + i);
        engine().uploadData();
        runUntilIdle();
        ASSERT_FALSE(posts().empty());
        EXPECT_EQ(batchIndexes(posts()[0]), expected) << bundles.size();
        advanceBy(3 * 3600);
        EXPECT_TRUE(rows().empty()) << "what waited was not sent later";
    }
}

TEST_F(MeasurementUploadTest, AFailedDeletionSuspendsUploadsForAnHourOfUptime) {
    queueBundle(now() - 100);
    // The collector takes the batch, but the rows cannot be deleted.
    sql("CREATE TRIGGER keep BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'no'); END");
    engine().uploadData();
    runUntilIdle();
    EXPECT_GT(engine().remainingUploadSuspension(), 3599);

    // A wall clock moved a day on neither ends it nor sends the rows twice.
    executor().clock().setWallTime(now() + 86400);
    engine().uploadData();
    runUntilIdle();
    EXPECT_EQ(posts().size(), 1u);
    // The schedule picks up by itself where the suspension ends.
    ASSERT_TRUE(alarmTime());
    EXPECT_NEAR(*alarmTime() - now(), engine().remainingUploadSuspension(), 1);

    sql("DROP TRIGGER keep");
    advanceBy(3600);
    EXPECT_EQ(posts().size(), 2u);
    EXPECT_TRUE(rows().empty());
}

TEST_F(MeasurementUploadTest, WithoutANetworkComponentNothingIsCalledThroughIt) {
    auto alarm = std::make_shared<MSRAlarm>(engine().scheduler()->workerQueue(), "second", monitor_.monitor);
    auto second = MSRMeasurement::initWithDatabaseName("second.sql", persistedConfig_, nullptr, engine().scheduler(),
                                                       alarm, options_.appID, true, false, std::nullopt,
                                                       MSREManager::sharedInstance());
    runUntilIdle();
    ASSERT_TRUE(second && second->database());
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, Slot::kAppID, options_.appID);
    MSRPBSetInt64(bundle, Slot::kEndTimestamp, std::llround(now() * 1000));
    ASSERT_TRUE(second->database()->insertBundle(bundle, false, nullptr));
    second->uploadData();
    runUntilIdle();
    EXPECT_FALSE(alarm->scheduledTimestamp());
    EXPECT_FALSE(second->database()->isQueuedBundleTableEmpty(nullptr).value_or(true));
}

}  // namespace
