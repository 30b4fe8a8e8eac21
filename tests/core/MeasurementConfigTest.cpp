// The measurement configuration: checks before storing, the parse into event
// rules, consent and settings, expiry, endpoints and the event-editing load.

#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/model/MSRPEventEditing.h"
#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

namespace {

const char* kAppID = "1:111:ios:abc";

MSRPBEventConfig eventConfig(const std::string& name, std::optional<bool> blocklisted,
                             std::optional<bool> customConversion, std::optional<int32_t> samplingRate) {
    MSRPBEventConfig config;
    MSRPBSetString(config, 0, name);
    if (blocklisted) MSRPBSetBool(config, 1, *blocklisted);
    if (customConversion) MSRPBSetBool(config, 2, *customConversion);
    if (samplingRate) MSRPBSetInt32(config, 3, *samplingRate);
    return config;
}

MSRPBConsentDefaultEntry consentEntry(int32_t type, int32_t status) {
    MSRPBConsentDefaultEntry entry;
    MSRPBSetInt32(entry, 0, type);
    MSRPBSetInt32(entry, 1, status);
    return entry;
}

// A configuration for `appID` with settings (name, value) and event rules.
MSRPBMeasurementConfig configuration(const std::string& appID, int64_t version,
                                     const std::vector<std::pair<std::string, std::string>>& settings = {},
                                     const std::vector<MSRPBEventConfig>& events = {}) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, version);
    MSRPBSetString(config, 1, appID);
    std::vector<MSRPBSetting> list;
    for (const auto& [name, value] : settings) {
        MSRPBSetting setting;
        MSRPBSetString(setting, 0, name);
        MSRPBSetString(setting, 1, value);
        list.push_back(setting);
    }
    MSRPBSetMessageArray(config, 3, list);
    MSRPBSetMessageArray(config, 4, events);
    return config;
}

void setDataControls(MSRPBMeasurementConfig& config, const std::vector<std::string>& texts) {
    std::vector<MSRPBDataControl> controls;
    for (const auto& text : texts) {
        MSRPBDataControl control;
        MSRPBSetString(control, 0, text);
        controls.push_back(control);
    }
    MSRPBSetMessageArray(config, 9, controls);
}

void addProgram(MSRPBMeasurementConfig& config) {
    MSRPBSetMessageArray(config, 8, std::vector<MSRPBProgram>{MSRPBProgram()});
}

// An interpreter stand-in that records the modules it was given.
class RecordingEditing : public MSRPEventEditing {
  public:
    explicit RecordingEditing(bool loads) : loads_(loads) {}
    void setModuleCreator(ModuleCreator creator, const std::string& name) override {
        names.push_back(name);
        creators.push_back(std::move(creator));
    }
    bool loadProgram(const MSRPBProgram&, MSRError* error) override {
        if (!loads_ && error) *error = MSRError::msr_errorWithCode(1, "syntax");
        return loads_;
    }
    bool handleEvent(const MSRPEvent&, MSRError*) override { return false; }
    bool hasEdits() const override { return false; }
    bool hasCreatedEvents() const override { return false; }
    const MSRPEventContext& eventContext() const override { return context_; }

    std::vector<std::string> names;
    std::vector<ModuleCreator> creators;

  private:
    bool loads_;
    MSRPEventContext context_;
};

}  // namespace

class MeasurementConfigTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        MSRMonitor::shared()->setLogLevel(8);
        MSRError error;
        database_ = std::shared_ptr<MSRDatabase>(
            MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, &error).release());
        ASSERT_TRUE(database_);
        config_ = MSRDatabaseRemoteConfig::initWithAppID(kAppID, database_, nullptr);
        ASSERT_TRUE(config_);
    }
    void TearDown() override {
        MSRPEventEditing::setFactory({});
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        config_.reset();
        database_.reset();
        StorageTest::TearDown();
    }
    std::shared_ptr<MSRDatabase> database_;
    std::shared_ptr<MSRDatabaseRemoteConfig> config_;
};

