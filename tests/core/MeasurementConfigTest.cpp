// The measurement configuration: what is refused, what a stored one means, and
// how a failing event-editing program leaves the rest.

#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/model/MSRPEventEditing.h"
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

template <typename Entry>
Entry entryOf(int32_t first, int32_t second) {
    Entry entry;
    MSRPBSetInt32(entry, 0, first);
    MSRPBSetInt32(entry, 1, second);
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

MSRPBMeasurementConfig withProgram(MSRPBMeasurementConfig config, const std::vector<std::string>& controls) {
    MSRPBSetMessageArray(config, 8, std::vector<MSRPBProgram>{MSRPBProgram()});
    setDataControls(config, controls);
    return config;
}

// An interpreter stand-in that keeps the modules it was given.
class RecordingEditing : public MSRPEventEditing {
  public:
    explicit RecordingEditing(bool loads) : loads_(loads) {}
    void setModuleCreator(ModuleCreator creator, const std::string&) override {
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
    std::vector<ModuleCreator> creators;
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
        MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
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
    MSRPBMeasurementConfig wrongAdzev = configuration(kAppID, 8, {{"measurement.upload.interval", "60000"}});
    MSRPBSetString(wrongAdzev, 6, "other");
    const std::pair<std::string, MSRPBMeasurementConfig> cases[] = {
        {"da", configuration("1:999:ios:zzz", 8, {{"measurement.upload.interval", "60000"}})},  // another ZMP app id
        {"am", wrongAdzev},  // another Adzev app id for origin am
    };
    for (const auto& [origin, config] : cases) {
        SCOPED_TRACE(origin);
        config_->setOrigin(origin);
        EXPECT_FALSE(config_->updateMeasurementConfig(config));
        EXPECT_EQ(config_->version(), 7);
        EXPECT_DOUBLE_EQ(config_->uploadingInterval(), 900);
        EXPECT_EQ(MSRPBGetInt64(database_->queryMeasurementConfig(nullptr).value(), 0), 7);
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
}

TEST_F(MeasurementConfigTest, SamplingRatesOutOfRangeCountAsOne) {
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(
        kAppID, 1, {},
        {eventConfig("rate_ten", std::nullopt, std::nullopt, 10), eventConfig("rate_zero", std::nullopt, std::nullopt, 0),
         eventConfig("rate_max", std::nullopt, std::nullopt, 65535),
         eventConfig("rate_over", std::nullopt, std::nullopt, 65536),
         eventConfig("rate_negative", std::nullopt, std::nullopt, -4), eventConfig("blocked", true, false, std::nullopt)})));
    const std::pair<const char*, int32_t> rates[] = {{"rate_ten", 10}, {"rate_zero", 1},     {"rate_max", 65535},
                                                     {"rate_over", 1}, {"rate_negative", 1}, {"unconfigured", 1}};
    for (const auto& [name, rate] : rates) EXPECT_EQ(config_->samplingRateForEvent(name), rate) << name;
    EXPECT_TRUE(config_->eventHasSamplingRate("rate_zero"));
    EXPECT_FALSE(config_->eventHasSamplingRate("blocked"));
}

TEST_F(MeasurementConfigTest, ConsentFromTheConfigurationSkipsUnknownEntries) {
    using Default = MSRPBConsentDefaultEntry;
    using Delegation = MSRPBConsentDelegationEntry;
    MSRPBMeasurementConfig config = configuration(kAppID, 1);
    MSRPBConsentConfig consent;
    MSRPBSetMessageArray(consent, 0, std::vector<Default>{entryOf<Default>(1, 1), entryOf<Default>(3, 2),
                                                          entryOf<Default>(5, 1), entryOf<Default>(2, 0)});
    MSRPBSetMessageArray(consent, 1, std::vector<Delegation>{entryOf<Delegation>(4, 3), entryOf<Delegation>(4, 9)});
    MSRPBCorePlatformServiceEntry service;
    MSRPBSetString(service, 0, "cps_one");
    MSRPBSetMessageArray(consent, 2, std::vector<MSRPBCorePlatformServiceEntry>{service, {}});
    MSRPBSetMessageArray(consent, 4, std::vector<Default>{entryOf<Default>(4, 2), entryOf<Default>(0, 1)});
    MSRPBSetMessage(config, 12, consent);
    ASSERT_TRUE(config_->updateMeasurementConfig(config));
    using Map = std::map<std::string, std::string>;
    EXPECT_EQ(config_->consentDefaults(), (Map{{"ad_storage", "granted"}, {"ad_user_data", "denied"}}));
    EXPECT_EQ(config_->consentDelegations(), (Map{{"ad_personalization", "ad_user_data"}}));
    EXPECT_EQ(config_->regionalDefaults(), (Map{{"ad_personalization", "denied"}}));
    EXPECT_EQ(config_->corePlatformServices(), (std::set<std::string>{"cps_one"}));
}

TEST_F(MeasurementConfigTest, ExpiryFollowsTheCacheTimeBothWays) {
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
    const std::string query = "?platform=ios&runtime_version=0&zmp_version=110100";
    const std::tuple<std::optional<std::string>, bool, std::string, std::string> cases[] = {
        {std::nullopt, false, "", ""},
        {"", true, "", ""},
        {"http://127.0.0.1:8080/", false, "http://127.0.0.1:8080/a",
         "http://127.0.0.1:8080/config/app/1:111:ios:abc" + query},
        {"https://measure.example:443", true, "https://region.measure.example:443/a",
         "https://measure.example:443/config/app/1:111:ios:abc" + query},
    };
    for (const auto& [base, subdomain, upload, fetch] : cases) {
        SCOPED_TRACE(base.value_or("(none)"));
        MSRRemoteConfig::setMeasurementURL(base);
        ASSERT_TRUE(config_->updateMeasurementConfig(subdomain ? withSubdomain : configuration(kAppID, 1)));
        EXPECT_EQ(config_->uploadURL(), upload);
        EXPECT_EQ(config_->remoteConfigURLWithPlatform("ios", 110100, 0), fetch);
    }
    EXPECT_FALSE(config_->remoteConfigURLWithPlatform(std::nullopt, 110100, 0));
}

TEST_F(MeasurementConfigTest, EventEditingProgramLoad) {
    std::shared_ptr<RecordingEditing> last;
    bool loads = true;
    MSRComponentRegistry::registerMaker<MSRPEventEditing>([&](const MSRComponentContext&) { return last = std::make_shared<RecordingEditing>(loads); });

    const MSRPBMeasurementConfig first =
        withProgram(configuration(kAppID, 1,
                                  {{"measurement.upload.interval", "900000"},
                                   {"measurement.test.fraction", "0.123456789012"}}),
                    {"kept"});
    ASSERT_TRUE(config_->updateMeasurementConfig(first));
    ASSERT_EQ(config_->eventEditing(), last);
    auto store = std::dynamic_pointer_cast<MSRPKeyValueStore>(last->creators.at(0)());
    ASSERT_TRUE(store);
    EXPECT_EQ(store->valueForKey("measurement.upload.interval"), "900000");
    // Numbers reach programs at full precision, also once read as numbers.
    EXPECT_EQ(store->valueForKey("measurement.test.fraction"), "0.123456789012");
    config_->cacheValue(MSRSettingValue(0.123456789012), "measurement.test.fraction");
    EXPECT_EQ(store->valueForKey("measurement.test.fraction"), "0.123456789012");

    // A program that fails its load is refused: the one at work goes on,
    // and the rest of that configuration still applies.
    const std::shared_ptr<MSRPEventEditing> working = config_->eventEditing();
    loads = false;
    ASSERT_TRUE(config_->updateMeasurementConfig(withProgram(configuration(kAppID, 3), {"new"})));
    EXPECT_EQ(config_->eventEditing(), working);
    EXPECT_EQ(config_->dataControls(), std::vector<std::string>{"new"});

    // A configuration without programs keeps the loaded one.
    loads = true;
    ASSERT_TRUE(config_->updateMeasurementConfig(first));
    auto loaded = config_->eventEditing();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(config_->updateMeasurementConfig(configuration(kAppID, 2)));
    EXPECT_EQ(config_->eventEditing(), loaded);

    // Without an interpreter the programs are skipped and the rest applies.
    MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
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
