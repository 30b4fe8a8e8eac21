#include "analytics/core/support/MSRRemoteConfig.h"

#include "analytics/core/support/MSRMonitor.h"

#include <unicode/fmtable.h>
#include <unicode/numfmt.h>
#include <unicode/unistr.h>

#include <cmath>
#include <limits>

namespace {

// ---- number conversions without undefined behaviour ---------------------

double toDouble(const MSRSettingValue& value) {
    if (auto i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
    if (auto d = std::get_if<double>(&value)) return *d;
    return std::numeric_limits<double>::quiet_NaN();
}

// Integer reading of a number: truncation toward zero, saturating at the
// ends of the target range; not-a-number reads as 0.
template <typename Int>
Int toInteger(const MSRSettingValue& value) {
    if (auto i = std::get_if<int64_t>(&value)) {
        if (*i > std::numeric_limits<Int>::max()) return std::numeric_limits<Int>::max();
        if (*i < std::numeric_limits<Int>::min()) return std::numeric_limits<Int>::min();
        return static_cast<Int>(*i);
    }
    const double d = toDouble(value);
    if (std::isnan(d)) return 0;
    if (d >= static_cast<double>(std::numeric_limits<Int>::max())) {
        return std::numeric_limits<Int>::max();
    }
    if (d <= static_cast<double>(std::numeric_limits<Int>::min())) {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(d);
}

// -1, 0, 1 for two numbers.
int compareNumbers(const MSRSettingValue& a, const MSRSettingValue& b) {
    auto ai = std::get_if<int64_t>(&a);
    auto bi = std::get_if<int64_t>(&b);
    if (ai && bi) return *ai < *bi ? -1 : (*ai > *bi ? 1 : 0);
    const double x = toDouble(a);
    const double y = toDouble(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Server times are whole milliseconds; the engine uses seconds.
std::optional<MSRSettingValue> millisecondsToSeconds(const MSRSettingValue& number) {
    if (auto i = std::get_if<int64_t>(&number)) return static_cast<double>(*i) / 1000.0;
    const double d = toDouble(number);
    // A number without a 64-bit integer reading has no time either.
    if (!std::isfinite(d) || std::fabs(d) >= 9.2233720368547758e18) return std::nullopt;
    return static_cast<double>(static_cast<int64_t>(d)) / 1000.0;
}

std::mutex gFormatterMutex;

}  // namespace

// ---- lifecycle -------------------------------------------------------------

std::shared_ptr<MSRRemoteConfig> MSRRemoteConfig::defaultInstance() {
    static std::shared_ptr<MSRRemoteConfig> instance = std::make_shared<MSRRemoteConfig>();
    return instance;
}

MSRRemoteConfig::MSRRemoteConfig(std::shared_ptr<MSRMonitor> monitor)
    : monitor_(std::move(monitor)) {}

MSRRemoteConfig::~MSRRemoteConfig() = default;

MSRMonitor& MSRRemoteConfig::monitor() const {
    if (monitor_) return *monitor_;
    return *MSRMonitor::shared();
}

void MSRRemoteConfig::setServerSettings(const std::map<std::string, MSRSettingValue>& settings) {
    std::lock_guard lock(mutex_);
    cachedValueByRemoteConfigKeys_ = settings;
}

void MSRRemoteConfig::reset() {
    std::lock_guard lock(mutex_);
    cachedValueByRemoteConfigKeys_.clear();
}

void MSRRemoteConfig::setExperimentFlagProvider(
    std::function<std::optional<bool>(const std::string&)> provider) {
    std::lock_guard lock(mutex_);
    experimentFlagProvider_ = std::move(provider);
}

void MSRRemoteConfig::setCachedExperimentFlags(std::map<std::string, bool> flags) {
    std::lock_guard lock(mutex_);
    cachedExperimentFlags_ = std::move(flags);
}

// ---- lookups -----------------------------------------------------------------

std::optional<MSRSettingValue> MSRRemoteConfig::cachedValueForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = cachedValueByRemoteConfigKeys_.find(key);
    if (it == cachedValueByRemoteConfigKeys_.end()) return std::nullopt;
    return it->second;
}

std::optional<MSRSettingValue> MSRRemoteConfig::cacheValue(
    const std::optional<MSRSettingValue>& value, const std::string& key) {
    if (!value || key.empty()) {
        monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value");
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    cachedValueByRemoteConfigKeys_.insert_or_assign(key, *value);
    return value;
}

std::optional<MSRSettingValue> MSRRemoteConfig::numberFromString(const std::string& text) {
    std::lock_guard lock(gFormatterMutex);
    static std::unique_ptr<icu::NumberFormat> formatter = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::NumberFormat> format(
            icu::NumberFormat::createInstance(icu::Locale("en_US"), status));
        return U_SUCCESS(status) ? std::move(format) : nullptr;
    }();
    if (!formatter || text.empty()) return std::nullopt;
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    icu::Formattable result;
    icu::ParsePosition position(0);
    formatter->parse(input, result, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    switch (result.getType()) {
    case icu::Formattable::kLong:
    case icu::Formattable::kInt64: {
        int64_t value = result.getInt64(status);
        if (U_FAILURE(status)) return std::nullopt;
        return value;
    }
    case icu::Formattable::kDouble: {
        double value = result.getDouble(status);
        if (U_FAILURE(status) || !std::isfinite(value)) return std::nullopt;
        return value;
    }
    default:
        return std::nullopt;
    }
}

std::optional<MSRSettingValue> MSRRemoteConfig::numberFromCacheWithKey(
    const std::string& key, const MSRSettingValue& defaultValue,
    const std::optional<MSRSettingValue>& maxValue,
    const std::optional<MSRSettingValue>& minValue, const NumberBlock& block) {
    if (key.empty()) {
        monitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
        return std::nullopt;
    }
    std::optional<MSRSettingValue> entry = cachedValueForKey(key);
    if (!entry) return cacheValue(defaultValue, key);
    if (!std::holds_alternative<std::string>(*entry)) return entry;

    std::optional<MSRSettingValue> number = numberFromString(std::get<std::string>(*entry));
    if (number && block) number = block(*number);
    if (!number || (minValue && compareNumbers(*number, *minValue) < 0) ||
        (maxValue && compareNumbers(*number, *maxValue) > 0)) {
        number = defaultValue;
    }
    return cacheValue(number, key);
}

double MSRRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) {
    auto number = numberFromCacheWithKey(key, defaultValue, maxValue, minValue,
                                         millisecondsToSeconds);
    return number ? toDouble(*number) : 0.0;
}

int32_t MSRRemoteConfig::intValueFromCacheWithKey(const std::string& key, int32_t defaultValue,
                                                  int32_t maxValue, int32_t minValue) {
    auto number = numberFromCacheWithKey(key, int64_t{defaultValue}, int64_t{maxValue},
                                         int64_t{minValue});
    return number ? toInteger<int32_t>(*number) : 0;
}

int64_t MSRRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue,
                                                    int64_t maxValue, int64_t minValue) {
    auto number = numberFromCacheWithKey(key, defaultValue, maxValue, minValue);
    return number ? toInteger<int64_t>(*number) : 0;
}

int64_t MSRRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue) {
    auto number = numberFromCacheWithKey(key, defaultValue, std::nullopt, std::nullopt);
    return number ? toInteger<int64_t>(*number) : 0;
}

bool MSRRemoteConfig::boolValueFromCacheWithKey(const std::string& key, bool defaultValue) {
    return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

// ---- getters -------------------------------------------------------------------

namespace {
constexpr double kMinute = 60;
constexpr double kHour = 3600;
constexpr double kDay = 86400;
}  // namespace

// Upload and storage.
double MSRRemoteConfig::uploadingBackoffInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.backoff_period", 12 * kHour,
                                                 7 * kDay, kHour);
}
double MSRRemoteConfig::databaseDeleteStaleBundlesInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.stale_data_deletion_interval",
                                                 kDay, 7 * kDay, kHour);
}
double MSRRemoteConfig::maxQueueTime() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_queue_time", 28 * kDay,
                                                 91 * kDay, 7 * kDay);
}
int32_t MSRRemoteConfig::maxConversionsPerDay() {
    return intValueFromCacheWithKey("measurement.upload.max_conversions_per_day", 10000, 1000000, 0);
}
int32_t MSRRemoteConfig::maxEventsPerDay() {
    return intValueFromCacheWithKey("measurement.upload.max_events_per_day", 100000, 1000000, 0);
}
int32_t MSRRemoteConfig::maxPublicEventsPerDay() {
    return intValueFromCacheWithKey("measurement.upload.max_public_events_per_day", 50000, 1000000,
                                    0);
}
int32_t MSRRemoteConfig::maxErrorEventsPerDay() {
    return intValueFromCacheWithKey("measurement.upload.max_error_events_per_day", 1000, 1000000, 0);
}
int32_t MSRRemoteConfig::maxPublicUserProperties() {
    return intValueFromCacheWithKey("measurement.upload.max_public_user_properties", 100, 100, 25);
}
int32_t MSRRemoteConfig::maxEventNameCardinality() {
    return intValueFromCacheWithKey("measurement.upload.max_event_name_cardinality", 2000, 2000, 500);
}
int32_t MSRRemoteConfig::maxPublicEventParams() {
    return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 100, 100, 25);
}
int32_t MSRRemoteConfig::maxEventsStored() {
    return intValueFromCacheWithKey("measurement.store.max_stored_events_per_app", 100000, 1000000,
                                    0);
}
double MSRRemoteConfig::uploadingInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.interval", kHour, kDay, 15);
}
double MSRRemoteConfig::uploadingInitialDelayInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.initial_upload_delay_time", 15,
                                                 kDay, 1);
}
int64_t MSRRemoteConfig::uploadMaxBundlesLimit() {
    return int64ValueFromCacheWithKey("measurement.upload.max_bundles", 100, 10000, 1);
}
int64_t MSRRemoteConfig::uploadMaxEventsPerBundle() {
    return int64ValueFromCacheWithKey("measurement.upload.max_events_per_bundle", 1000, 1000000, 1);
}
int64_t MSRRemoteConfig::uploadMaxSizeLimitBytes() {
    return int64ValueFromCacheWithKey("measurement.upload.max_batch_size", 65536, 10485760, 0);
}
int32_t MSRRemoteConfig::uploadingRetryCount() {
    return intValueFromCacheWithKey("measurement.upload.retry_count", 6, 24, 1);
}
double MSRRemoteConfig::uploadingRetryInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.retry_time", 30 * kMinute,
                                                 kDay, kMinute);
}
int32_t MSRRemoteConfig::maxBundlesCreatedPerIteration() {
    // Sent multiplied by 1000, so it is read like a time and then truncated.
    double count = timeIntervalInSecondsFromCacheWithKey(
        "measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1);
    return toInteger<int32_t>(count);
}
int32_t MSRRemoteConfig::maxRealtimeEventCountPerDay() {
    return intValueFromCacheWithKey("measurement.upload.max_realtime_events_per_day", 10, 10, 0);
}
double MSRRemoteConfig::uploadingDebugModeInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.debug_upload_interval", 1, 15,
                                                 1);
}
double MSRRemoteConfig::uploadingRealTimeInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.upload.realtime_upload_interval", 10,
                                                 15, 10);
}
bool MSRRemoteConfig::blocklistInternal() {
    return boolValueFromCacheWithKey("measurement.upload.blacklist_internal", false);
}
bool MSRRemoteConfig::blocklistPublic() {
    return boolValueFromCacheWithKey("measurement.upload.blacklist_public", false);
}
bool MSRRemoteConfig::isEventSamplingEnabled() {
    return boolValueFromCacheWithKey("measurement.event_sampling_enabled", false);
}
int32_t MSRRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() {
    return intValueFromCacheWithKey("measurement.account.time_zone_offset_minutes", 0, 900, -900);
}
bool MSRRemoteConfig::checksumEnabled() {
    return boolValueFromCacheWithKey("measurement.quality.checksum", false);
}
int32_t MSRRemoteConfig::maxItemScopedCustomParameters() {
    return intValueFromCacheWithKey("measurement.upload.max_item_scoped_custom_parameters", 27, 35,
                                    10);
}
int32_t MSRRemoteConfig::maxPublicEventParameterValueLength() {
    return intValueFromCacheWithKey("measurement.upload.max_event_parameter_value_length", 500, 500,
                                    100);
}
double MSRRemoteConfig::remoteConfigCacheTimeInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.config.cache_time", kHour, kDay,
                                                 kMinute);
}
bool MSRRemoteConfig::DMAConsentEnabled() {
    return boolValueFromCacheWithKey("measurement.upload.dma_consent_enabled", true);
}

