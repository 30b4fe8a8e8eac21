#include "MeasurementFixture.h"

#include <dlfcn.h>

#include <cerrno>
#include <fstream>
#include <string_view>

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSREventAggregates.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/support/MSRNotificationNames.h"
#include "analytics/storage/MSRFilePaths.h"
#include "platform/foundation/FileSystem.h"
#include "platform/ui/Application.h"

namespace {

MSRUserAttribute property(const std::string& name, const std::string& value, const std::string& origin = "app") {
    return MSRUserAttribute::initWithOrigin(origin, name, MSRValue(value), 1'700'000'000.0).value();
}

MeasurementOptions withAppID(const std::string& appID) {
    MeasurementOptions options;
    options.appID = appID;
    options.zevureAppID = appID;
    return options;
}

}  // namespace

class MeasurementStartTest : public MeasurementFixture {
protected:
    std::optional<MSRUserAttribute> stored(const std::string& name) {
        return database().userAttributeWithName(name, nullptr);
    }
    void setLevel(const std::string& value) {
        engine().setUserAttribute(property("level", value));
        runUntilIdle();
    }
};

TEST_F(MeasurementStartTest, LaterStartsReuseStorageAndAChangedApplicationIDWipesIt) {
    ASSERT_TRUE(engine().didInitializeComponents());
    EXPECT_TRUE(std::filesystem::exists(MSRSDKFilePath(MSRMeasurement::kDatabaseName)));
    EXPECT_TRUE(MSRIsPathExcludedFromBackup(MSRSDKDirectoryPath()));
    const auto appInstanceID = persistedConfig().appInstanceID();
    ASSERT_TRUE(appInstanceID);
    EXPECT_EQ(persistedConfig().appIDFromZMP(), options().appID);
    setLevel("gold");
    const double loadTime = engine().initTimestamp();
    restartEngine();

    ASSERT_TRUE(engine().didInitializeComponents());
    EXPECT_EQ(persistedConfig().appInstanceID(), appInstanceID);
    ASSERT_TRUE(stored("level"));
    EXPECT_EQ(stored("level")->value(), MSRValue("gold"));
    // The load time is kept across starts until the first open clears it.
    EXPECT_EQ(engine().initTimestamp(), loadTime);

    const std::string appID = "1:1234567890:ios:ffffffffffff";
    restartEngine(withAppID(appID));
    ASSERT_TRUE(engine().didInitializeComponents());
    EXPECT_FALSE(stored("level"));
    EXPECT_EQ(persistedConfig().appIDFromZMP(), appID);
    // The wipe cleared the persisted identity; a new one was made.
    ASSERT_TRUE(persistedConfig().appInstanceID());
    EXPECT_NE(persistedConfig().appInstanceID(), appInstanceID);

    // The next start with the same IDs keeps what was written since.
    setLevel("silver");
    restartEngine(withAppID(appID));
    ASSERT_TRUE(stored("level"));

    // A reset being retried wipes even when every ID matches.
    MSRAnalytics::setResetRetryCount(3);
    restartEngine(withAppID(appID));
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 0);
    EXPECT_FALSE(stored("level"));
}

TEST_F(MeasurementStartTest, WipeDecision) {
    // App ID, Zevure ID, Adzev ID, persisted Zevure ID, persisted Adzev ID.
    struct Case { const char* label; int64_t resetRetryCount; std::string a, g, m, pg, pm; bool wipe; };
    const std::vector<Case> cases = {
        {"all equal", 0, "A", "G", "", "G", "", false},
        {"a reset being retried", 3, "A", "G", "", "G", "", true},
        {"retry count past its limit", 10, "A", "G", "", "G", "", false},
        {"persisted Zevure ID differs", 0, "A", "Y", "", "X", "", true},
        {"nothing persisted yet", 0, "A", "G", "", "", "", false},
        {"Adzev persisted, Zevure now present", 0, "A", "G", "", "", "M", true},
        {"Adzev persisted and equal", 0, "A", "G", "M", "", "M", false},
        {"Adzev persisted and changed", 0, "A", "G", "N", "", "M", true},
        {"Zevure ID dropped for Adzev", 0, "A", "", "M", "G", "", true},
        {"Zevure ID dropped, no app ID", 0, "", "", "M", "G", "", false},
        {"only Adzev, app ID differs", 0, "A", "", "", "", "M", true},
        {"only Adzev, app ID equal", 0, "M", "", "", "", "M", false},
        {"both empty", 0, "A", "", "", "", "", false},
    };
    auto opt = [](const std::string& text) { return text.empty() ? std::nullopt : std::optional<std::string>(text); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        MSRAnalytics::setResetRetryCount(c.resetRetryCount);
        EXPECT_EQ(engine().shouldWipeDataWithAppID(c.a, opt(c.g), opt(c.m), opt(c.pg), opt(c.pm)), c.wipe);
    }
    MSRAnalytics::setResetRetryCount(0);
}

