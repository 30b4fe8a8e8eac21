
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

// Each stored time the start reads, and each count, at its edges, settled
// against the start's time: what it reads as afterwards. A time its reader
// compares as |now - t| stays as stored, a failure ahead reads as now, a
// back-off ahead as none; the load time is none at or below 0 and before the
// first open; a count no count can be is removed.
TEST_F(PersistedConfigTest, TheStartSettlesEachStoredTimeAndCountByItsOwnRule) {
    const double now = 1.7e9;
    const double ahead = now + 365.0 * 86400;
    const double nan = std::nan("");
    const std::string prefix = MSRPersistedConfig::kKeyPrefix;
    const struct {
        const char* suffix;
        Value stored;
        Value settled;  // absent: removed
    } rows[] = {
        {"last_delete_stale", Value(ahead), Value(ahead)},
        {"search_ad_last_attempt_timestamp", Value(ahead), Value(ahead)},
        {"last_monitor_data_sampled_timestamp", Value(ahead), Value(ahead)},
        {"last_successful_upload", Value(ahead), Value(ahead)},
        {"last_engagement_end", Value(ahead), Value(ahead)},
        {"last_engagement_end", Value(nan), Value(0.0)},
        {"last_failed_upload", Value(ahead), Value(now)},
        {"last_failed_upload", Value(now - 5), Value(now - 5)},
        {"last_backoff", Value(ahead), Value(0.0)},
        {"last_backoff", Value(1e308), Value(0.0)},
        {"last_backoff", Value(now - 5), Value(now - 5)},
        {"last_backoff", Value(nan), Value(0.0)},
        {"first_open_timestamp_ms", Value(int64_t{1'800'000'000'000}), Value(int64_t{1'800'000'000'000})},
        {"last_uploaded_event_millis", Value(int64_t{1'800'000'000'000}), Value(int64_t{1'700'000'000'000})},
        {"load_timestamp", Value(0.0), Value()},
        {"load_timestamp", Value(-86400.0), Value()},
        {"load_timestamp", Value(nan), Value()},
        {"load_timestamp", Value("soon"), Value()},
        {"load_timestamp", Value(ahead), Value(now)},
        {"load_timestamp", Value(now - 5), Value(now - 5)},
        {"session_number", Value(INT64_MAX), Value(INT64_MAX)},
        {"session_number", Value(9.2233720368547758e18), Value()},
        {"session_number", Value(INT64_MIN), Value()},
        {"search_ad_number_of_retries", Value(int64_t{-1}), Value()},
        {"deep_link_retry_count", Value(3.0), Value(3.0)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.suffix) + " = " + row.stored.jsonText());
        config_->clearValues();
        config_->setNumber(row.stored, prefix + row.suffix);
        config_->settleStoredTimes(now);
        const Value settled = config_->numberForKey(prefix + row.suffix);
        if (row.settled.isAbsent()) {
            EXPECT_TRUE(settled.isAbsent()) << settled.jsonText();
        } else if (row.settled.integerValue()) {
            EXPECT_EQ(settled.integerValue(), row.settled.integerValue()) << settled.jsonText();
        } else {
            EXPECT_EQ(settled.doubleValue(), row.settled.doubleValue()) << settled.jsonText();
        }
    }
    // A load time before the first open is no load time of this installation.
    config_->clearValues();
    config_->setFirstOpenTimestampMilliseconds(int64_t{1'600'000'000'000});
    config_->setLoadTimestampValue(Value(1.5e9));
    config_->settleStoredTimes(now);
    EXPECT_TRUE(config_->loadTimestampValue().isAbsent());
    config_->setLoadTimestampValue(Value(1.6e9));
    config_->settleStoredTimes(now);
    EXPECT_EQ(config_->loadTimestampValue().doubleValue(), 1.6e9);
}
