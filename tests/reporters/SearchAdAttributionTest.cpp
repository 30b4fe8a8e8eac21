// Search-ads attribution in virtual time: the daily attempts, the answers
// and what is kept of them across launches.

#include "ReportersHarness.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/reporters/MSRSearchAdAttributionReporter.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRScheduler.h"
#include "platform/net/FakeNetwork.h"
#include "platform/store/AdAttribution.h"

namespace {

constexpr const char* kEndpoint = "http://127.0.0.1:9";

class SearchAdAttributionTest : public ReportersTest {
  protected:
    void SetUp() override {
        MSRRemoteConfig::setMeasurementURL(std::string(kEndpoint));
        store::AdAttribution::shared().setTokenForTesting("attribution-token");
        startReporters();
        persisted_ = MSRPersistedConfig::initWithSuiteName("app.calvaro.tests.searchads");
    }
    void TearDown() override {
        reporter_.reset();
        settle();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }
    // A new launch's reporter, started; null when none is made.
    MSRSearchAdAttributionReporter* launch() {
        reporter_ = MSRSearchAdAttributionReporter::initWithWorkerQueue(
            scheduler_->workerQueue(), persisted_, std::make_shared<MSRNetworkComponent>(network_, monitor_.monitor));
        if (!reporter_) return nullptr;
        reporter_->setSimulatorCheckForTesting([] { return false; });
        reporter_->setSearchAdReporterEnabled(true);
        scheduler_->scheduleOnWorkerQueueBlockID("test", [this] { reporter_->start(); });
        settle();
        return reporter_.get();
    }
    void answer(int status, const std::string& body) {
        network_->enqueueReply({status, {}, std::vector<uint8_t>(body.begin(), body.end()), std::nullopt});
    }
    size_t attempts() const { return network_->requests().size(); }
    double now() { return clock().wallTime(); }

    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
    std::shared_ptr<MSRScheduler> scheduler_ = std::make_shared<MSRScheduler>("app.calvaro.tests.worker");
    std::shared_ptr<MSRPersistedConfig> persisted_;
    std::shared_ptr<MSRSearchAdAttributionReporter> reporter_;
};

TEST_F(SearchAdAttributionTest, TheNextAttemptComesADayAfterTheLastOne) {
    persisted_->setLastSearchAdLookUpTimestamp(now() - 3 * 3600);
    answer(200, R"({"attribution":false})");
    ASSERT_TRUE(launch());
    ASSERT_TRUE(reporter_->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(*reporter_->scheduledTimestamp() - now(), 75600);
    executor().advanceBy(75599);
    EXPECT_EQ(attempts(), 0u);
    executor().advanceBy(1);
    ASSERT_EQ(attempts(), 1u);
    const auto request = network_->requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, std::string(kEndpoint) + "/api/v1/");
    EXPECT_EQ(request.headers.at("Content-Type"), "text/plain");
    EXPECT_EQ(request.headers.at("cache-control"), "no-cache");
    EXPECT_EQ(std::string(request.payload.begin(), request.payload.end()), "attribution-token");
    EXPECT_EQ(persisted_->searchAdRetryCount(), 1);
}

// What each answer leaves: an answer is kept for good and ends the attempts;
// test data, a body that is not JSON and an error status try again a day later.
TEST_F(SearchAdAttributionTest, OnlyARealAnswerIsKept) {
    struct Case {
        const char* name;
        int status;
        const char* body;
        std::optional<int64_t> kept;
        bool event;
        int64_t code;
    };
    const Case cases[] = {
        {"not attributed", 200, R"({"attribution":false})", 0, false, 0},
        {"attributed", 200, R"({"attribution":true,"campaignId":542370539,"adId":1,"keywordId":87675432})", 1, true, 0},
        {"test data", 200, R"({"attribution":true,"campaignId":1234567890,"adId":1234567890})", std::nullopt, false, 32016},
        {"not JSON", 200, "attribution: yes", std::nullopt, false, 32017},
        {"error page", 500, R"({"attribution":false})", std::nullopt, false, 32015},
    };
    int installation = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        persisted_ = MSRPersistedConfig::initWithSuiteName("app.calvaro.tests.install" + std::to_string(++installation));
        persisted_->setFirstOpenTimestampMilliseconds(1700000000000);
        forgetEvents();
        takeCodes();
        answer(c.status, c.body);
        ASSERT_TRUE(launch());
        EXPECT_EQ(attempts() > 0, true);
        network_->clearRequests();
        const foundation::Value kept = persisted_->searchAdCampaignValue();
        EXPECT_EQ(kept.integerValue(), c.kept);
        if (c.code != 0) {
            EXPECT_EQ(count(takeCodes(), c.code), 1u);
        }
        auto campaigns = events({"_cmp"});
        ASSERT_EQ(campaigns.size(), c.event ? 1u : 0u);
        if (c.event) {
            EXPECT_EQ(text(campaigns[0], "source"), "Apple");
            EXPECT_EQ(text(campaigns[0], "medium"), "search");
            EXPECT_EQ(text(campaigns[0], "campaign"), "542370539");
            EXPECT_EQ(text(campaigns[0], "term"), "87675432");
            EXPECT_EQ(integer(campaigns[0], "click_timestamp"), 1699999999999);
        }
        // Kept: no further attempt, and the next launch makes no reporter.
        // Not kept: the next attempt a day later.
        EXPECT_EQ(reporter_->scheduledTimestamp().has_value(), !c.kept.has_value());
        reporter_.reset();
        EXPECT_EQ(launch() == nullptr, c.kept.has_value());
        reporter_.reset();
    }
}

TEST_F(SearchAdAttributionTest, TheTenthFiringStillAsksThenSchedulingGivesUp) {
    persisted_->setSearchAdRetryCount(9);
    network_->setHoldReplies(true);
    ASSERT_TRUE(launch());
    EXPECT_EQ(attempts(), 1u);
    EXPECT_EQ(persisted_->searchAdRetryCount(), 10);
    EXPECT_FALSE(reporter_->scheduledTimestamp());
    // That request's answer (an empty body, not JSON) finds no alarm to arm.
    network_->releaseHeldReplies();
    settle();
    EXPECT_FALSE(reporter_->scheduledTimestamp());
    executor().advanceBy(3 * 86400);
    EXPECT_EQ(attempts(), 1u);
    reporter_.reset();
    EXPECT_FALSE(launch());
}

TEST_F(SearchAdAttributionTest, NothingIsAskedInASimulatorOrWithoutTheService) {
    reporter_ = MSRSearchAdAttributionReporter::initWithWorkerQueue(
        scheduler_->workerQueue(), persisted_, std::make_shared<MSRNetworkComponent>(network_, monitor_.monitor));
    ASSERT_TRUE(reporter_);
    reporter_->setSearchAdReporterEnabled(true);
    reporter_->setSimulatorCheckForTesting([] { return true; });
    scheduler_->scheduleOnWorkerQueueBlockID("test", [this] { reporter_->start(); });
    settle();
    EXPECT_EQ(takeCodes(), std::vector<int64_t>{32019});
    store::AdAttribution::shared().resetForTesting();
    reporter_->setSimulatorCheckForTesting([] { return false; });
    scheduler_->scheduleOnWorkerQueueBlockID("test", [this] { reporter_->start(); });
    settle();
    EXPECT_EQ(takeCodes(), std::vector<int64_t>{32014});
    executor().advanceBy(2 * 86400);
    EXPECT_EQ(attempts(), 0u);
}

}  // namespace
