// The application's end with a configuration's answer queued on the worker
// ahead of events handed over before the end: the answer's turn stores the
// events first, and the answer is left for the next start to fetch again.
// Before the end the answer is applied in its turn, ahead of the events.

#include "MeasurementEventsHarness.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

namespace {

const char* kEndsBase = "http://127.0.0.1:9";

std::vector<uint8_t> configurationAnswer(const std::string& appID, int64_t version) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, version);
    MSRPBSetString(config, 1, appID);
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

class EventsAheadAtTheEndTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        runUntilIdle();
        MSRRemoteConfig::setMeasurementURL(std::string(kEndsBase));
    }
    void TearDown() override {
        network().setHoldReplies(false);
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        MeasurementEventsHarness::TearDown();
    }
};

TEST_F(EventsAheadAtTheEndTest, AConfigurationsAnswerAheadOfTheEventsWaitsForThemOnceTheApplicationEnds) {
    struct Case {
        const char* name;
        bool ends;
        size_t storedAtTheAnswer;  // events stored once the answer's turn has run
        int64_t version;           // the configuration in force afterwards
        bool fetchedAgain;         // the fetch time left as it was: the next start asks again
    };
    const Case cases[] = {
        {"the application goes on", false, 0, 2, false},
        {"the application ends", true, 3, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restartEngine();
        runUntilIdle();
        execute("DELETE FROM raw_events");
        auto baseline = MSRPBMeasurementConfig::initWithBuffer(configurationAnswer(options_.appID, 1));
        ASSERT_TRUE(baseline && remoteConfig().updateMeasurementConfig(*baseline));
        advanceBy(4000);  // the stored configuration has expired
        const std::optional<double> fetchedBefore = database().lastRemoteConfigUpdateTimestamp(nullptr);

        // The answer reaches the worker first, the events behind it.
        network().setHoldReplies(true);
        net::FakeNetwork::Reply reply;
        reply.body = configurationAnswer(options_.appID, 2);
        network().enqueueReply(reply);
        engine().fetchRemoteConfig();
        ASSERT_TRUE(engine().isNetworkRequestPending());
        ASSERT_EQ(network().releaseHeldReplies(), 1u);
        for (int64_t n = 1; n <= 3; ++n)
            engine().logEvent("app", true, "level_up", {{"n", MSRValue(n)}}, now(), true, false, false, {},
                              std::nullopt);
        if (c.ends) foundation::NotificationCenter::defaultCenter().post(ui::Application::willTerminateNotification);

        // Up to the answer's turn, and no further.
        while (engine().isNetworkRequestPending() && executor().runOne()) {
        }
        ASSERT_FALSE(engine().isNetworkRequestPending());
        std::vector<StoredEvent> atTheAnswer = stored("level_up");
        EXPECT_EQ(atTheAnswer.size(), c.storedAtTheAnswer);
        for (size_t i = 0; i < atTheAnswer.size(); ++i)
            EXPECT_TRUE(atTheAnswer[i].has("n", MSRValue(static_cast<int64_t>(i + 1)))) << "in their order";

        runUntilIdle();
        EXPECT_EQ(stored("level_up").size(), 3u) << "each event once";
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), c.version);
        EXPECT_EQ(remoteConfig().version(), c.version);
        const std::optional<double> fetchedAfter = database().lastRemoteConfigUpdateTimestamp(nullptr);
        EXPECT_EQ(fetchedAfter == fetchedBefore, c.fetchedAgain);
    }
}

}  // namespace
