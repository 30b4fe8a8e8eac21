#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "FacadeHarness.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/host/DEDInstallations.h"

namespace {

int64_t integerParameter(const MSRObjectDictionary& parameters, const std::string& key) {
    auto found = parameters.find(key);
    if (found == parameters.end()) return -1;
    if (const auto* typed = std::get_if<MSRValue>(&found->second)) return typed->int64Value();
    return std::get<foundation::Value>(found->second).integerValue().value_or(-1);
}

TEST_F(FacadeTest, CallsBeforeTheHostIsConfiguredAreRefusedWithTheirCodes) {
    struct Case {
        const char* what;
        std::function<void()> call;
        int64_t code;
    };
    const std::vector<Case> cases = {
        {"event", [] { DEDIzurarove::logEventWithName("tapped_menu_button"); }, 25018},
        {"user property", [] { DEDIzurarove::setUserPropertyString("gold", "level"); }, 25019},
        {"email", [] { DEDIzurarove::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c"); }, 25051},
        {"phone", [] { DEDIzurarove::initiateOnDeviceConversionMeasurementWithPhoneNumber("+4912"); }, 25052},
        {"hashed email", [] { DEDIzurarove::initiateOnDeviceConversionMeasurementWithHashedEmailAddress({{1}}); }, 25053},
        {"hashed phone", [] { DEDIzurarove::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber({}); }, 25054},
    };
    std::vector<std::string> seen;
    auto previous = DEDIzurarove::setEventSink([&](const std::string& name, const auto&) { seen.push_back(name); });
    for (const auto& c : cases) {
        c.call();
        EXPECT_EQ(codes(), std::vector<int64_t>{c.code}) << c.what;
    }
    MSRAnalytics::startWithAppID("1:app", "da", {});
    settle();
    EXPECT_TRUE(engine_->events.empty());
    EXPECT_TRUE(engine_->takeCalls().empty());
    EXPECT_EQ(seen, std::vector<std::string>{"tapped_menu_button"});  // the watcher sees even refused calls

    // Once configured the same calls go through (configure also starts the engine).
    DEDIzurarove::registerWithHost();
    host::DEDApp::configure(host::DEDOptions{});
    for (const auto& c : cases) c.call();
    executor().advanceBy(5.0);  // each user-data call holds the operation queue for half a second
    DEDIzurarove::setEventSink(previous);
    EXPECT_EQ(eventNames(), std::vector<std::string>{"tapped_menu_button"});
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(engine_->takeCalls(), (std::vector<std::string>{"set:app:level", "userData:email_address",
                                                              "userData:phone_number", "userData:hashed_email_address",
                                                              "userData:hashed_phone_number"}));
}

TEST_F(FacadeTest, EventsBeforeTheStartAreHeldThenArriveInCallOrderWithCallTimes) {
    const double t0 = dispatch::Clock::now();
    for (const char* name : {"first", "second", "third"}) {
        MSRAnalytics::logEventWithName(name, {});
        executor().clock().advance(1.0);
    }
    settle();
    EXPECT_TRUE(engine_->events.empty());
    EXPECT_TRUE(MSRAnalytics::isOperationQueueSuspended());

    start();
    ASSERT_EQ(eventNames(), (std::vector<std::string>{"first", "second", "third"}));
    for (size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(engine_->events[i].timestamp, t0 + static_cast<double>(i));
    // A second start only repeats the checks.
    MSRAnalytics::startWithAppID("1:app", "da", {});
    MSRAnalytics::logEventWithName("fourth", {});
    settle();
    EXPECT_EQ(eventNames().size(), 4u);
}

TEST_F(FacadeTest, RefusedNamesBecomeErrorEventsAndScreenViewsAreNotQueued) {
    start();
    MSRAnalytics::logEventWithName("zevure_thing", {});  // reserved prefix
    MSRAnalytics::logEventWithName("Tapped Rating", {});  // not a name
    MSRAnalytics::logEventWithName("screen_view", {});    // goes to the screen reporter, none installed here
    settle();
    ASSERT_EQ(eventNames(), (std::vector<std::string>{"_err", "_err"}));
    EXPECT_EQ(integerParameter(engine_->events[0].parameters, "_err"), 13);
    EXPECT_EQ(integerParameter(engine_->events[1].parameters, "_err"), 2);
}

// Real threads: eight callers log while the operation queue is still held;
// the start releases the backlog once, in the order of the timestamps.
class RealThreadFacadeTest : public FacadeTest {
protected:
    RealThreadFacadeTest() : FacadeTest(false) {}
};

TEST_F(RealThreadFacadeTest, EightThreadsKeepCallOrderEqualToTimeOrderAndEverythingArrivesOnce) {
    constexpr int kThreads = 8, kPerThread = 400;
    std::atomic<int> logged{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &logged] {
            for (int i = 0; i < kPerThread; ++i) {
                MSRAnalytics::logEventWithName("t" + std::to_string(t),
                                               {{"seq", foundation::Value(i)}});
                ++logged;
            }
        });
    }
    while (logged < kThreads * kPerThread / 4) std::this_thread::yield();
    MSRAnalytics::startWithAppID("1:app", "da", {});
    for (auto& thread : threads) thread.join();
    engine_->waitForEvents(kThreads * kPerThread);
    // A marker behind everything: nothing is delivered twice after the backlog.
    MSRAnalytics::queueOperationWithBlock([&] {
        MSRAnalytics::logEventOnSerialQueue("app", true, "marker", {}, dispatch::Clock::now(), false, false, {});
    });
    engine_->waitForEvents(kThreads * kPerThread + 1);

    std::lock_guard lock(engine_->mutex);
    const auto& events = engine_->events;
    ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kPerThread + 1));
    EXPECT_EQ(events.back().name, "marker");
    std::vector<int64_t> next(kThreads, 0);
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        if (i > 0) {
            ASSERT_LE(events[i - 1].timestamp, events[i].timestamp) << "at " << i;
        }
        const int thread = std::stoi(events[i].name.substr(1));
        ASSERT_EQ(integerParameter(events[i].parameters, "seq"), next[thread]++) << "thread " << thread;
    }
    EXPECT_EQ(next, std::vector<int64_t>(kThreads, kPerThread));
}

