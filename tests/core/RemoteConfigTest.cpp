#include "MonitorHarness.h"

#include "analytics/support/MSRRemoteConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

enum class Kind { kSeconds, kInt, kInt64, kFlag, kCount };

struct Setting {
    const char* key;
    std::function<double(MSRRemoteConfig&)> get;
    Kind kind;
    double defaultValue, minimum, maximum;
};

#define GETTER(name) [](MSRRemoteConfig& c) { return static_cast<double>(c.name()); }

// The caps, back-off and retention settings, and one of each other kind and range shape.
const std::vector<Setting>& settings() {
    // clang-format off
    static const std::vector<Setting> table = {
        {"measurement.upload.backoff_period", GETTER(uploadingBackoffInterval), Kind::kSeconds, 43200, 3600, 604800},
        {"measurement.upload.stale_data_deletion_interval", GETTER(databaseDeleteStaleBundlesInterval), Kind::kSeconds, 86400, 3600, 604800},
        {"measurement.upload.max_queue_time", GETTER(maxQueueTime), Kind::kSeconds, 2419200, 604800, 7862400},
        {"measurement.upload.max_conversions_per_day", GETTER(maxConversionsPerDay), Kind::kInt, 10000, 0, 1000000},
        {"measurement.upload.max_events_per_day", GETTER(maxEventsPerDay), Kind::kInt, 100000, 0, 1000000},
        {"measurement.upload.max_public_events_per_day", GETTER(maxPublicEventsPerDay), Kind::kInt, 50000, 0, 1000000},
        {"measurement.upload.max_error_events_per_day", GETTER(maxErrorEventsPerDay), Kind::kInt, 1000, 0, 1000000},
        {"measurement.upload.max_public_user_properties", GETTER(maxPublicUserProperties), Kind::kInt, 100, 25, 100},
        {"measurement.upload.max_event_name_cardinality", GETTER(maxEventNameCardinality), Kind::kInt, 2000, 500, 2000},
        {"measurement.upload.max_public_event_params", GETTER(maxPublicEventParams), Kind::kInt, 100, 25, 100},
        {"measurement.store.max_stored_events_per_app", GETTER(maxEventsStored), Kind::kInt, 100000, 0, 1000000},
        {"measurement.upload.interval", GETTER(uploadingInterval), Kind::kSeconds, 3600, 15, 86400},
        {"measurement.upload.max_bundles", GETTER(uploadMaxBundlesLimit), Kind::kInt64, 100, 1, 10000},
        {"measurement.upload.max_events_per_bundle", GETTER(uploadMaxEventsPerBundle), Kind::kInt64, 1000, 1, 1000000},
        {"measurement.upload.max_batch_size", GETTER(uploadMaxSizeLimitBytes), Kind::kInt64, 65536, 1, 10485760},
        {"measurement.upload.retry_count", GETTER(uploadingRetryCount), Kind::kInt, 6, 1, 24},
        {"measurement.upload.max_bundles_created_per_iteration", GETTER(maxBundlesCreatedPerIteration), Kind::kCount, 100, 1, 10000},
        {"measurement.upload.max_realtime_events_per_day", GETTER(maxRealtimeEventCountPerDay), Kind::kInt, 10, 0, 10},
        {"measurement.upload.blacklist_public", GETTER(blocklistPublic), Kind::kFlag, 0, 0, 1},
        {"measurement.account.time_zone_offset_minutes", GETTER(analyticsAccountTimeZoneOffsetMinutes), Kind::kInt, 0, -900, 900},
        {"measurement.config.cache_time", GETTER(remoteConfigCacheTimeInterval), Kind::kSeconds, 3600, 60, 86400},
        {"measurement.upload.dma_consent_enabled", GETTER(DMAConsentEnabled), Kind::kFlag, 1, 0, 1},
    };
    // clang-format on
    return table;
}

// The server text of a value in the getter's unit: times and the bundle count
// travel multiplied by 1000.
std::string serverText(const Setting& s, double value) {
    const bool scaled = s.kind == Kind::kSeconds || s.kind == Kind::kCount;
    return std::to_string(static_cast<long long>(std::llround(scaled ? value * 1000 : value)));
}

double answer(const Setting& s, const std::optional<std::string>& text) {
    MSRRemoteConfig config(MSRMonitor::shared());
    if (text) config.setServerSettings({{s.key, *text}});
    return s.get(config);
}

