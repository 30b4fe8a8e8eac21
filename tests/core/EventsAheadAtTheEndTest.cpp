// The application's end with a configuration's answer queued on the worker
// ahead of events handed over before the end: the answer's turn stores the
// events first, then applies the answer. Before the end the answer is
// applied in its turn, ahead of the events.

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
    };
    const Case cases[] = {
        {"the application goes on", false},
        {"the application ends", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restartEngine();
        runUntilIdle();
        auto baseline = MSRPBMeasurementConfig::initWithBuffer(configurationAnswer(options_.appID, 1));
        ASSERT_TRUE(baseline && remoteConfig().updateMeasurementConfig(*baseline));
        advanceBy(4000);  // the stored configuration has expired

        std::vector<int64_t> heard;  // committed events, as listeners hear of them
        auto token = MSRAnalytics::addLogEventListener([&](const MSREvent& event) {
            if (event.name() == "level_up") heard.push_back(event.parameters().at("n").int64Value());
        });
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

        // Up to the answer's turn (it is applied either way), and no further.
        while (remoteConfig().version() != 2 && executor().runOne()) {
        }
        ASSERT_EQ(remoteConfig().version(), 2);
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), 2);
        EXPECT_EQ(heard, std::vector<int64_t>(c.ends ? std::vector<int64_t>{1, 2, 3} : std::vector<int64_t>{}))
            << "committed by the answer's turn, in their order";
        runUntilIdle();
        EXPECT_EQ(heard, (std::vector<int64_t>{1, 2, 3})) << "each event once";
        MSRAnalytics::removeLogEventListener(token);
    }
}

}  // namespace