TEST_F(FacadeTest, UserPropertiesPassTheirChecks) {
    start();
    struct Case {
        std::optional<std::string> value;
        std::string name;
        std::vector<std::string> calls;  // what reaches the engine
        int64_t errorCode;               // "_err" event, 0 for none
    };
    const std::vector<Case> cases = {
        {"gold", "level", {"set:app:level"}, 0},
        {std::nullopt, "level", {"remove:level"}, 0},
        {"gold", "zevure_level", {}, 15},
        {"gold", "1level", {}, 6},
        {std::string(37, 'x'), "level", {}, 7},
    };
    for (const auto& c : cases) {
        engine_->events.clear();
        DEDIzurarove::setUserPropertyString(c.value, c.name);
        settle();
        EXPECT_EQ(engine_->takeCalls(), c.calls) << c.name;
        if (c.errorCode == 0) {
            EXPECT_TRUE(engine_->events.empty()) << c.name;
        } else {
            ASSERT_EQ(eventNames(), std::vector<std::string>{"_err"}) << c.name;
            EXPECT_EQ(integerParameter(engine_->events[0].parameters, "_err"), c.errorCode) << c.name;
        }
    }
    DEDIzurarove::setUserID(std::nullopt);
    MSRAnalytics::setUserID(foundation::Value(12));
    DEDIzurarove::setUserID("u-1");
    MSRAnalytics::setInternalUserProperty(MSRObject(foundation::Value("x")), "_ln", std::string(32, 'o'));
    MSRAnalytics::setInternalUserProperty(MSRObject(foundation::Value("x")), "_ln", std::string(33, 'o'));
    settle();
    EXPECT_EQ(engine_->takeCalls(), (std::vector<std::string>{"remove:_id", "remove:_lair", "set:app:_id",
                                                              "set:" + std::string(32, 'o') + ":_ln"}));
    EXPECT_EQ(codes(), std::vector<int64_t>{25004});  // the refused origin logs at a level kept off the console
}

TEST_F(FacadeTest, ConsentIsCheckedPersistedAndRestoredAfterARestart) {
    MSRAnalytics::setConsent({{"analytics_storage", "GRANTED"}, {"ad_storage", 1}, {"other", "granted"}});
    EXPECT_EQ(codes(), (std::vector<int64_t>{25042, 25042, 25041}));
    EXPECT_EQ(MSRAnalytics::persistedConsentSource(), MSRConsentSettingsUtil::kSourceNone);

    DEDIzurarove::setConsent({{"analytics_storage", "denied"}, {"ad_storage", "granted"}});
    EXPECT_EQ(codes(), std::vector<int64_t>{25055});
    MSRAnalytics::setConsent({{"analytics_storage", "granted"}});  // source 30 ranks below 10
    EXPECT_EQ(codes(), std::vector<int64_t>{25043});
    EXPECT_TRUE(MSRConsentSettingsUtil::isAnalyticsStorageDenied());
    EXPECT_EQ(DEDIzurarove::appInstanceID(), std::nullopt);

    restart();
    EXPECT_FALSE(MSRConsentSettingsUtil::consentSettings());
    start();
    EXPECT_EQ(MSRConsentSettingsUtil::consentSource(), 10);
    EXPECT_EQ(MSRConsentSettingsUtil::consentSettings(),
              (MSRConsentSettingsUtil::Settings{{"analytics_storage", "denied"}, {"ad_storage", "granted"}}));
}