TEST_F(MeasurementConfigTest, RefusedConfigurationsChangeNothing) {
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(kAppID, 7, {{"measurement.upload.interval", "900000"}})));
    struct Case {
        const char* name;
        std::string origin;
        MSRPBMeasurementConfig config;
    };
    MSRPBMeasurementConfig wrongAdzev = configuration(kAppID, 8, {{"measurement.upload.interval", "60000"}});
    MSRPBSetString(wrongAdzev, 6, "other");
    const Case cases[] = {
        {"another ZMP app id", "da", configuration("1:999:ios:zzz", 8, {{"measurement.upload.interval", "60000"}})},
        {"another Adzev app id for origin am", "am", wrongAdzev},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config_->setOrigin(c.origin);
        EXPECT_FALSE(config_->updateMeasurementConfig(c.config));
        EXPECT_EQ(config_->version(), 7);
        EXPECT_DOUBLE_EQ(config_->uploadingInterval(), 900);
        MSRError error;
        auto stored = database_->queryMeasurementConfig(&error);
        ASSERT_TRUE(stored);
        EXPECT_EQ(MSRPBGetInt64(*stored, 0), 7);
    }
}

TEST_F(MeasurementConfigTest, StoredConfigurationAppliesToANewInstanceAtOnce) {
    ASSERT_TRUE(config_->updateMeasurementConfig(
        configuration(kAppID, 12, {{"measurement.upload.interval", "900000"}, {"measurement.upload.interval", "120000"}},
                      {eventConfig("screen_view", std::nullopt, true, 5)})));
    auto fresh = MSRDatabaseRemoteConfig::initWithAppID(kAppID, database_, nullptr);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->version(), 12);
    EXPECT_DOUBLE_EQ(fresh->uploadingInterval(), 120);  // the later duplicate wins
    EXPECT_TRUE(fresh->isEventCustomConversion("_vs"));
    EXPECT_EQ(fresh->samplingRateForEvent("_vs"), 5);
    EXPECT_FALSE(fresh->eventConfigWithName("screen_view"));

    config_->reset();
    EXPECT_EQ(config_->version(), -1);
    EXPECT_DOUBLE_EQ(config_->uploadingInterval(), 3600);
    EXPECT_FALSE(config_->isEventCustomConversion("_vs"));
}

TEST_F(MeasurementConfigTest, EventRules) {
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(
        kAppID, 1, {},
        {eventConfig("rate_one", std::nullopt, std::nullopt, 1), eventConfig("rate_ten", std::nullopt, std::nullopt, 10),
         eventConfig("rate_zero", std::nullopt, std::nullopt, 0), eventConfig("rate_max", std::nullopt, std::nullopt, 65535),
         eventConfig("rate_over", std::nullopt, std::nullopt, 65536),
         eventConfig("rate_negative", std::nullopt, std::nullopt, -4), eventConfig("blocked", true, false, std::nullopt),
         eventConfig("allowed", false, std::nullopt, std::nullopt), eventConfig("_int", false, std::nullopt, std::nullopt)})));
    const std::pair<const char*, int32_t> rates[] = {{"rate_one", 1},  {"rate_ten", 10},   {"rate_zero", 1},
                                                     {"rate_max", 65535}, {"rate_over", 1}, {"rate_negative", 1},
                                                     {"unconfigured", 1}};
    for (const auto& [name, rate] : rates) EXPECT_EQ(config_->samplingRateForEvent(name), rate) << name;
    EXPECT_TRUE(config_->eventHasSamplingRate("rate_zero"));
    EXPECT_FALSE(config_->eventHasSamplingRate("blocked"));

    struct Blocklist {
        std::string publicSwitch, internalSwitch;
        bool blocked, allowed, unconfigured, internal;
    };
    const Blocklist switches[] = {
        {"0", "0", true, false, false, false},
        {"1", "0", true, true, true, false},  // a rule saying "not blocklisted" never lifts the switch
        {"0", "1", true, false, false, true},
    };
    for (const Blocklist& s : switches) {
        SCOPED_TRACE(s.publicSwitch + s.internalSwitch);
        config_->setServerSettings({{"measurement.upload.blacklist_public", s.publicSwitch},
                                    {"measurement.upload.blacklist_internal", s.internalSwitch}});
        EXPECT_EQ(config_->isEventBlocklisted("blocked"), s.blocked);
        EXPECT_EQ(config_->isEventBlocklisted("allowed"), s.allowed);
        EXPECT_EQ(config_->isEventBlocklisted("unconfigured"), s.unconfigured);
        EXPECT_EQ(config_->isEventBlocklisted("_int"), s.internal);
    }
    EXPECT_FALSE(config_->isEventCustomConversion("blocked"));
    EXPECT_FALSE(config_->eventConfigWithName(""));
}