// Audiences.
int32_t MSRRemoteConfig::maxAudienceCount() {
    return intValueFromCacheWithKey("measurement.audience.max_count", 100, 500, 0);
}
int32_t MSRRemoteConfig::maxFiltersPerAudience() {
    return intValueFromCacheWithKey("measurement.audience.filter_max_count_per_audience", 10, 100, 0);
}
int32_t MSRRemoteConfig::maxFilterResultCount() {
    return intValueFromCacheWithKey("measurement.audience.filter_result_max_count", 200, 2000, 0);
}
int32_t MSRRemoteConfig::maxParametersPerFilter() {
    return intValueFromCacheWithKey("measurement.audience.parameter_max_count_filter", 25, 250, 0);
}

// Sessions, lifecycle and collection.
double MSRRemoteConfig::sessionDefaultMinimumInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_minimum_interval", 10,
                                                 kDay, 0);
}
double MSRRemoteConfig::sessionDefaultTimeoutInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_timeout_interval",
                                                 30 * kMinute, kDay, 0);
}
double MSRRemoteConfig::sessionEventUserEngagementInterval() {
    return timeIntervalInSecondsFromCacheWithKey(
        "measurement.session.event_user_engagement_interval", kHour, kDay, 0);
}
bool MSRRemoteConfig::efficientEngagementReportingEnabled() {
    return boolValueFromCacheWithKey(
        "measurement.collection.efficient_engagement_reporting_enabled", false);
}
bool MSRRemoteConfig::redundantEngagementRemovalEnabled() {
    return boolValueFromCacheWithKey("measurement.collection.redundant_engagement_removal_enabled",
                                     false);
}
bool MSRRemoteConfig::appBackgroundedEventEnabled() {
    return boolValueFromCacheWithKey("measurement.lifecycle.app_backgrounded_tracking", false);
}
bool MSRRemoteConfig::appInBackgroundParameterEnabled() {
    return boolValueFromCacheWithKey("measurement.lifecycle.app_in_background_parameter", true);
}
bool MSRRemoteConfig::itemScopedCustomParameterEnabled() {
    return boolValueFromCacheWithKey("measurement.item_scoped_custom_parameter_enabled", true);
}
bool MSRRemoteConfig::isSessionIDEnabled() {
    return boolValueFromCacheWithKey("measurement.api.session_id", true);
}
bool MSRRemoteConfig::sessionStitchingTokenFeatureEnabled() {
    std::function<std::optional<bool>(const std::string&)> provider;
    {
        std::lock_guard lock(mutex_);
        provider = experimentFlagProvider_;
    }
    if (provider) {
        if (auto flag = provider("session_stitching_token_feature_enabled")) return *flag;
    }
    return boolValueFromCacheWithKey("measurement.session_stitching_token_enabled", false);
}