TEST_F(FacadeTest, AdPersonalizationConsentDrivesThePersistedFlag) {
    start();
    auto config = MSRPersistedConfig::sharedInstance();
    DEDIzurarove::setConsent({{"ad_personalization", "denied"}});
    settle();
    EXPECT_EQ(config->allowPersonalizedAds(), foundation::Value(false));
    DEDIzurarove::setConsent({{"ad_personalization", "granted"}});
    settle();
    EXPECT_EQ(config->allowPersonalizedAds(), foundation::Value(true));
    // Removing the property clears the flag and, with DMA handling on, the consent.
    DEDIzurarove::setUserPropertyString(std::nullopt, "allow_personalized_ads");
    settle();
    EXPECT_TRUE(config->allowPersonalizedAds().isAbsent());
    EXPECT_EQ(MSRConsentSettingsUtil::adPersonalization(), std::nullopt);
    EXPECT_EQ(engine_->takeCalls(), (std::vector<std::string>{"remove:_npa", "remove:_npa", "remove:_npa"}));
}

TEST_F(FacadeTest, SessionIDAndDefaultParametersNeedAStartedEnabledEngine) {
    std::vector<std::pair<int64_t, int64_t>> answers;  // id, error code
    auto ask = [&] {
        MSRAnalytics::sessionIDWithCompletion([&](int64_t id, std::optional<MSRError> error) {
            answers.emplace_back(id, error ? error->code() : 0);
        });
    };
    MSRAnalytics::sessionIDWithCompletion(nullptr);
    ask();
    MSRAnalytics::setDefaultEventParameters({});
    settle();
    EXPECT_EQ(codes(), std::vector<int64_t>{25050});
    start();
    ask();
    MSRAnalytics::setAnalyticsEnabled(false);
    MSRAnalytics::setDefaultEventParameters({});  // lost without a log line
    settle();
    EXPECT_EQ(answers, (std::vector<std::pair<int64_t, int64_t>>{{0, 13}, {7, 0}}));
    // The first call was held until the start, when collection was still on.
    EXPECT_EQ(engine_->takeCalls(), (std::vector<std::string>{"defaults", "disable"}));
    EXPECT_TRUE(codes().empty());
}

TEST_F(FacadeTest, RestoringTakesTheLatestStoredDictionaryUnderItsCap) {
    struct Case {
        int64_t persistedSource;
        std::vector<const char*> stored;
        const char* restored;  // nullptr: only the source
        int64_t source;
    };
    const std::vector<Case> cases = {
        // The public set came last: its dictionary holds the user's choice.
        {10, {"consent_settings_tcf", "consent_settings_3p"}, "consent_settings_3p", 10},
        {5, {"consent_settings_tcf", "consent_settings_3p"}, "consent_settings_tcf", 5},
        // The latest one missing: the first stored one under its cap.
        {10, {"consent_settings_tcf"}, "consent_settings_tcf", 5},
        {40, {"consent_settings_3p"}, "consent_settings_3p", 20},
        {10, {"consent_settings_3p"}, "consent_settings_3p", 10},
        {30, {"consent_settings"}, "consent_settings", 30},
        {30, {}, nullptr, 30},
    };
    for (const auto& c : cases) {
        MSRAnalytics::clearConsent();
        for (const char* key : c.stored) MSRAnalytics::suite()->setObject(foundation::Value::Dictionary{{"ad_storage", key}}, key);
        MSRAnalytics::suite()->setObject(foundation::Value(c.persistedSource), "consent_source");
        MSRAnalytics::loadPersistedConsentSettings();
        EXPECT_EQ(MSRConsentSettingsUtil::consentSource(), c.source) << c.persistedSource;
        auto settings = MSRConsentSettingsUtil::consentSettings();
        if (c.restored) {
            ASSERT_TRUE(settings);
            EXPECT_EQ((*settings)["ad_storage"], foundation::Value(c.restored));
        } else {
            EXPECT_FALSE(settings);
        }
    }
}