TEST_F(MeasurementStartTest, StoredEnabledStateAndDeactivation) {
    struct Case { int64_t storedState; bool enabledByDefault, deactivated, expected; };
    const std::vector<Case> cases = {
        {0, true, false, true},  {0, false, false, false}, {1, false, false, true},
        {2, true, false, false}, {7, false, false, false}, {1, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.storedState << c.enabledByDefault << c.deactivated);
        persistedConfig().setMeasurementEnabledState(c.storedState);
        MeasurementOptions options;
        options.isAnalyticsCollectionEnabled = c.enabledByDefault;
        options.isAnalyticsCollectionDeactivated = c.deactivated;
        restartEngine(options);
        EXPECT_EQ(engine().isEnabled(), c.expected);
        // Starting disabled makes no components; they come with the first enabling.
        EXPECT_EQ(engine().didInitializeComponents(), c.expected);
    }
    // Enabling while deactivated (the last case) changes nothing.
    engine().setEnabled(true);
    runUntilIdle();
    EXPECT_FALSE(engine().isEnabled());
}

TEST_F(MeasurementStartTest, DisablingKeepsComponentsAndReEnablingDoesNotRestartThem) {
    engine().setEnabled(false);
    setLevel("gold");
    EXPECT_FALSE(stored("level"));
    codes();
    engine().setEnabled(true);
    runUntilIdle();
    EXPECT_TRUE(logged(23012));
    EXPECT_FALSE(logged(23016));  // the component start ran once only
}

// Storage that cannot be made: the data root's Application Support is a file,
// which no permission (root's included) turns into a folder.
class MeasurementUnusableStorageTest : public MeasurementFixture {
protected:
    MeasurementUnusableStorageTest() { startInSetUp = false; }
    void blockStorage() {
        const auto support = foundation::FileSystem::applicationSupportDirectory();
        std::filesystem::remove_all(support);
        std::filesystem::create_directories(support.parent_path());
        std::ofstream(support) << "not a folder";
    }
    void unblockStorage() { std::filesystem::remove(foundation::FileSystem::applicationSupportDirectory()); }
};

TEST_F(MeasurementUnusableStorageTest, StartFailsCleanlyAndWorkIsRefused) {
    blockStorage();
    MeasurementOptions options;
    options.runStart = false;
    startEngine(options);

    // Calls from the facade queued behind the start, before it fails, are
    // refused without touching what is missing.
    engine().setUserAttribute(property("level", "gold"));
    engine().removeUserAttribute(property("level", "gold"));
    engine().logEvent("app", true, "level_up", {}, now(), true, false, false, nullptr, std::nullopt);
    engine().logEvent("auto", false, "_e", {}, now(), true, true, true, nullptr, std::nullopt);
    engine().setSessionTimeoutInterval(60);
    engine().setUserData({{"email_address", foundation::Value("a@b.c")}});
    engine().setDefaultEventParameters({});
    std::optional<MSRError> sessionError;
    engine().sessionIDWithCompletion([&](int64_t, std::optional<MSRError> error) { sessionError = error; });
    bool propertiesAnswered = false;
    engine().userPropertiesIncludingInternal(true, [&](foundation::Value::Dictionary p) { propertiesAnswered = p.empty(); });
    engine().reachabilityDidChange();
    runUntilIdle();
    EXPECT_FALSE(engine().didInitializeComponents());
    EXPECT_FALSE(engine().isEnabled());
    EXPECT_FALSE(engine().hasComponentsOnWorkerQueue());
    EXPECT_FALSE(engine().database());
    EXPECT_FALSE(engine().resetAnalyticsDataWithAppInstanceID("0123456789ABCDEF0123456789ABCDEF"));
    ASSERT_TRUE(sessionError);
    EXPECT_EQ(sessionError->localizedDescription(), "Analytics disabled");
    EXPECT_TRUE(propertiesAnswered);
    EXPECT_FALSE(engine().hasDataToUpload());

    // The next enabling tries the start again and, with storage back, succeeds.
    unblockStorage();
    engine().setEnabled(true);
    runUntilIdle();
    EXPECT_TRUE(engine().didInitializeComponents());
    engine().setUserAttribute(property("level", "gold"));
    runUntilIdle();
    EXPECT_TRUE(database().containsUserAttributeWithName("level", nullptr).value_or(false));
}

