
#include <cmath>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

constexpr const char* kSuite = "test.persisted";

class PersistedConfigTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        config_ = MSRPersistedConfig::initWithSuiteName(kSuite);
        ASSERT_TRUE(config_);
    }
    void restart() {
        executor_.advanceBy(1.0);
        config_.reset();
        config_ = MSRPersistedConfig::initWithSuiteName(kSuite);
    }

    std::shared_ptr<MSRPersistedConfig> config_;
};

TEST_F(PersistedConfigTest, ValuesSurviveARestartExactly) {
    const Value::Dictionary parameters = {{"currency", Value("EUR")}, {"ratio", Value(0.1)}};
    config_->setLastSuccessfulUploadTimestamp(1700000000.123456789);
    config_->setSessionNumber(INT64_MAX);
    config_->setFirstOpenTimestampMilliseconds(-1);
    config_->setAppInstanceID("instance");
    config_->setDefaultEventParameters(parameters);
    config_->setShouldSetLastAdvertisingIDResetUserProperty(true);
    config_->setAdCampaignInfoBuffer(Value::Bytes{9, 8, 7});
    config_->setMeasurementEnabledState(2);
    double offset = config_->midnightOffset();
    EXPECT_TRUE(offset >= 0.0 && offset < 86400.0);
    EXPECT_EQ(std::round(offset * 1000) / 1000, offset);  // whole milliseconds
    restart();
    EXPECT_EQ(config_->lastSuccessfulUploadTimestamp(), 1700000000.123456789);
    EXPECT_EQ(config_->sessionNumber(), INT64_MAX);
    EXPECT_EQ(config_->firstOpenTimestampMilliseconds(), -1);
    EXPECT_EQ(config_->appInstanceID(), "instance");
    EXPECT_EQ(config_->defaultEventParameters(), parameters);
    EXPECT_TRUE(config_->shouldSetLastAdvertisingIDResetUserProperty());
    EXPECT_EQ(config_->adCampaignInfoBuffer(), (Value::Bytes{9, 8, 7}));
    EXPECT_EQ(config_->measurementEnabledState(), 2);
    EXPECT_EQ(config_->midnightOffset(), offset);
}

TEST_F(PersistedConfigTest, SettersKeepTheirKindRules) {
    for (const Value& value : {Value(1), Value("yes"), Value()}) config_->setSearchAdCampaignValue(value);
    EXPECT_EQ(config_->searchAdCampaignValue(), Value(1));
    config_->setAppInstanceID("id");
    config_->setAppInstanceID(std::nullopt);
    EXPECT_FALSE(config_->appInstanceID());
    config_->setInt64(7, "/zevure/measurement/set_last_advertising_id_reset");
    EXPECT_TRUE(config_->shouldSetLastAdvertisingIDResetUserProperty());
    config_->setAllowPersonalizedAds(Value(false));  // raw: kept as given
    EXPECT_EQ(config_->allowPersonalizedAds(), Value(false));
}

TEST_F(PersistedConfigTest, ClearingKeepsTheMeasurementStateOfTheApplicationsPreferences) {
    config_->setMeasurementEnabledState(1);
    config_->setSessionNumber(3);
    config_->clearValues();
    EXPECT_EQ(config_->sessionNumber(), 0);
    EXPECT_EQ(config_->measurementEnabledState(), 1);
    EXPECT_EQ(foundation::UserDefaults::standard().integer("/zevure/measurement/measurement_enabled_state"),
              1);
}

TEST_F(PersistedConfigTest, ALegacyFileMovesIntoTheEngineFolder) {
    std::string legacy = MSRPreferencesPlistPath(kSuite);
    writeFile(legacy, *foundation::propertyListXml(
                          Value(Value::Dictionary{{"/zevure/measurement/app_version", Value("1.2")}})));
    restart();
    EXPECT_EQ(config_->appVersion(), "1.2");
    EXPECT_FALSE(fs::exists(legacy));
}