TEST_F(FacadeTest, ADenialAfterTCFConsentHoldsAcrossARestart) {
    MSRAnalytics::clearConsent();
    MSRAnalytics::setConsent({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}, "consent_settings_tcf");
    DEDIzurarove::setConsent({{"analytics_storage", "denied"}});
    ASSERT_TRUE(MSRConsentSettingsUtil::isAnalyticsStorageDenied());
    const std::string signals = MSRConsentSettingsUtil::consentSignals();
    EXPECT_EQ(signals, "G110");
    // The next process knows only what was persisted.
    MSRConsentSettingsUtil::clearAllSettings();
    MSRAnalytics::loadPersistedConsentSettings();
    EXPECT_TRUE(MSRConsentSettingsUtil::isAnalyticsStorageDenied());
    EXPECT_EQ(MSRConsentSettingsUtil::consentSignals(), signals);
    EXPECT_EQ(MSRConsentSettingsUtil::consentSource(), 10);
}

TEST_F(FacadeTest, ResetStoresTheNewIdentifierUnlessStorageIsDenied) {
    start();
    DEDIzurarove::resetAnalyticsData();
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 1);
    EXPECT_EQ(DEDIzurarove::appInstanceID(), "fresh-id");
    settle();
    EXPECT_EQ(engine_->resetID, std::optional<std::string>("fresh-id"));
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 0);
    EXPECT_EQ(DEDIzurarove::appInstanceID(), "stored-id");

    DEDIzurarove::setConsent({{"analytics_storage", "denied"}});
    engine_->resetSucceeds = false;
    DEDIzurarove::resetAnalyticsData();
    settle();
    ASSERT_TRUE(engine_->resetID);
    EXPECT_EQ(*engine_->resetID, std::nullopt);
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 1);  // kept for the next start
    EXPECT_TRUE(MSRAnalytics::needFirstOpenAfterReset());
    EXPECT_EQ(codes(), (std::vector<int64_t>{25055, 25037}));
}

TEST_F(FacadeTest, EnablementAndTheHeldOperationQueueInVirtualTime) {
    MSRAnalytics::startWithAppID("1:app", "da", {{MSRAnalytics::kCollectionDeactivatedKey, true}});
    settle();
    DEDIzurarove::setAnalyticsCollectionEnabled(true);  // ignored while deactivated, but stored
    MSRAnalytics::setAnalyticsEnabled(false);
    settle();
    EXPECT_EQ(engine_->takeCalls(), std::vector<std::string>{"disable"});
    EXPECT_EQ(MSRPersistedConfig::sharedInstance()->measurementEnabledState(), 1);

    MSRAnalytics::setAnalyticsEnabled(true);  // still deactivated
    DEDIzurarove::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);  // not configured
    DEDIzurarove::registerWithHost();
    host::DEDApp::configure(host::DEDOptions{});
    codes();
    MSRAnalytics::setUserData({{"email_address", ""}});  // waits, then holds the queue for 0.5 s
    EXPECT_TRUE(MSRAnalytics::isOperationQueueSuspended());
    MSRAnalytics::setDefaultEventParameters({});
    executor().advanceBy(0.4);
    EXPECT_TRUE(MSRAnalytics::isOperationQueueSuspended());
    executor().advanceBy(0.2);
    EXPECT_FALSE(MSRAnalytics::isOperationQueueSuspended());
    EXPECT_EQ(codes(), std::vector<int64_t>{25044});  // collection is disabled
}

TEST_F(FacadeTest, ListenersAndTheInstallationIdentifier) {
    start();
    EXPECT_FALSE(MSRAnalytics::addLogEventListener(nullptr));
    MSRAnalytics::removeLogEventListener(std::nullopt);
    MSRAnalytics::removeLogEventListener(99);
    settle();

    int heard = 0;
    auto token = MSRAnalytics::addLogEventListener([&](const MSREvent&) { ++heard; });
    auto event = MSREvent::initWithOrigin("app", true, "level_up", 1.0, 0.0, {});
    ASSERT_TRUE(event);
    MSRAnalytics::notifyEventListeners(*event);
    MSRAnalytics::removeLogEventListener(token);
    MSRAnalytics::removeLogEventListener(token);
    MSRAnalytics::notifyEventListeners(*event);
    settle();
    EXPECT_EQ(heard, 1);

    auto& installations = host::DEDInstallations::installations();
    installations.setInstallationIDForTesting("fid-1");
    DEDIzurarove::observeVuzedezoInstallationIDChanges();
    DEDIzurarove::observeVuzedezoInstallationIDChanges();
    installations.setInstallationIDForTesting("fid-2");
    settle();
    EXPECT_EQ(identity_->installationID, "fid-2");
    installations.setFailureForTesting("offline");
    DEDIzurarove::updateVuzedezoInstallationID();
    settle();
    installations.setFailureForTesting(std::nullopt);
    EXPECT_EQ(identity_->installationID, std::nullopt);
    EXPECT_EQ(codes(), std::vector<int64_t>{25038});
}

}  // namespace
