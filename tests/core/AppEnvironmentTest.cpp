#include <gtest/gtest.h>

#include "FacadeHarness.h"
#include "analytics/core/MSRAppDelegateInterceptor.h"
#include "analytics/core/MSRAppEnvironment.h"
#include "analytics/core/MSRBackwardCompatibilityUtil.h"
#include "analytics/support/MSRMemoryPreferenceStore.h"
#include "platform/host/DEDClassRegistry.h"

namespace {

TEST(AppEnvironmentTest, PreviousHourStart) {
    const std::vector<std::pair<int64_t, int64_t>> cases = {
        {7'200'000, 3'600'000}, {7'199'999, 0}, {3'600'000, 0}, {10'800'001, 7'200'000}};
    for (const auto& [millis, expected] : cases) EXPECT_EQ(MSRPreviousHourStartMillis(millis), expected) << millis;
}

TEST_F(FacadeTest, StoredDeepLinkExpiresOnlyAfterItsTimeToLive) {
    MSRUserDefaults store("deep-link-test");
    EXPECT_FALSE(MSRIsStoredDeepLinkExpired(store, 10));
    MSRStoreDeepLink(store, "calvaro://solve");
    executor().clock().advance(10);
    EXPECT_FALSE(MSRIsStoredDeepLinkExpired(store, 10));
    executor().clock().advance(1);
    EXPECT_TRUE(MSRIsStoredDeepLinkExpired(store, 10));
    MSRClearStoredDeepLink(store);
    EXPECT_TRUE(store.objectForKey(kMSRDeepLinkKey).isAbsent());
    EXPECT_FALSE(MSRIsStoredDeepLinkExpired(store, 10));
}

TEST_F(FacadeTest, InterceptorHandsLinksToTheEngineAndNeverClaimsTheCall) {
    start();
    std::vector<std::string> heard;
    MSRAnalytics::setOpenURLListener([&](const std::string& url) { heard.push_back(url); });
    auto& interceptor = MSRAppDelegateInterceptor::sharedInstance();
    EXPECT_FALSE(interceptor.applicationOpenURL("calvaro://a"));
    EXPECT_FALSE(interceptor.applicationContinueUserActivity(std::string()));
    EXPECT_FALSE(interceptor.applicationContinueUserActivity("https://calvaro.example/b"));
    settle();
    EXPECT_EQ(engine_->takeCalls(), (std::vector<std::string>{"url:calvaro://a", "url:https://calvaro.example/b"}));
    EXPECT_EQ(heard, (std::vector<std::string>{"calvaro://a", "https://calvaro.example/b"}));

    EXPECT_FALSE(MSRBackwardCompatibilityUtil::disableZMRMeasurement());
    int switchedOff = 0;
    host::DEDClassRegistry::registerClass("ZMRMeasurement", [&] { ++switchedOff; });
    EXPECT_TRUE(MSRBackwardCompatibilityUtil::disableZMRMeasurement());
    host::DEDClassRegistry::unregisterClass("ZMRMeasurement");
    EXPECT_EQ(switchedOff, 1);
}

// A browsing user activity hands the engine its link; other activities hand
// nothing, and the open-URL listener hears of none.
TEST_F(FacadeTest, UserActivitiesGiveTheEngineOnlyTheirBrowsingLink) {
    start();
    std::vector<std::string> heard;
    MSRAnalytics::setOpenURLListener([&](const std::string& url) { heard.push_back(url); });
    using Activity = foundation::Value::Dictionary;
    DEDIzurarove::handleUserActivity(
        Activity{{"activityType", "NSUserActivityTypeBrowsingWeb"}, {"webpageURL", "https://calvaro.example/c"}});
    DEDIzurarove::handleUserActivity(
        Activity{{"activityType", "app.calvaro.handoff"}, {"webpageURL", "https://calvaro.example/d"}});
    DEDIzurarove::handleUserActivity(Activity{{"activityType", "NSUserActivityTypeBrowsingWeb"}});
    DEDIzurarove::handleUserActivity(std::nullopt);
    settle();
    EXPECT_EQ(engine_->takeCalls(), std::vector<std::string>{"url:https://calvaro.example/c"});
    EXPECT_TRUE(heard.empty());
}

// The application hands its delegate's calls to the interceptor from launch,
// but they reach the engine only once its start made the proxy; a background
// session's handler runs exactly once in every case.
TEST_F(FacadeTest, DelegateCallsReachTheEngineOnceTheProxyExists) {
    auto& interceptor = MSRAppDelegateInterceptor::sharedInstance();
    int finished = 0;
    const auto finish = [&] { ++finished; };
    EXPECT_FALSE(interceptor.applicationOpenURL("calvaro://early"));
    interceptor.applicationHandleEventsForBackgroundURLSession("early", finish);
    settle();
    EXPECT_TRUE(engine_->takeCalls().empty()) << "no engine, no proxy yet";
    EXPECT_EQ(finished, 1);

    start();
    EXPECT_TRUE(MSRAppDelegateInterceptor::isAppDelegateProxyCreated());
    EXPECT_FALSE(interceptor.applicationOpenURL("calvaro://late"));
    interceptor.applicationHandleEventsForBackgroundURLSession("late", finish);
    DEDIzurarove::handleEventsForBackgroundURLSession("public", finish);
    DEDIzurarove::handleEventsForBackgroundURLSession("none", nullptr);
    settle();
    EXPECT_EQ(engine_->takeCalls(), std::vector<std::string>{"url:calvaro://late"});
    EXPECT_EQ(finished, 3);
}

// The application may open a link right after its launch, while the engine's
// start still waits on the facade's queue: the link reaches the engine after
// that start, with the time it was opened, unless the start makes no proxy.
TEST_F(FacadeTest, LinksOpenedWhileTheStartIsQueuedReachTheEngine) {
    struct OpenedDuringStartCase {
        const char* name;
        bool deactivated;
        std::vector<std::string> reached;
    };
    const std::vector<OpenedDuringStartCase> cases = {
        {"collecting", false, {"url:calvaro://during-start", "url:https://calvaro.example/activity"}},
        {"deactivated", true, {}},
    };
    for (const OpenedDuringStartCase& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        MSRAppDelegateInterceptor::removeAppDelegateProxyForTesting();
        host::DEDApp::resetForTesting();
        host::DEDOptions options;
        options.appID = "1:app";
        options.isAnalyticsCollectionDeactivated = c.deactivated;
        DEDIzurarove::registerWithHost();
        host::DEDApp::configure(options);
        ASSERT_FALSE(MSRAppDelegateInterceptor::isAppDelegateProxyCreated()) << "the start has not run yet";

        const double openedAt = dispatch::Clock::now();
        auto& interceptor = MSRAppDelegateInterceptor::sharedInstance();
        EXPECT_FALSE(interceptor.applicationOpenURL("calvaro://during-start"));
        EXPECT_FALSE(interceptor.applicationContinueUserActivity("https://calvaro.example/activity"));
        executor().clock().advance(3);
        settle();
        EXPECT_EQ(MSRAppDelegateInterceptor::isAppDelegateProxyCreated(), !c.deactivated);
        std::vector<std::string> reached;
        for (const std::string& call : engine_->takeCalls())
            if (call.rfind("url:", 0) == 0) reached.push_back(call);
        EXPECT_EQ(reached, c.reached);
        EXPECT_EQ(engine_->urlTimestamps, std::vector<double>(c.reached.size(), openedAt));
        engine_->urlTimestamps.clear();
    }
}

}  // namespace
