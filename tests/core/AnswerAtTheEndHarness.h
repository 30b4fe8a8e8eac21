#pragma once

// Events and the application's end with a configuration's answer held by the
// fake network: tests release it so that its completion is queued on the
// worker ahead of what they hand over next.

#include "MeasurementEventsHarness.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

inline std::vector<uint8_t> configurationAnswerAtTheEnd(const std::string& appID, int64_t version) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, version);
    MSRPBSetString(config, 1, appID);
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

class AnswerAtTheEndHarness : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        runUntilIdle();
        MSRRemoteConfig::setMeasurementURL(std::string("http://127.0.0.1:9"));
    }
    void TearDown() override {
        network().setHoldReplies(false);
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        MeasurementEventsHarness::TearDown();
    }
    // A fresh engine whose stored configuration (version 1) has expired.
    void restartWithAnExpiredConfiguration() {
        restartEngine();
        runUntilIdle();
        auto baseline = MSRPBMeasurementConfig::initWithBuffer(configurationAnswerAtTheEnd(options_.appID, 1));
        ASSERT_TRUE(baseline && remoteConfig().updateMeasurementConfig(*baseline));
        advanceBy(4000);
    }
    // Fetches the configuration and queues its answer (version 2) on the
    // worker, ahead of whatever is handed over after this.
    void queueTheAnswer() {
        network().setHoldReplies(true);
        net::FakeNetwork::Reply reply;
        reply.body = configurationAnswerAtTheEnd(options_.appID, 2);
        network().enqueueReply(reply);
        engine().fetchRemoteConfig();
        ASSERT_TRUE(engine().isNetworkRequestPending());
        ASSERT_EQ(network().releaseHeldReplies(), 1u);
    }
    // Runs the queues up to the answer's turn, and no further.
    void runToTheAnswersTurn() {
        while (remoteConfig().version() != 2 && executor().runOne()) {
        }
        ASSERT_EQ(remoteConfig().version(), 2);
    }
    static void endTheApplication() {
        foundation::NotificationCenter::defaultCenter().post(ui::Application::willTerminateNotification);
    }
};