TEST_F(MeasurementConfigTest, ConsentAndNumbersFromTheConfiguration) {
    MSRPBMeasurementConfig config = configuration(kAppID, 1);
    MSRPBConsentConfig consent;
    MSRPBSetMessageArray(consent, 0,
                         std::vector<MSRPBConsentDefaultEntry>{consentEntry(1, 1), consentEntry(3, 2), consentEntry(5, 1),
                                                               consentEntry(2, 0)});
    MSRPBConsentDelegationEntry delegation;
    MSRPBSetInt32(delegation, 0, 4);
    MSRPBSetInt32(delegation, 1, 3);
    MSRPBConsentDelegationEntry badDelegation;
    MSRPBSetInt32(badDelegation, 0, 4);
    MSRPBSetInt32(badDelegation, 1, 9);
    MSRPBSetMessageArray(consent, 1, std::vector<MSRPBConsentDelegationEntry>{delegation, badDelegation});
    MSRPBCorePlatformServiceEntry service;
    MSRPBSetString(service, 0, "cps_one");
    MSRPBSetMessageArray(consent, 2, std::vector<MSRPBCorePlatformServiceEntry>{service, MSRPBCorePlatformServiceEntry()});
    MSRPBSetBool(consent, 3, false);
    MSRPBSetMessageArray(consent, 4, std::vector<MSRPBConsentDefaultEntry>{consentEntry(4, 2), consentEntry(0, 1)});
    MSRPBSetMessage(config, 12, consent);
    MSRPBPsmSetting psm;
    MSRPBSetInt32(psm, 0, 30);  // beyond the setting's range, yet taken as a number
    MSRPBSetMessage(config, 13, psm);
    setDataControls(config, {"dc_a", "dc_b"});

    ASSERT_TRUE(config_->updateMeasurementConfig(config));
    using Map = std::map<std::string, std::string>;
    EXPECT_EQ(config_->consentDefaults(), (Map{{"ad_storage", "granted"}, {"ad_user_data", "denied"}}));
    EXPECT_EQ(config_->consentDelegations(), (Map{{"ad_personalization", "ad_user_data"}}));
    EXPECT_EQ(config_->regionalDefaults(), (Map{{"ad_personalization", "denied"}}));
    EXPECT_EQ(config_->corePlatformServices(), (std::set<std::string>{"cps_one"}));
    EXPECT_FALSE(config_->isDMARegion());
    EXPECT_EQ(config_->dataControls(), (std::vector<std::string>{"dc_a", "dc_b"}));
    EXPECT_EQ(config_->hashPrefixBitLengthEmail(), 30);
    EXPECT_EQ(config_->hashPrefixBitLengthPhone(), 11);
}

TEST_F(MeasurementConfigTest, ExpiryFollowsTheCacheTimeBothWays) {
    EXPECT_FALSE(MSRRemoteConfig::defaultInstance()->isExpired());
    EXPECT_TRUE(config_->isExpired());  // nothing stored yet

    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(kAppID, 1)));
    const double storedAt = executor_.clock().wallTime();
    const std::pair<double, bool> cases[] = {
        {59 * 60, false}, {3600, true}, {-59 * 60, false}, {-3600, true},  // a clock set back expires it too
    };
    for (const auto& [offset, expired] : cases) {
        executor_.clock().setWallTime(storedAt + offset);
        EXPECT_EQ(config_->isExpired(), expired) << offset;
    }
}

