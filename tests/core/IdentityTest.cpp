#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSREnvironmentInfo.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRIdentitySupport.h"
#include "analytics/core/MSRInfoPlistFileUtil.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/host/AdvertisingIdentity.h"
#include "tests/core/MonitorHarness.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

using foundation::Value;
namespace fs = std::filesystem;

constexpr const char* kIDFA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kOtherIDFA = "1E2D3C4B-5A69-4788-9A0B-C1D2E3F40516";
constexpr const char* kZero = "00000000-0000-0000-0000-000000000000";

// The advertising services as the test scripts them.
struct ScriptedIdentitySupport : MSRIdentitySupport {
    bool hasStatus = true, hasAdSupport = true, limited = false;
    uint64_t status = 3;
    std::optional<std::string> identifier;
    int reads = 0;

    bool hasAppDataConsentStatus() override { return hasStatus; }
    uint64_t appDataConsentStatus() override { return status; }
    bool hasLimitedAdTracking() override { return hasAdSupport; }
    bool limitedAdTracking() override { return limited; }
    std::optional<std::string> resettableDeviceID() override { ++reads; return identifier; }
};

bool isAppInstanceID(const std::optional<std::string>& id) {
    return id && id->size() == 32 && id->find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class IdentityTest : public ::testing::Test {
protected:
    IdentityTest() {
        resetSharedState();
        root_.useAsHome();
        monitor_.monitor->setLogLevel(8);
        monitor_.monitor->setVerboseLoggingEnabled(true);
        writeBundle({{"CFBundleIdentifier", Value("org.calvaro.Test")},
                     {"CFBundleShortVersionString", Value("2.4")},
                     {"CFBundleVersion", Value("2.10.3")}},
                    Value::Dictionary{{"ZEVURE_APP_ID", Value("1:zmp")}, {"ADZEV_APP_ID", Value("ca-app-1")}});
        config_ = MSRPersistedConfig::initWithSuiteName("test.identity");
        remote_ = std::make_shared<MSRRemoteConfig>(monitor_.monitor);
        support_ = std::make_shared<ScriptedIdentitySupport>();
    }
    ~IdentityTest() override {
        settle();
        resetSharedState();
    }

    void writeBundle(const Value::Dictionary& info, std::optional<Value::Dictionary> service) {
        const fs::path resources = root_.home() / "bundle";
        fs::remove_all(resources);
        ASSERT_TRUE(foundation::FileSystem::writeAtomically(resources / "Info.plist",
                                                            *foundation::propertyListXml(Value(info))));
        if (service) {
            ASSERT_TRUE(foundation::FileSystem::writeAtomically(resources / "ZevureService-Info.plist",
                                                                *foundation::propertyListXml(Value(*service))));
        }
        bundle_ = std::make_shared<foundation::Bundle>(resources, "en");
    }
    std::shared_ptr<MSRIdentity> make() {
        return MSRIdentity::initWithPersistedConfig(config_, {bundle_, support_, remote_});
    }
    // A new process over the same data root.
    void restart() {
        monitor_.executor->advanceBy(MSRPersistedConfig::kSynchronizeDelay);
        config_ = MSRPersistedConfig::initWithSuiteName("test.identity");
    }
    static void consent(const char* type, const char* state) {
        MSRConsentSettingsUtil::updateSettings({{type, Value(state)}}, 1);
    }
    void settle() { monitor_.settle(); }

    MonitorHarness monitor_;
    TemporaryDataRoot root_{"identity"};
    std::shared_ptr<const foundation::Bundle> bundle_;
    std::shared_ptr<MSRPersistedConfig> config_;
    std::shared_ptr<MSRRemoteConfig> remote_;
    std::shared_ptr<ScriptedIdentitySupport> support_;
};

TEST_F(IdentityTest, AFirstStartCreatesTheAppInstanceIDAndTheNextStartKeepsIt) {
    const auto id = make()->appInstanceID();
    EXPECT_TRUE(isAppInstanceID(id)) << id.value_or("(none)");
    settle();
    restart();
    EXPECT_EQ(make()->appInstanceID(), id);
    EXPECT_EQ(config_->appInstanceID(), id);
}

TEST_F(IdentityTest, AnalyticsStorageDeniedKeepsTheAppInstanceIDAwayUntilGranted) {
    consent(MSRConsentSettingsUtil::kAnalyticsStorage, "denied");
    auto identity = make();
    EXPECT_FALSE(identity->appInstanceID());
    EXPECT_FALSE(identity->sessionStitchingTokenWithSessionNumber(1, false, false));
    settle();
    EXPECT_FALSE(config_->appInstanceID());
    consent(MSRConsentSettingsUtil::kAnalyticsStorage, "granted");
    EXPECT_TRUE(isAppInstanceID(identity->appInstanceID()));
}

TEST_F(IdentityTest, AdStorageDeniedNeitherReadsNorStoresTheAdvertisingIdentifier) {
    support_->identifier = kIDFA;
    consent(MSRConsentSettingsUtil::kAdStorage, "denied");
    auto identity = make();
    EXPECT_FALSE(identity->resettableDeviceID());
    EXPECT_FALSE(identity->hashedResettableDeviceID());
    EXPECT_EQ(support_->reads, 0);
    settle();
    EXPECT_FALSE(config_->hashedResettableDeviceID());
}

TEST_F(IdentityTest, AdvertisingIdentifierChangesBetweenRuns) {
    struct Row { const char* name; std::optional<std::string> first, second; bool newAppInstanceID, resetFlag;
                 std::optional<std::string> storedHash, deviceID; };
    const Row rows[] = {
        {"first appearance stores its hash", std::nullopt, kIDFA, false, false, msr_MD5String(kIDFA), kIDFA},
        {"same identifier", kIDFA, kIDFA, false, false, msr_MD5String(kIDFA), kIDFA},
        {"changed identifier", kIDFA, kOtherIDFA, true, true, msr_MD5String(kOtherIDFA), kOtherIDFA},
        {"all zeros after a real one", kIDFA, kZero, false, false, msr_MD5String(kIDFA), std::nullopt},
        {"all zeros count as none", kZero, kZero, false, false, std::nullopt, std::nullopt},
        {"empty counts as none", std::string(), kIDFA, false, false, msr_MD5String(kIDFA), kIDFA},
        {"identifier gone", kIDFA, std::nullopt, false, false, msr_MD5String(kIDFA), std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        config_->clearValues();
        support_->identifier = row.first;
        auto before = make()->appInstanceID();
        settle();
        ASSERT_TRUE(isAppInstanceID(before));
        support_->identifier = row.second;
        auto identity = make();
        EXPECT_EQ(identity->appInstanceID() != before, row.newAppInstanceID);
        EXPECT_EQ(identity->shouldSetLastAdvertisingIDResetUserProperty(), row.resetFlag);
        EXPECT_EQ(identity->hashedResettableDeviceID(), row.storedHash);
        EXPECT_EQ(identity->resettableDeviceID(), row.deviceID);
        identity.reset();
        settle();
    }
}

TEST_F(IdentityTest, TrackingAuthorizationStatusAndTheIdentifierGate) {
    struct Row { const char* name; int systemVersion; bool hasAdSupport, hasStatus; uint64_t platformStatus;
                 bool gate; uint32_t status; bool identifierRead; };
    const Row rows[] = {
        {"no advertising support", 15, false, true, 3, false, 6, true},
        {"no tracking support", 15, true, false, 0, false, 5, true},
        {"status out of range", 15, true, true, 7, false, 5, true},
        {"unavailable status", 15, true, true, MSRIdentitySupport::kUnavailableStatus, false, 5, true},
        {"not determined", 15, true, true, 0, false, 4, true},
        {"denied", 15, true, true, 2, false, 2, true},
        {"gated and denied", 15, true, true, 2, true, 2, false},
        {"gated and authorized", 15, true, true, 3, true, 3, true},
        {"older system ignores the gate", 13, true, true, 2, true, 6, true},
    };
    support_->identifier = kIDFA;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        config_->clearValues();
        host::AdvertisingIdentity::shared().setSystemMajorVersionForTesting(row.systemVersion);
        support_->hasAdSupport = row.hasAdSupport;
        support_->hasStatus = row.hasStatus;
        support_->status = row.platformStatus;
        remote_->setServerSettings({{"measurement.attmas_gate", row.gate ? "1" : "0"}});
        auto identity = make();
        EXPECT_EQ(identity->appleConsentStatus(), row.status);
        EXPECT_EQ(identity->resettableDeviceID().has_value(), row.identifierRead);
        identity.reset();
        settle();
    }
}

TEST_F(IdentityTest, RefreshesAreThrottledByTheCacheTime) {
    support_->identifier = kIDFA;
    remote_->setServerSettings({{"measurement.ad_id_cache_time", "60000"}});  // one minute
    auto identity = make();
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
    support_->identifier = kOtherIDFA;
    monitor_.executor->advanceBy(30);
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
    monitor_.executor->advanceBy(31);
    EXPECT_EQ(identity->resettableDeviceID(), kOtherIDFA);
}

TEST_F(IdentityTest, ApplicationIDsAreTakenOnceAndNeverEmpty) {
    auto identity = make();
    identity->setAppIDFromZMP("");
    identity->setAppIDFromAdzev("");
    identity->setAppIDFromZMP("1:first");
    identity->setAppIDFromZMP("1:second");
    identity->setAppIDFromAdzev("ca-first");
    identity->setAppIDFromAdzev("ca-second");
    EXPECT_EQ(identity->appIDFromZMP(), "1:first");
    EXPECT_EQ(identity->appIDFromAdzev(), "ca-first");
}

TEST_F(IdentityTest, BundleFactsAndTheServiceFile) {
    struct Row { const char* name; Value::Dictionary info; std::optional<Value::Dictionary> service;
                 std::optional<std::string> zmp; std::optional<int32_t> major, minor, release; };
    const std::optional<int32_t> none;
    const Row rows[] = {
        {"three fields", {{"CFBundleVersion", Value("1.0.0")}}, Value::Dictionary{{"ZEVURE_APP_ID", Value("1:a")}},
         "1:a", 1, 0, 0},
        {"one field", {{"CFBundleVersion", Value("7")}}, Value::Dictionary{}, std::nullopt, 7, none, none},
        {"no version", {}, Value::Dictionary{{"ZEVURE_APP_ID", Value(5)}}, std::nullopt, none, none, none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeBundle(row.info, row.service);
        auto identity = make();
        EXPECT_EQ(identity->appIDFromZMP(), row.zmp);
        EXPECT_EQ(identity->hasZevureServiceInfoPlist(), row.service.has_value());
        EXPECT_EQ(identity->appVersionMajor(), row.major);
        EXPECT_EQ(identity->appVersionMinor(), row.minor);
        EXPECT_EQ(identity->appVersionRelease(), row.release);
    }
}

TEST_F(IdentityTest, NumericVersionFields) {
    const std::pair<std::string, std::vector<int32_t>> rows[] = {
        {"2.10.3", {2, 10, 3}}, {"1.2b3", {1, 23}},  {"7", {7}},
        {"1..2", {1, 2}},       {"", {}},            {"b.3", {0, 3}},
        {"99999999999.1", {2147483647, 1}},          {"1.0.0.4", {1, 0, 0, 4}},
    };
    for (const auto& [text, fields] : rows) {
        EXPECT_EQ(MSRIdentity::numericFieldsFromAppVersionNumeric(text), fields) << text;
    }
    EXPECT_EQ(MSRIdentity::libraryVersionFromText("123"), 0);
}

TEST_F(IdentityTest, SessionStitchingTokenRules) {
    // A first token, then a second one asked after `advance` seconds.
    struct Row { const char* name; int64_t firstNumber; bool firstExpired; int64_t number; bool expired, userID;
                 double advance; bool same; };
    const Row rows[] = {
        {"same session", 1, false, 1, false, false, 0, true},
        {"expired then next", 4, true, 5, false, false, 0, true},
        {"skipped session", 5, false, 7, false, false, 0, false},
        {"next without expiry", 5, false, 6, false, false, 0, false},
        {"expired flag changes", 5, false, 5, true, false, 0, false},
        {"token lifetime ends", 1, false, 1, false, false, 86400, false},
        {"token still alive", 1, false, 1, false, false, 86399, true},
        {"user ID keeps an old token", 1, false, 1, false, true, 90000, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto identity = make();
        auto first = identity->sessionStitchingTokenWithSessionNumber(row.firstNumber, row.firstExpired, false);
        ASSERT_TRUE(isAppInstanceID(first));
        monitor_.executor->advanceBy(row.advance);
        auto second = identity->sessionStitchingTokenWithSessionNumber(row.number, row.expired, row.userID);
        ASSERT_TRUE(isAppInstanceID(second));
        EXPECT_EQ(second == first, row.same);
        identity->resetSessionStitchingToken();
        EXPECT_NE(identity->sessionStitchingTokenWithSessionNumber(row.number, row.expired, true), second);
    }
}

TEST_F(IdentityTest, DiversionKeyAndEphemeralID) {
    // Only a stored key of five characters is kept.
    const std::optional<std::string> stored[] = {"ABCDE", std::nullopt, "ABCD", "ABCDEF"};
    for (const auto& row : stored) {
        config_->setDiversionKey(row);
        const std::string key = make()->diversionKey();
        EXPECT_EQ(key.size(), 5u);
        EXPECT_EQ(key == row, row == "ABCDE");
        EXPECT_EQ(config_->diversionKey(), key);
    }
    auto identity = make();
    const std::string ephemeral = identity->ephemeralAppInstanceID();
    EXPECT_EQ(identity->ephemeralAppInstanceID(), ephemeral);
    identity->resetEphemeralAppInstanceID();
    EXPECT_NE(identity->ephemeralAppInstanceID(), ephemeral);
}

TEST_F(IdentityTest, VendorIdentifier) {
    struct Row { const char* name; std::optional<std::string> advertisingID; std::optional<bool> collectionSwitch;
                 bool analyticsDenied, answered; };
    const Row rows[] = {
        {"nothing in the way", std::nullopt, std::nullopt, false, true},
        {"switched on", std::nullopt, true, false, true},
        {"all-zero advertising identifier", kZero, std::nullopt, false, true},
        {"advertising identifier known", kIDFA, std::nullopt, false, false},
        {"switched off", std::nullopt, false, false, false},
        {"analytics storage denied", std::nullopt, std::nullopt, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Value::Dictionary info;
        if (row.collectionSwitch) info["ZEVURE_ANALYTICS_IDFV_COLLECTION_ENABLED"] = Value(*row.collectionSwitch);
        writeBundle(info, std::nullopt);
        MSRConsentSettingsUtil::clearAllSettings();
        if (row.analyticsDenied) consent(MSRConsentSettingsUtil::kAnalyticsStorage, "denied");
        support_->identifier = row.advertisingID;
        config_->clearValues();
        EXPECT_EQ(make()->identifierForVendor().has_value(), row.answered);
        settle();
    }
}

// Getters run from a block of the identity's own queue and from another serial
// queue (as the engine's worker does) must finish, not wait on themselves.
TEST_F(IdentityTest, ReadsFromOtherQueuesAndFromItsOwnQueueFinish) {
    support_->identifier = kIDFA;
    auto identity = make();
    auto worker = dispatch::SerialQueue::create("worker");
    std::optional<std::string> fromWorker, nested;
    worker->async([&] {
        fromWorker = identity->appInstanceID();
        identity->setVuzedezoInstallationID("installation");
        nested = identity->vuzedezoInstallationID();
    });
    settle();
    EXPECT_TRUE(isAppInstanceID(fromWorker));
    EXPECT_EQ(nested, "installation");
}

TEST_F(IdentityTest, SharedInstanceAndIdentifiersForOtherFrameworks) {
    EXPECT_FALSE(MSRIdentity::initWithPersistedConfig(nullptr));
    MSRPersistedConfig::setSharedInstance(config_);
    ASSERT_TRUE(MSRIdentity::sharedInstance());
    EXPECT_EQ(MSRIdentityInterface::shared(), MSRIdentity::sharedInstance());
    auto mine = make();
    MSRIdentity::setSharedInstanceForTesting(mine);
    EXPECT_EQ(MSRIdentityInterface::shared(), mine);
    auto identifiers = MSRIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers->analyticsAppID(), "1:zmp");
    EXPECT_TRUE(isAppInstanceID(identifiers->appInstanceID()));
    const int64_t first = std::stoll(identifiers->adEventID());
    EXPECT_EQ(std::stoll(identifiers->adEventID()), first + 1);

    identifiers->setOrigin("app");
    identifiers->setOrigin("");
    EXPECT_EQ(identifiers->origin(), "app");
    // Without a Zevure app ID the Adzev one is the effective one.
    writeBundle({}, Value::Dictionary{{"ADZEV_APP_ID", Value("ca-app-2")}});
    MSRIdentity::setSharedInstanceForTesting(make());
    EXPECT_EQ(identifiers->analyticsAppID(), "ca-app-2");
    EXPECT_FALSE(identifiers->zevureAppID());
}

// Restores an environment variable when the test is done with it.
struct ScopedEnvironment {
    ScopedEnvironment(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) previous = old;
        ::setenv(name, value, 1);
        ::tzset();
    }
    ~ScopedEnvironment() {
        previous ? ::setenv(name, previous->c_str(), 1) : ::unsetenv(name);
        ::tzset();
    }
    const char* name;
    std::optional<std::string> previous;
};

TEST_F(IdentityTest, TimeZoneOffsetsIncludeHalfAndQuarterHours) {
    MSREnvironmentInfo info;
    // The virtual clock stands in November 2023: no daylight saving time in the north.
    const std::pair<const char*, int32_t> zones[] = {{"UTC", 0}, {"Asia/Kathmandu", 345}, {"America/St_Johns", -210}};
    for (const auto& [zone, minutes] : zones) {
        ScopedEnvironment tz("TZ", zone);
        EXPECT_EQ(info.timeZoneOffsetMinutes(), minutes) << zone;
    }
}

TEST_F(IdentityTest, DefaultIdentitySupportWithAndWithoutThePlatform) {
    struct Row { const char* name; bool platform, adSupport; std::optional<std::string> identifier;
                 bool trackingEnabled; int systemVersion; bool limited; };
    const Row rows[] = {
        {"no platform support", false, false, std::nullopt, false, 15, true},
        {"no ad support", true, false, std::nullopt, false, 15, true},
        {"no ad support, old system", true, false, std::nullopt, false, 13, false},
        {"tracking not authorized", true, true, kZero, true, 15, true},
        {"authorized", true, true, kIDFA, true, 15, false},
        {"old system asks the platform", true, true, kIDFA, false, 13, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto& platform = host::AdvertisingIdentity::shared();
        platform.resetForTesting();
        platform.setSystemMajorVersionForTesting(row.systemVersion);
        if (row.adSupport) platform.setIdentifierManagerForTesting(row.identifier, row.trackingEnabled);
        auto support =
            MSRDefaultIdentitySupport::create(row.platform ? MSRPlatformIdentitySupport::sharedInstance() : nullptr);
        EXPECT_EQ(support->hasLimitedAdTracking(), row.adSupport);
        EXPECT_EQ(support->limitedAdTracking(), row.limited);
        EXPECT_EQ(support->resettableDeviceID(), row.adSupport ? row.identifier : std::nullopt);
        EXPECT_FALSE(support->hasAppDataConsentStatus());
        EXPECT_EQ(support->appDataConsentStatus(), MSRIdentitySupport::kUnavailableStatus);
    }
    host::AdvertisingIdentity::shared().setTrackingManagerForTesting(host::AdvertisingIdentity::kDenied);
    auto support = MSRDefaultIdentitySupport::create(MSRPlatformIdentitySupport::sharedInstance());
    EXPECT_TRUE(support->hasAppDataConsentStatus());
    EXPECT_EQ(support->appDataConsentStatus(), 2u);
}

// Real threads: the platform's read is held until the test lets it go, so the
// caller's time bound is what answers.
TEST(DefaultIdentitySupportTest, ASlowIdentifierReadAnswersTheCachedValue) {
    auto& platform = host::AdvertisingIdentity::shared();
    platform.resetForTesting();
    platform.setIdentifierManagerForTesting(kIDFA, true);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    platform.setReadHookForTesting([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
    });
    auto support = MSRDefaultIdentitySupport::create(MSRPlatformIdentitySupport::sharedInstance());
    EXPECT_FALSE(support->resettableDeviceID());
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    support->waitForPendingReadsForTesting();
    platform.setReadHookForTesting(nullptr);
    EXPECT_EQ(support->resettableDeviceID(), kIDFA);
    platform.resetForTesting();
}

}  // namespace