// Network, identifiers and monitoring.
double MSRRemoteConfig::adIDCacheTime() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.ad_id_cache_time", 1, kDay, 0);
}
bool MSRRemoteConfig::gateIDFAOnATTMASEnabled() {
    return boolValueFromCacheWithKey("measurement.attmas_gate", false);
}
double MSRRemoteConfig::monitoringSamplePeriod() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.monitoring.sample_period_millis", kDay,
                                                 7 * kDay, 0);
}
bool MSRRemoteConfig::isNetworkBackgroundSessionEnabled() {
    return boolValueFromCacheWithKey("measurement.network.background_session_enabled", false);
}
double MSRRemoteConfig::networkTimeout() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.network.network_timeout", kMinute,
                                                 kHour, 30);
}
bool MSRRemoteConfig::isDeferredDeepLinkEnabled() {
    return boolValueFromCacheWithKey("measurement.ddl.enabled", true);
}
int32_t MSRRemoteConfig::maxDeferredDeepLinkRetryCount() {
    return intValueFromCacheWithKey("measurement.ddl.retry_count", 5, 10, 0);
}
double MSRRemoteConfig::attributionCacheTTLInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.attribution.cache.ttl", 7 * kDay,
                                                 30 * kDay, kDay);
}

// Lifetime value.
int32_t MSRRemoteConfig::maxTrackedCurrencies() {
    return intValueFromCacheWithKey("measurement.lifetimevalue.max_currency_tracked", 4, 100, 1);
}