TEST(RemoteConfigTest, EverySettingAnswersItsDefaultAndRefusesValuesOutsideItsRange) {
    MonitorHarness h;
    for (const Setting& s : settings()) {
        SCOPED_TRACE(s.key);
        // The smallest step the server can take outside the range.
        const double step = s.kind == Kind::kSeconds ? 0.001 : 1;
        EXPECT_EQ(answer(s, std::nullopt), s.defaultValue);
        EXPECT_EQ(answer(s, serverText(s, s.minimum)), s.minimum);
        EXPECT_EQ(answer(s, serverText(s, s.maximum)), s.maximum);
        EXPECT_EQ(answer(s, serverText(s, s.maximum + step)), s.defaultValue);
        EXPECT_EQ(answer(s, serverText(s, s.minimum - step)), s.defaultValue);
        EXPECT_EQ(answer(s, "not a number"), s.defaultValue);
        EXPECT_EQ(answer(s, ""), s.defaultValue);
    }
}

TEST(RemoteConfigTest, ServerTextsConvertAsTheEdgeCasesSay) {
    // clang-format off
    const std::tuple<const char*, const char*, double> cases[] = {
        {"measurement.upload.interval", "900000", 900},
        {"measurement.upload.interval", "10000", 3600},
        {"measurement.upload.interval", "900,000", 900},
        {"measurement.upload.interval", "15000.9", 15},
        {"measurement.upload.interval", "1e400", 3600},
        {"measurement.upload.interval", "NaN", 3600},
        {"measurement.upload.max_bundles_created_per_iteration", "50000", 50},
        {"measurement.upload.max_bundles_created_per_iteration", "50", 100},
        {"measurement.account.time_zone_offset_minutes", "-900", -900},
        {"measurement.account.time_zone_offset_minutes", "-901", 0},
        {"measurement.upload.retry_count", "12.7", 12},
        {"measurement.upload.max_batch_size", "99999999999999999999999", 65536},
    };
    // clang-format on
    MonitorHarness h;
    for (const auto& [key, text, expected] : cases) {
        const Setting& s = *std::find_if(settings().begin(), settings().end(),
                                         [key = key](const Setting& s) { return std::string(s.key) == key; });
        EXPECT_EQ(answer(s, text), expected) << key << " = " << text;
    }
    MSRRemoteConfig config(h.monitor);
    const char* key = "measurement.upload.max_event_parameter_value_length";
    config.setServerSettings({{key, "100"}});
    EXPECT_EQ(config.maxInternalEventParameterValueLength(), 256);
    config.setServerSettings({{key, "400"}});
    EXPECT_EQ(config.maxInternalEventParameterValueLength(), 400);
}

TEST(RemoteConfigTest, ReadValuesAreCachedAsNumbersUntilTheNextFillAndEmptiesAreRefused) {
    MonitorHarness h;
    MSRRemoteConfig config(h.monitor);
    EXPECT_EQ(config.uploadingInterval(), 3600);
    config.setServerSettings({{"measurement.upload.interval", "900000"}});
    EXPECT_EQ(config.uploadingInterval(), 900);
    EXPECT_EQ(config.cachedValueForKey("measurement.upload.interval"), MSRSettingValue(900.0));

    // Numbers delivered as numbers are taken without a range check.
    config.setServerSettings({{"measurement.psm_prefix_email", int64_t{40}}});
    EXPECT_EQ(config.hashPrefixBitLengthEmail(), 40);
    EXPECT_EQ(config.uploadingInterval(), 3600);

    config.setServerSettings({{"measurement.upload.interval", "900000"}});
    config.reset();
    EXPECT_EQ(config.uploadingInterval(), 3600);

    // Empty names and values are refused.
    EXPECT_EQ(config.cacheValue(std::nullopt, "measurement.upload.interval"), std::nullopt);
    EXPECT_EQ(config.cacheValue(MSRSettingValue(1.0), ""), std::nullopt);
    EXPECT_EQ(config.numberFromCacheWithKey("", int64_t{1}, std::nullopt, std::nullopt), std::nullopt);
    EXPECT_EQ(config.int64ValueFromCacheWithKey("measurement.unknown", 7), 7);
}

TEST(RemoteConfigTest, OverridesFromDebugModeAndExperiments) {
    MonitorHarness h;
    MSRRemoteConfig config(h.monitor);
    config.setServerSettings({{"measurement.psm_start_count", "2"},
                              {"measurement.session_stitching_token_enabled", "1"},
                              {"measurement.regional_defaults_enabled", "1"}});
    EXPECT_EQ(config.maxPSMStartCount(), 2);
    h.monitor->setDebugModeEnabled(true);
    EXPECT_EQ(config.maxPSMStartCount(), 10);

    EXPECT_TRUE(config.sessionStitchingTokenFeatureEnabled());
    config.setExperimentFlagProvider([](const std::string& name) -> std::optional<bool> {
        return name == "session_stitching_token_feature_enabled" ? std::optional(false) : std::nullopt;
    });
    EXPECT_FALSE(config.sessionStitchingTokenFeatureEnabled());

    EXPECT_TRUE(config.regionalDefaultsEnabled());
    config.setCachedExperimentFlags({{"regional_defaults_enabled", false}});
    EXPECT_FALSE(config.regionalDefaultsEnabled());
}

}  // namespace