TEST_F(MeasurementUnusableStorageTest, EngineWithoutNetworkStartsAndNeverUploads) {
    auto config = MSRPersistedConfig::initWithSuiteName(MSRPersistedConfig::kSuiteName);
    MSRPersistedConfig::setSharedInstance(config);
    auto scheduler = std::make_shared<MSRScheduler>("app.calvaro.tests.nonetwork", monitor_.monitor);
    auto engine = MSRMeasurement::initWithDatabaseName(
        MSRMeasurement::kDatabaseName, config, nullptr, scheduler,
        std::make_shared<MSRAlarm>(scheduler->workerQueue(), MSRMeasurement::kAlarmName, monitor_.monitor),
        "1:1:ios:1", true, false, std::nullopt, MSREManager::sharedInstance());
    runUntilIdle();
    ASSERT_TRUE(engine->didInitializeComponents());
    engine->reachabilityDidChange();
    scheduler->scheduleOnWorkerQueueBlockID("test", [engine] { engine->uploadData(); });
    runUntilIdle();
    engine.reset();
    MSRPersistedConfig::setSharedInstance(nullptr);
}

TEST_F(MeasurementUnusableStorageTest, SharedInstanceIsMadeOnce) {
    MSRMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
    EXPECT_FALSE(MSRMeasurement::hasSharedInstance());
    // The empty app ID used the one creation up.
    MSRMeasurement::initializeSharedInstanceWithAppID("1:1:ios:1", true, false, std::nullopt);
    EXPECT_FALSE(MSRMeasurement::sharedInstance());
    EXPECT_FALSE(MSRMeasurement::initWithAppID("", true, false, std::nullopt, nullptr));
}

// A kept session number whose "_s" the database never recorded (the last
// one only) is given back, its session ended, so that the start begins it
// again under that number.
TEST_F(MeasurementStartTest, SessionNumberBackfill) {
    struct Case { int64_t storedNumber; std::optional<int32_t> sessionStarts; int64_t expected; bool ended; };
    const std::vector<Case> cases = {{0, 4, 4, false}, {0, std::nullopt, 0, false}, {5, 9, 5, false},
                                     {5, 5, 5, false}, {5, 4, 4, true},             {1, std::nullopt, 0, true},
                                     {5, 3, 5, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.storedNumber << " kept, " << c.sessionStarts.value_or(-1) << " counted");
        persistedConfig().setSessionNumber(c.storedNumber);
        persistedConfig().setLastSessionActivityClockTime(now());
        if (c.sessionStarts) {
            ASSERT_TRUE(database().updateEventAggregates(
                MSREventAggregates::initWithName("_s", *c.sessionStarts, 0, 0, now()).value(), nullptr));
        }
        runOnWorkerQueue([&] { engine().backfillSessionNumber(); });
        EXPECT_EQ(persistedConfig().sessionNumber(), c.expected);
        EXPECT_EQ(persistedConfig().lastSessionActivityClockTime(), c.ended ? 0 : now());
        database().updateEventAggregates(MSREventAggregates::initWithName("_s", 0, 0, 0, now()).value(), nullptr);
    }
}

TEST(MeasurementNextHourTest, RoundsUpToTheNextWholeHour) {
    const std::vector<std::pair<int64_t, int64_t>> cases = {
        {0, 3600000}, {1, 3600000}, {3599999, 3600000}, {3600000, 7200000}, {1700000000123, 1700002800000}};
    for (const auto& [millis, expected] : cases) {
        EXPECT_EQ(MSRMeasurement::timestampMillisRoundedUpToNextHour(millis), expected) << millis;
    }
}

