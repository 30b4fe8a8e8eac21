// The engine's own lifecycle events (first open, updates), its wipe and
// reset, and the consent it derives from every source, in virtual time.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRStartUpAndWipe.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/reporters/MSRReceiptReading.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/storage/MSRKeychainWrapper.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/store/AdNetwork.h"
#include "platform/ui/Application.h"

namespace {

using Util = MSRConsentSettingsUtil;
using foundation::Value;

class LifecycleTest : public MeasurementEventsHarness {
  protected:
    // As the application starts: the first open asks the receipt.
    LifecycleTest() { MSRRegisterReceiptReading(); }
    MeasurementOptions options() const override {
        MeasurementOptions options;
        options.firstOpenDone = false;
        return options;
    }
    std::optional<MSRValue> property(const std::string& name) {
        auto attribute = database().userAttributeWithName(name, nullptr);
        return attribute ? std::optional(attribute->value()) : std::nullopt;
    }
    std::optional<std::string> firstOpenCount() {
        return MSRKeychainWrapper::keychainValue("_pfo",
                                                 foundation::Bundle::main().bundleIdentifier().value_or(""));
    }
};

TEST_F(LifecycleTest, FirstOpenIsReportedOnceAndAgainAfterAReinstall) {
    ASSERT_EQ(stored("_f").size(), 1u);
    // On a development machine the receipt counts as the original version;
    // elsewhere there is no receipt, and that counts as an update.
    const int64_t original = MSRAEU::isNOD() ? 1 : 0;
    EXPECT_TRUE(stored("_f")[0].has("_pfo", MSRValue(int64_t{0})) &&
                stored("_f")[0].has("_uwa", MSRValue(1 - original)));
    EXPECT_EQ(stored("_e").size(), 1u);
    const auto loadMillis = static_cast<int64_t>(engine().initTimestamp() * 1000);
    EXPECT_EQ(property("_fot"), MSRValue(MSRMeasurement::timestampMillisRoundedUpToNextHour(loadMillis)));
    EXPECT_EQ(property("_fi"), MSRValue(original));
    EXPECT_EQ(store::AdNetwork::shared().registrations(), 1);
    EXPECT_EQ(firstOpenCount(), "1");
    double firstOpen = 0;
    onWorker([&] { firstOpen = engine().startUp().firstOpenTimestamp(); });
    EXPECT_EQ(firstOpen, engine().initTimestamp());
    // The first run only stores the versions.
    EXPECT_TRUE(stored("_au").empty() && stored("_ou").empty());
    EXPECT_EQ(persistedConfig().appVersion(), "2.1");

    restartEngine();
    EXPECT_EQ(stored("_f").size(), 1u);
    EXPECT_EQ(store::AdNetwork::shared().registrations(), 0);  // registered at the first open only

    // The whole data root gone, the keychain beside it kept: a reinstall.
    stopEngine();
    std::filesystem::remove_all(home());
    std::filesystem::create_directories(home());
    startEngine(options_);
    ASSERT_EQ(stored("_f").size(), 1u);
    EXPECT_TRUE(stored("_f")[0].has("_pfo", MSRValue(int64_t{1})) &&
                stored("_f")[0].has("_uwa", MSRValue(int64_t{0})));
    EXPECT_EQ(property("_fi"), MSRValue(int64_t{1}));
    EXPECT_EQ(firstOpenCount(), "2");
}

// What the receipt reading answers the first-open report.
class AnsweringReceipt : public MSRReceiptFacts {
  public:
    explicit AnsweringReceipt(bool same) : same_(same) {}
    bool isVersionSameAsOriginalVersion() override { return same_; }