// Consent and regional rules.
bool MSRRemoteConfig::tcfFeatureEnabled() {
    return boolValueFromCacheWithKey("measurement.tcf_enabled", true);
}
bool MSRRemoteConfig::dcuEventFeatureEnabled() {
    return boolValueFromCacheWithKey("measurement.dma.dcu_event_enabled", true);
}
int32_t MSRRemoteConfig::maxRealtimeDCUEventCountPerDay() {
    return intValueFromCacheWithKey("measurement.dma.dcu_event_max_realtime_daily_count", 1, 10, 0);
}
bool MSRRemoteConfig::regionalDefaultsEnabled() {
    {
        std::lock_guard lock(mutex_);
        auto it = cachedExperimentFlags_.find("regional_defaults_enabled");
        if (it != cachedExperimentFlags_.end()) return it->second;
    }
    return boolValueFromCacheWithKey("measurement.regional_defaults_enabled", true);
}

// On-device conversion measurement.
bool MSRRemoteConfig::PSMFeatureEnabled() {
    return boolValueFromCacheWithKey("measurement.psm_enabled", true);
}
int32_t MSRRemoteConfig::maxPSMStartCount() {
    if (monitor().isDebugModeEnabled()) return 10;
    return intValueFromCacheWithKey("measurement.psm_start_count", 3, 10, 0);
}
int32_t MSRRemoteConfig::maxPSMRetryCount() {
    return intValueFromCacheWithKey("measurement.psm_retry_count", 5, 10, 0);
}
double MSRRemoteConfig::PSMRetryInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.psm_retry_interval", 5 * kMinute,
                                                 30 * kMinute, 30);
}
int32_t MSRRemoteConfig::hashPrefixBitLengthEmail() {
    return intValueFromCacheWithKey("measurement.psm_prefix_email", 14, 20, 6);
}
int32_t MSRRemoteConfig::hashPrefixBitLengthPhone() {
    return intValueFromCacheWithKey("measurement.psm_prefix_phone", 11, 18, 6);
}
int32_t MSRRemoteConfig::maxSignInDelayInDays() {
    return intValueFromCacheWithKey("measurement.psm_signin_delay", 60, 90, 7);
}

