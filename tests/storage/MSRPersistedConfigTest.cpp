#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

constexpr const char* kSuite = "test.persisted";

class PersistedConfigTest : public StorageTest {
  protected:
    std::shared_ptr<MSRPersistedConfig> open() {
        auto config = MSRPersistedConfig::initWithSuiteName(kSuite);
        EXPECT_TRUE(config);
        return config;
    }
};

TEST_F(PersistedConfigTest, AFreshInstallationReadsEmpty) {
    auto config = open();
    EXPECT_EQ(config->lastBackoffTimestamp(), 0.0);
    EXPECT_EQ(config->sessionNumber(), 0);
    EXPECT_FALSE(config->unmatchedFirstOpenWithoutIDFA());
    EXPECT_FALSE(config->appInstanceID());
    EXPECT_FALSE(config->defaultEventParameters());
    EXPECT_TRUE(config->previousFirstOpenCount().isAbsent());
    EXPECT_EQ(config->measurementEnabledState(), 0);
}

TEST_F(PersistedConfigTest, ValuesSurviveARestartExactly) {
    const double uploadTime = 1700000000.123456789;
    const Value::Dictionary parameters = {{"currency", Value("EUR")}, {"ratio", Value(0.1)}};
    double offset;
    {
        auto config = open();
        config->setLastSuccessfulUploadTimestamp(uploadTime);
        config->setLastSessionActivityClockTime(1.0 / 3.0);
        config->setSessionNumber(INT64_MAX);
        config->setFirstOpenTimestampMilliseconds(-1);
        config->setAppInstanceID("instance");
        config->setDefaultEventParameters(parameters);
        config->setShouldSetLastAdvertisingIDResetUserProperty(true);
        config->setAdCampaignInfoBuffer(Value::Bytes{9, 8, 7});
        config->setMeasurementEnabledState(2);
        offset = config->midnightOffset();
        executor_.advanceBy(1.0);
    }
    auto config = open();
    EXPECT_EQ(config->lastSuccessfulUploadTimestamp(), uploadTime);
    EXPECT_EQ(config->lastSessionActivityClockTime(), 1.0 / 3.0);
    EXPECT_EQ(config->sessionNumber(), INT64_MAX);
    EXPECT_EQ(config->firstOpenTimestampMilliseconds(), -1);
    EXPECT_EQ(config->appInstanceID(), "instance");
    EXPECT_EQ(config->defaultEventParameters(), parameters);
    EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());
    EXPECT_EQ(config->adCampaignInfoBuffer(), (Value::Bytes{9, 8, 7}));
    EXPECT_EQ(config->measurementEnabledState(), 2);
    EXPECT_EQ(config->midnightOffset(), offset);
}

TEST_F(PersistedConfigTest, TheMidnightOffsetIsDrawnOnceInWholeMilliseconds) {
    auto config = open();
    double offset = config->midnightOffset();
    EXPECT_GE(offset, 0.0);
    EXPECT_LT(offset, 86400.0);
    EXPECT_EQ(std::round(offset * 1000) / 1000, offset);
    EXPECT_EQ(config->midnightOffset(), offset);
    config->clearValues();
    // A cleared configuration draws anew; the value is kept from then on.
    double redrawn = config->midnightOffset();
    EXPECT_EQ(config->midnightOffset(), redrawn);
}

TEST_F(PersistedConfigTest, SettersKeepTheirKindRules) {
    auto config = open();
    config->setSearchAdCampaignValue(Value(1));
    config->setSearchAdCampaignValue(Value("yes"));
    config->setSearchAdCampaignValue(Value());
    EXPECT_EQ(config->searchAdCampaignValue(), Value(1));

    config->setAppInstanceID("id");
    config->setAppInstanceID(std::nullopt);
    EXPECT_FALSE(config->appInstanceID());

    config->setInt64(7, "/zevure/measurement/set_last_advertising_id_reset");
    EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());

    // Raw properties keep whatever they are given.
    config->setAllowPersonalizedAds(Value(false));
    EXPECT_EQ(config->allowPersonalizedAds(), Value(false));
    config->setLoadTimestampValue(Value(12.5));
    EXPECT_EQ(config->loadTimestampValue(), Value(12.5));
}

TEST_F(PersistedConfigTest, TheMeasurementStateLivesInTheApplicationsPreferences) {
    auto config = open();
    config->setMeasurementEnabledState(1);
    config->setSessionNumber(3);
    config->clearValues();
    EXPECT_EQ(config->sessionNumber(), 0);
    EXPECT_EQ(config->measurementEnabledState(), 1);
    EXPECT_EQ(foundation::UserDefaults::standard().integer("/zevure/measurement/measurement_enabled_state"),
              1);
}

TEST_F(PersistedConfigTest, ALegacyFileMovesIntoTheEngineFolder) {
    std::string legacy = MSRPreferencesPlistPath(kSuite);
    fs::create_directories(fs::path(legacy).parent_path());
    auto xml = foundation::propertyListXml(
        Value(Value::Dictionary{{"/zevure/measurement/app_version", Value("1.2")}}));
    ASSERT_TRUE(xml);
    std::ofstream(legacy) << *xml;
    auto config = open();
    EXPECT_EQ(config->appVersion(), "1.2");
    EXPECT_FALSE(fs::exists(legacy));
    EXPECT_TRUE(fs::exists(MSRSDKPlistPath(kSuite)));
}

TEST_F(PersistedConfigTest, TheSharedInstanceIsCreatedOnce) {
    MSRPersistedConfig::setSharedInstance(nullptr);
    auto shared = MSRPersistedConfig::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(MSRPersistedConfig::sharedInstance(), shared);
    EXPECT_EQ(shared->name(), MSRPersistedConfig::kSuiteName);
    MSRPersistedConfig::setSharedInstance(nullptr);
}

}  // namespace