  private:
    bool same_;
};

TEST_F(LifecycleTest, TheFirstOpenTellsFromTheReceiptWhetherTheAppWasUpdatedBeforeIt) {
    struct Case {
        const char* what;
        bool receiptSaysOriginal;
        std::optional<std::string> earlierFirstOpens;  // the keychain's count
        int64_t fi, uwa;
    };
    const Case cases[] = {
        {"the original version", true, std::nullopt, 1, 0},
        {"updated before the first open", false, std::nullopt, 0, 1},
        {"a reinstall does not ask the receipt", false, "2", 1, 0},
    };
    const std::string appID = foundation::Bundle::main().bundleIdentifier().value_or("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stopEngine();
        std::filesystem::remove_all(home());
        std::filesystem::create_directories(home());
        if (c.earlierFirstOpens) {
            MSRKeychainWrapper::upsertKeychainValue(*c.earlierFirstOpens, "_pfo", appID);
        } else {
            MSRKeychainWrapper::deleteKeychainValue("_pfo", appID);
        }
        MSRComponentRegistry::registerInstance<MSRReceiptFacts>(
            std::make_shared<AnsweringReceipt>(c.receiptSaysOriginal));
        startEngine(options_);
        ASSERT_EQ(stored("_f").size(), 1u);
        EXPECT_TRUE(stored("_f")[0].has("_uwa", MSRValue(c.uwa)));
        EXPECT_EQ(property("_fi"), MSRValue(c.fi));
    }
}

TEST_F(LifecycleTest, FileAttributesOfAPath) {
    const std::filesystem::path file = home() / "facts.txt";
    std::ofstream(file) << "12345";
    auto attributes = MSRStartUpAndWipe::fileAttributesForPath(file.string());
    ASSERT_TRUE(attributes);
    EXPECT_EQ((*attributes)["NSFileSize"], Value(int64_t{5}));
    EXPECT_EQ((*attributes)["NSFileType"], Value("NSFileTypeRegular"));
    EXPECT_TRUE((*attributes)["NSFileModificationDate"].date());
    EXPECT_EQ((*MSRStartUpAndWipe::fileAttributesForPath(home().string()))["NSFileType"], Value("NSFileTypeDirectory"));

    EXPECT_FALSE(MSRStartUpAndWipe::fileAttributesForPath(""));
    EXPECT_FALSE(MSRStartUpAndWipe::fileAttributesForPath((home() / "missing").string()));
}

// A first open whose event is not stored (a refused write, or a process that
// ends before the commit) leaves no "_fot", so the next start reports it.
TEST_F(LifecycleTest, AFirstOpenWhoseEventIsLostIsReportedAtTheNextStart) {
    execute(
        "DELETE FROM raw_events; DELETE FROM user_attributes;"
        "CREATE TRIGGER refuse BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    onWorker([&] { engine().startUp().reportFirstOpenOnWorkerQueue(); });
    EXPECT_FALSE(property("_fot"));
    execute("DROP TRIGGER refuse;");

    restartEngine();
    EXPECT_EQ(stored("_f").size(), 1u);
    EXPECT_TRUE(property("_fot"));
    restartEngine();
    EXPECT_EQ(stored("_f").size(), 1u);
}

TEST_F(LifecycleTest, AnAppUpdateIsReportedOnceWithThePreviousVersion) {
    MeasurementOptions updated = options_;
    updated.infoPlist["CFBundleShortVersionString"] = Value("2.2");
    restartEngine(updated);
    restartEngine(updated);
    auto updates = stored("_au");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_TRUE(updates[0].origin == "auto" && updates[0].has("_pv", MSRValue(std::string("2.1"))));
    EXPECT_EQ(persistedConfig().appVersion(), "2.2");
    // The configuration request names the running version.
    EXPECT_EQ(std::dynamic_pointer_cast<MSRDatabaseRemoteConfig>(engine().remoteConfigInstance())
                  ->appMetadata()["app_version"],
              Value("2.2"));
}

// What reaches the deep-link handler.
class RecordingDeepLinkHandler : public MSRDeepLinkHandler {
  public:
    struct Call {
        std::optional<std::string> url;
        MSRObjectDictionary parameters;
    };
    std::vector<Call> calls;
    void handleOpenURL(const std::optional<std::string>& url, std::optional<int64_t>, double,
                       const MSRObjectDictionary& parameters) override {
        calls.push_back({url, parameters});
    }
};

// A stored deep link is handed on once: a fresh one with its URL, an expired
// one without it (a text "(not set)" is no URL), its campaign unknown.
TEST_F(LifecycleTest, AStoredDeepLinkIsHandedOnOnceAndWithoutItsURLWhenExpired) {
    auto handler = std::make_shared<RecordingDeepLinkHandler>();
    stopEngine();  // which puts the registry back
    MSRComponentRegistry::registerInstance<MSRDeepLinkHandler>(handler);
    startEngine(options_);
    auto defaults = MSRUserDefaults::sharedUserDefaults();
    for (double age : {60.0, 8 * 86400.0}) {
        defaults->setObject(Value("https://calvaro.example/open?utm_source=news"),
                            "/zevure/measurement/deep_link");
        defaults->setObject(Value(dispatch::Clock::now() - age),
                            "/zevure/measurement/deep_link_timestamp_seconds");
        for (int twice = 0; twice < 2; ++twice)
            onWorker([&] { engine().startUp().reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
    }
    ASSERT_EQ(handler->calls.size(), 2u);
    EXPECT_EQ(handler->calls[0].url, "https://calvaro.example/open?utm_source=news");
    EXPECT_FALSE(handler->calls[1].url);
    const auto notSet = MSRObject(MSRValue(std::string("(not set)")));
    EXPECT_TRUE(handler->calls[1].parameters.at("utm_source") == notSet &&
                handler->calls[1].parameters.at("utm_medium") == notSet);
}

// The session starts the engine asks of its reporter.
class CountingSessionStarts : public MSRSessionReporterInterface {
  public:
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) override {
        starts.emplace_back(timestamp, appInBackground);
    }
    std::vector<std::pair<double, bool>> starts;
};

class SceneWaitTest : public MeasurementEventsHarness {
  protected:
    SceneWaitTest() { startInSetUp = false; }
    ~SceneWaitTest() override { unsetenv("ActivePrewarm"); }
    void connectScene() {
        foundation::NotificationCenter::defaultCenter().post(ui::Scene::willConnectNotification);
        runUntilIdle();
    }
};

// A prewarmed process of an application with scenes runs before the person
// opens it: its session starts when the scene connects, once.
TEST_F(SceneWaitTest, APrewarmedLaunchWithScenesStartsItsSessionWhenTheSceneConnects) {
    struct Case {
        const char* what;
        bool manifest;
        const char* prewarm;  // the environment's "ActivePrewarm"
        bool firstOpenDone;
        size_t atStart;
    };
    const Case cases[] = {
        {"prewarmed, with a scene manifest: waits", true, "YES", true, 0},
        {"prewarmed, without a manifest: at once", false, "1", true, 1},
        {"not prewarmed: at once", true, "0", true, 1},
        {"a first open starts its session at once", true, "1", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stopEngine();
        std::filesystem::remove_all(home());
        std::filesystem::create_directories(home());
        setenv("ActivePrewarm", c.prewarm, 1);
        auto sessions = std::make_shared<CountingSessionStarts>();
        MSRComponentRegistry::registerInstance<MSRSessionReporterInterface>(sessions);
        MeasurementOptions options;
        options.firstOpenDone = c.firstOpenDone;
        if (c.manifest)
            options.infoPlist["UIApplicationSceneManifest"] =
                Value(Value::Dictionary{{"UIApplicationSupportsMultipleScenes", Value(false)}});
        startEngine(options);
        EXPECT_EQ(sessions->starts.size(), c.atStart);
        connectScene();
        ASSERT_EQ(sessions->starts.size(), 1u);
        EXPECT_EQ(sessions->starts[0], std::make_pair(engine().initTimestamp(), false));
        // A second scene, after the session would have ended, starts none.
        advanceBy(2 * 3600);
        connectScene();
        EXPECT_EQ(sessions->starts.size(), 1u);
    }
}

class WipeTest : public MeasurementEventsHarness {};

// The database goes first: when it cannot be reset, the preferences still
// describe the data it holds.
TEST_F(WipeTest, AFailedDatabaseResetKeepsThePreferences) {
    persistedConfig().setSessionNumber(7);
    const std::filesystem::path file = database().databasePath();
    std::filesystem::remove(file);
    std::filesystem::create_directories(file / "blocker");
    bool wiped = true;
    onWorker([&] { wiped = engine().wipeoutAnalyticsDataAndResetComponents(); });
    EXPECT_FALSE(wiped);
    EXPECT_TRUE(logged(23209));
    EXPECT_EQ(persistedConfig().sessionNumber(), 7);
    std::filesystem::remove_all(file);
}

TEST_F(WipeTest, AFailedRestoreOfTheCountsIsTriedAgain) {
    log("level_up");
    execute(
        "CREATE TABLE events_snapshot AS SELECT * FROM events;"
        "INSERT INTO events_snapshot (name, lifetime_count, current_bundle_count, last_fire_timestamp)"
        " VALUES ('kept', 5, 0, 1);"
        "CREATE TRIGGER refuse BEFORE INSERT ON events BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    persistedConfig().setPreviousBundledConsentSignals(std::string("G100"));
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, MSRBundleSlot::kConsentSignals, "G111");
    onWorker([&] { engine().handleAnalyticsStorageConsentTransitions(bundle); });
    EXPECT_EQ(persistedConfig().previousBundledConsentSignals(), "G100");
    execute("DROP TRIGGER refuse;");
    onWorker([&] { engine().handleAnalyticsStorageConsentTransitions(bundle); });
    EXPECT_EQ(persistedConfig().previousBundledConsentSignals(), "G111");
    EXPECT_EQ(sql("SELECT lifetime_count FROM events WHERE name = 'kept'"), std::vector<std::string>{"5"});
}

// --- consent -----------------------------------------------------------------

class ConsentTest : public MeasurementEventsHarness {
  public:
    // The TCF strings a consent platform leaves in the standard preferences.
    void setTCF(const Value::Dictionary& values) {
        auto defaults = MSRUserDefaults::sharedUserDefaults();
        for (const auto& [key, value] : values) defaults->setObject(value, key);
    }
    static std::string vendorConsents(bool zevure) {
        std::string bits(800, '0');
        bits[754] = zevure ? '1' : '0';
        return bits;
    }
    void applyTCF() {
        onWorker([&] { engine().tcfClient()->setConsentFromTCFData(); });
    }
    std::optional<int64_t> npa() {
        onWorker([&] { engine().setPersonalizedAdsUserPropertyOnWorkerQueue(); });
        auto attribute = database().userAttributeWithName("_npa", nullptr);
        return attribute ? std::optional(attribute->value().int64Value()) : std::nullopt;
    }
};

TEST_F(ConsentTest, EverySourceGivesItsSignalsAndNonPersonalizedAds) {
    const Value::Dictionary granted = {{"IABTCF_EnableAdvertiserConsentMode", Value(1)},
                                       {"IABTCF_gdprApplies", Value(1)},
                                       {"IABTCF_VendorConsents", Value(vendorConsents(true))},
                                       {"IABTCF_PolicyVersion", Value(4)},
                                       {"IABTCF_CmpSdkID", Value(300)},
                                       {"IABTCF_PurposeConsents", Value("1111111")}};
    struct Case {
        const char* name;
        std::function<void(ConsentTest&)> set;
        const char* signals;
        bool adUserDataDenied;
        std::optional<int64_t> npa;
    };
    const Case cases[] = {
        {"nothing set", [](ConsentTest&) {}, "G1--", false, std::nullopt},
        {"server defaults",
         [](ConsentTest&) {
             Util::setDefaultSettings(
                 Util::Settings{{"ad_personalization", Value("DENIED")}, {"ad_user_data", Value("denied")}});
         },
         "G1--", true, 1},
        {"delegated to a denied type",
         [](ConsentTest&) {
             Util::setDelegatedSettings(Util::Settings{{"ad_user_data", Value("ad_storage")}});
             Util::updateSettings({{"ad_storage", Value("denied")}}, 30);
         },
         "G10-", true, std::nullopt},
        {"delegated to an unresolved regional policy",
         [](ConsentTest&) {
             Util::setDelegatedSettings(Util::Settings{{"ad_user_data", Value("ad_personalization")}});
             Util::updateSettings({{"ad_personalization", Value("eu_consent_policy")}}, 30);
         },
         "G1--", true, 1},
        {"facade's settings",
         [](ConsentTest&) {
             MSRAnalytics::setConsent(
                 {{"analytics_storage", Value("denied")}, {"ad_storage", Value("granted")}});
         },
         "G110", false, std::nullopt},
        {"TCF granted",
         [&](ConsentTest& t) {
             t.setTCF(granted);
             t.applyTCF();
         },
         "G11-", false, 0},
        {"TCF without purpose 1",
         [&](ConsentTest& t) {
             t.setTCF(granted);
             t.setTCF({{"IABTCF_PurposeConsents", Value("0111111")}});
             t.applyTCF();
         },
         "G10-", true, 0},
        {"TCF malformed",
         [&](ConsentTest& t) {
             t.setTCF({{"IABTCF_EnableAdvertiserConsentMode", Value("yes")},
                       {"IABTCF_gdprApplies", Value(1)},
                       {"IABTCF_VendorConsents", Value("1x")},
                       {"IABTCF_PurposeConsents", Value(1111111)}});
             t.applyTCF();
         },
         "G1--", false, std::nullopt},
        {"TCF withdrawn after a grant",
         [&](ConsentTest& t) {
             t.setTCF(granted);
             t.applyTCF();
             t.setTCF({{"IABTCF_VendorConsents", Value(vendorConsents(false))}});
             t.applyTCF();
         },
         "G10-", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.set(*this);
        EXPECT_EQ(Util::consentSignals(), c.signals);
        EXPECT_EQ(Util::isAdUserDataDenied(), c.adUserDataDenied);
        EXPECT_EQ(npa(), c.npa);
        // The next case starts from nothing.
        MSRAnalytics::clearConsent();
        persistedConfig().setAllowPersonalizedAds(Value());
        MSRTCFClient().clearPersistedValues();
        MSRUserDefaults::sharedUserDefaults()->clearAllData();
    }
}

TEST_F(ConsentTest, TCFConsentIsPersistedAndAppliedOnce) {
    setTCF({{"IABTCF_EnableAdvertiserConsentMode", Value(1)},
            {"IABTCF_gdprApplies", Value(1)},
            {"IABTCF_VendorConsents", Value(vendorConsents(true))},
            {"IABTCF_PolicyVersion", Value(4)},
            {"IABTCF_CmpSdkID", Value(300)},
            {"IABTCF_PurposeConsents", Value("1111111")}});
    applyTCF();
    EXPECT_EQ(engine().tcfClient()->tcfBundleParameterValue(), "14I4f");
    restartEngine();
    EXPECT_EQ(Util::consentSource(), 5);
    EXPECT_EQ(Util::consentSettings(), (Util::Settings{{"ad_storage", Value("granted")},
                                                       {"ad_personalization", Value("granted")},
                                                       {"ad_user_data", Value("granted")}}));
    EXPECT_EQ(npa(), 0);
    // Unchanged data is not applied again: a later public denial stands.
    MSRAnalytics::setConsent({{"ad_storage", Value("denied")}}, "consent_settings_3p");
    applyTCF();
    EXPECT_TRUE(Util::isAdStorageDenied());
}

}  // namespace