TEST_F(MeasurementStartTest, PublicReset) {
    struct Case { const char* label; std::optional<std::string> newID; bool storageDenied, succeeds; };
    const std::vector<Case> cases = {
        {"new ID", "0123456789ABCDEF0123456789ABCDEF", false, true},
        {"empty ID", std::string(), false, false},
        {"no ID", std::nullopt, false, false},
        {"empty ID while analytics storage is denied", std::string(), true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        setLevel("gold");
        MSRConsentSettingsUtil::setConsentSettings(
            c.storageDenied ? std::optional<MSRConsentSettingsUtil::Settings>(
                                  {{MSRConsentSettingsUtil::kAnalyticsStorage, foundation::Value("denied")}})
                            : std::nullopt);
        const auto before = persistedConfig().appInstanceID();
        EXPECT_EQ(engine().resetAnalyticsDataWithAppInstanceID(c.newID), c.succeeds);
        runUntilIdle();
        EXPECT_EQ(stored("level").has_value(), !c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(persistedConfig().appInstanceID(), before);
        } else {
            EXPECT_EQ(persistedConfig().appInstanceID(), c.newID && !c.newID->empty() ? c.newID : std::nullopt);
            // The engine keeps running on an emptied database.
            EXPECT_TRUE(engine().hasComponentsOnWorkerQueue());
            EXPECT_EQ(engine().initTimestamp(), MSRAnalytics::loadTimestamp());
            EXPECT_EQ(persistedConfig().appIDFromZMP(), options().appID);
            // Only the new first open of this run is left.
            EXPECT_EQ(sql("SELECT name FROM user_attributes ORDER BY name"), (std::vector<std::string>{"_fi", "_fot"}));
            EXPECT_EQ(sql("SELECT name FROM raw_events ORDER BY rowid"), (std::vector<std::string>{"_f", "_e"}));
        }
        MSRConsentSettingsUtil::clearAllSettings();
    }
}

TEST_F(MeasurementStartTest, ResignActiveHoldsOneBackgroundTaskAtATime) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    // Without an endpoint the upload queued on resigning has nothing to do and its task ends at once.
    center.post(MSRAppWillResignActiveNotificationName());
    runUntilIdle();
    EXPECT_EQ(engine().backgroundUpdateTask(), 0u);
    EXPECT_EQ(ui::Application::shared().runningBackgroundTaskCount(), 0u);

    // With one, the configuration request stays unanswered and the task is held.
    MSRRemoteConfig::setMeasurementURL(std::string("https://measurement.test"));
    network().setHoldReplies(true);
    codes();
    center.post(MSRAppWillResignActiveNotificationName());
    const uint64_t first = engine().backgroundUpdateTask();
    EXPECT_NE(first, 0u);
    EXPECT_FALSE(logged(23142));
    center.post(MSRAppWillResignActiveNotificationName());
    // The second ends the first before holding its own.
    EXPECT_TRUE(logged(23142));
    EXPECT_NE(engine().backgroundUpdateTask(), first);
    center.post(MSRAppWillEnterForegroundNotificationName());
    EXPECT_EQ(engine().backgroundUpdateTask(), 0u);
    runUntilIdle();
    EXPECT_EQ(ui::Application::shared().runningBackgroundTaskCount(), 0u);
    network().setHoldReplies(false);
    MSRRemoteConfig::setMeasurementURL(std::nullopt);
}

namespace {

// While set, removing a file whose path ends with it fails as a file held
// by another program would.
std::string& unremovable() {
    static std::string suffix;
    return suffix;
}

bool heldFile(const char* path) {
    return path && !unremovable().empty() && std::string_view(path).ends_with(unremovable());
}

}  // namespace

extern "C" int unlink(const char* path) {
    static const auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "unlink"));
    if (heldFile(path)) return errno = EBUSY, -1;
    return real(path);
}

extern "C" int remove(const char* path) {
    static const auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "remove"));
    if (heldFile(path)) return errno = EBUSY, -1;
    return real(path);
}

// A wipe at the start that cannot remove the database opens nothing of what
// it was to take, so nothing of it is sent; the retry count stays raised and
// the next start wipes first.
TEST_F(MeasurementStartTest, AStartWhoseWipeCannotFinishOpensNothingOfWhatItWasToTake) {
    const std::string appID = "1:1234567890:ios:eeeeeeeeeeee";
    restartEngine(withAppID(appID));
    setLevel("bronze");
    ASSERT_TRUE(stored("level"));

    MSRAnalytics::setResetRetryCount(3);
    unremovable() = "/" + std::string(MSRMeasurement::kDatabaseName);
    restartEngine(withAppID(appID));
    unremovable().clear();
    EXPECT_FALSE(engine().didInitializeComponents());
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 4);
    EXPECT_TRUE(std::filesystem::exists(MSRSDKFilePath(MSRMeasurement::kDatabaseName)));

    restartEngine(withAppID(appID));
    ASSERT_TRUE(engine().didInitializeComponents());
    EXPECT_EQ(MSRAnalytics::resetRetryCount(), 0);
    EXPECT_FALSE(stored("level"));
}