TEST_F(MeasurementConfigTest, Endpoints) {
    MSRPBMeasurementConfig withSubdomain = configuration(kAppID, 1);
    MSRPBSetString(withSubdomain, 10, "region");
    struct Case {
        std::optional<std::string> base;
        bool subdomain;
        std::string upload, config;
    };
    const std::string query = "?platform=ios&runtime_version=0&zmp_version=110100";
    const Case cases[] = {
        {std::nullopt, false, "", ""},
        {"", true, "", ""},
        {"http://127.0.0.1:8080/", false, "http://127.0.0.1:8080/a",
         "http://127.0.0.1:8080/config/app/1:111:ios:abc" + query},
        {"https://measure.example:443", true, "https://region.measure.example:443/a",
         "https://measure.example:443/config/app/1:111:ios:abc" + query},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base.value_or("(none)"));
        MSRRemoteConfig::setMeasurementURL(c.base);
        ASSERT_TRUE(config_->updateMeasurementConfig(c.subdomain ? withSubdomain : configuration(kAppID, 1)));
        EXPECT_EQ(config_->uploadURL(), c.upload);
        EXPECT_EQ(config_->remoteConfigURLWithPlatform("ios", 110100, 0), c.config);
    }
    EXPECT_FALSE(config_->remoteConfigURLWithPlatform(std::nullopt, 110100, 0));
}

TEST_F(MeasurementConfigTest, EventEditingProgramLoad) {
    std::shared_ptr<RecordingEditing> last;
    bool loads = true;
    MSRPEventEditing::setFactory([&] { return last = std::make_shared<RecordingEditing>(loads); });

    MSRPBMeasurementConfig first = configuration(kAppID, 1, {{"measurement.upload.interval", "900000"}});
    addProgram(first);
    setDataControls(first, {"kept"});
    ASSERT_TRUE(config_->updateMeasurementConfig(first));
    ASSERT_EQ(config_->eventEditing(), last);
    EXPECT_EQ(last->names,
              (std::vector<std::string>{"internal.remoteConfig", "internal.appMetadata", "internal.logger"}));
    auto store = std::dynamic_pointer_cast<MSRPKeyValueStore>(last->creators[0]());
    ASSERT_TRUE(store);
    EXPECT_EQ(store->valueForKey("measurement.upload.interval"), "900000");
    auto metadata = std::dynamic_pointer_cast<MSRPObjectProvider>(last->creators[1]());
    ASSERT_TRUE(metadata);
    EXPECT_EQ(*metadata->object().at("platform").string(), "ios");

    // A program that fails leaves no editing and the rest of that parse undone.
    loads = false;
    MSRPBMeasurementConfig failing = configuration(kAppID, 3);
    addProgram(failing);
    setDataControls(failing, {"new"});
    ASSERT_TRUE(config_->updateMeasurementConfig(failing));
    EXPECT_EQ(config_->eventEditing(), nullptr);
    EXPECT_TRUE(logged(29026));
    EXPECT_EQ(config_->dataControls(), std::vector<std::string>{"kept"});

    // A configuration without programs keeps the loaded one.
    loads = true;
    ASSERT_TRUE(config_->updateMeasurementConfig(first));
    ASSERT_TRUE(config_->eventEditing());
    auto loaded = config_->eventEditing();
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(kAppID, 2)));
    EXPECT_EQ(config_->eventEditing(), loaded);

    // Without an interpreter the programs are skipped and the rest applies.
    MSRPEventEditing::setFactory({});
    ASSERT_TRUE(config_->updateMeasurementConfig(first));
    EXPECT_EQ(config_->dataControls(), std::vector<std::string>{"kept"});
}

TEST_F(MeasurementConfigTest, RolledBackConfigurationLeavesTheStoredOneInForce) {
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(kAppID, 1, {{"measurement.upload.interval", "900000"}},
                                                               {eventConfig("blocked", true, false, std::nullopt)})));
    MSRPBMeasurementConfig refused =
        configuration(kAppID, 2, {{"measurement.upload.interval", "120000"}}, {eventConfig("other", true, false, 7)});
    setDataControls(refused, {"refused"});
    EXPECT_FALSE(database_->performTransaction([&] {
        EXPECT_TRUE(config_->updateMeasurementConfig(refused));
        return false;
    }));
    config_->reloadFromDatabase();
    EXPECT_EQ(config_->version(), 1);
    EXPECT_DOUBLE_EQ(config_->uploadingInterval(), 900);
    EXPECT_TRUE(config_->isEventBlocklisted("blocked"));
    EXPECT_FALSE(config_->isEventBlocklisted("other"));
    EXPECT_EQ(config_->dataControls(), std::vector<std::string>{});
}
