// A campaign link opened while the application runs is stored before the
// engine's worker gets it, whichever road brings it (an opened URL, a
// browsing activity): the hand-over finds it parked and parks it no second
// time, and a kill in between leaves it for a report. The queues are run
// just before each park, so a hand-over queued first would come first on
// every run.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "FacadeHarness.h"
#include "analytics/core/MSRDeepLinks.h"
#include "analytics/storage/MSRUserDefaults.h"

namespace {

constexpr const char* kParkedFirstLink = "https://calvaro.example/p?utm_source=parked&utm_campaign=first";

// An engine that looks, at each hand-over, whether the link already waits
// in the preferences, and how many times.
struct ParkLookingEngine : RecordingEngine {
    std::vector<size_t> parkedAtHandOver;
    void handleNonFirstOpenEventURL(const std::string& url, double timestamp) override {
        size_t parked = 0;
        const foundation::Value waiting =
            MSRUserDefaults::sharedUserDefaults()->objectForKey(MSRDeepLinks::kDeepLinksWaitingKey);
        if (const auto* list = waiting.list())
            for (const auto& entry : *list)
                if (entry["link"].string() && *entry["link"].string() == url) ++parked;
        parkedAtHandOver.push_back(parked);
        RecordingEngine::handleNonFirstOpenEventURL(url, timestamp);
    }
};

class LinkParkedBeforeHandOverTest : public FacadeTest {
  protected:
    void SetUp() override {
        looking_ = std::make_shared<ParkLookingEngine>();
        engine_ = looking_;
        MSRComponentRegistry::registerInstance<MSRMeasurementInterface>(engine_);
        start();
        MSRDeepLinks::setBeforeParkingForTesting([this] { settle(); });
    }
    void TearDown() override { MSRDeepLinks::setBeforeParkingForTesting(nullptr); }

    std::shared_ptr<ParkLookingEngine> looking_;
};

TEST_F(LinkParkedBeforeHandOverTest, TheWorkerGetsALinkOnlyOnceItIsParked) {
    const struct {
        const char* road;
        std::function<void()> open;
    } rows[] = {
        {"an opened URL", [] { MSRAnalytics::handleOpenURL(kParkedFirstLink); }},
        {"a browsing activity",
         [] {
             MSRAnalytics::handleUserActivity(foundation::Value::Dictionary{
                 {"activityType", "NSUserActivityTypeBrowsingWeb"}, {"webpageURL", kParkedFirstLink}});
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.road);
        MSRUserDefaults::sharedUserDefaults()->setObject(foundation::Value(), MSRDeepLinks::kDeepLinksWaitingKey);
        looking_->parkedAtHandOver.clear();
        row.open();
        settle();
        EXPECT_EQ(looking_->parkedAtHandOver, std::vector<size_t>{1}) << "parked that many times when handed over";
    }
}

}  // namespace