// Ad-network conversion values.
bool MSRRemoteConfig::SKANUpdateConversionValueEnabled() {
    return boolValueFromCacheWithKey("measurement.skan.update_conversion_value_enabled", false);
}
double MSRRemoteConfig::SKANInitialCVFetchDelay() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.skan.initial_cv_fetch_delay_sec",
                                                 2 * kMinute, kHour, 30);
}
double MSRRemoteConfig::SKANCVFetchRetryInterval() {
    return timeIntervalInSecondsFromCacheWithKey("measurement.skan.cv_fetch_retry_interval_sec",
                                                 2 * kMinute, kHour, 30);
}
int32_t MSRRemoteConfig::SKANCVFetchRetryLimit() {
    return intValueFromCacheWithKey("measurement.skan.cv_fetch_retry_limit", 4, 10, 1);
}
double MSRRemoteConfig::SKANFirstWindowCVFetchDelay() {
    return timeIntervalInSecondsFromCacheWithKey(
        "measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, kHour, 1);
}
double MSRRemoteConfig::SKANFirstWindowCVFetchRetryInterval() {
    return timeIntervalInSecondsFromCacheWithKey(
        "measurement.skan.first_window.cv_fetch_retry_interval_sec", 2 * kMinute, kHour, 30);
}
int32_t MSRRemoteConfig::SKANFirstWindowCVFetchRetryLimit() {
    return intValueFromCacheWithKey("measurement.skan.first_window.cv_fetch_retry_limit", 4, 10, 1);
}
double MSRRemoteConfig::SKANFirstWindowUploadInterval() {
    return timeIntervalInSecondsFromCacheWithKey(
        "measurement.skan.first_window.upload_interval_sec", 30 * kMinute, kDay, 15);
}

int32_t MSRRemoteConfig::maxInternalEventParameterValueLength() {
    const int32_t publicLength = maxPublicEventParameterValueLength();
    return publicLength > 256 ? publicLength : 256;
}
