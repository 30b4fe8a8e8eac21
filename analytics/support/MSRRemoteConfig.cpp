#include "analytics/support/MSRRemoteConfig.h"

#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNumericUtil.h"

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
    return MSRSaturatingInteger<Int>(toDouble(value));
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
    changed();
    cachedValueByRemoteConfigKeys_ = settings;
}

void MSRRemoteConfig::reset() {
    {
        std::lock_guard lock(mutex_);
        changed();
        cachedValueByRemoteConfigKeys_.clear();
        cachedExperimentFlags_.clear();
    }
    resetParsedConfiguration();
}

void MSRRemoteConfig::setExperimentFlagProvider(
    std::function<std::optional<bool>(const std::string&)> provider) {
    std::lock_guard lock(mutex_);
    changed();
    experimentFlagProvider_ = std::move(provider);
}

void MSRRemoteConfig::setCachedExperimentFlags(std::map<std::string, bool> flags) {
    std::lock_guard lock(mutex_);
    changed();
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
    auto [entry, inserted] = cachedValueByRemoteConfigKeys_.try_emplace(key, *value);
    if (!inserted && entry->second != *value) {
        entry->second = *value;
        changed();
    } else if (inserted) {
        changed();
    }
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

// The readers of the table below, by kind of setting. Each takes the default,
// minimum and maximum in the getter's unit.

// Times travel as whole milliseconds.
double seconds(MSRRemoteConfig& config, const char* key, double defaultValue, double minimum,
               double maximum) {
    return config.timeIntervalInSecondsFromCacheWithKey(key, defaultValue, maximum, minimum);
}

int32_t integer(MSRRemoteConfig& config, const char* key, int32_t defaultValue, int32_t minimum,
                int32_t maximum) {
    return config.intValueFromCacheWithKey(key, defaultValue, maximum, minimum);
}

int64_t integer64(MSRRemoteConfig& config, const char* key, int64_t defaultValue, int64_t minimum,
                  int64_t maximum) {
    return config.int64ValueFromCacheWithKey(key, defaultValue, maximum, minimum);
}

// A switch is an integer of the range 0..1, on when 1.
bool flag(MSRRemoteConfig& config, const char* key, int defaultValue, int /*minimum*/,
          int /*maximum*/) {
    return config.boolValueFromCacheWithKey(key, defaultValue == 1);
}

// A count the server sends multiplied by 1000: read like a time, then truncated.
int32_t count(MSRRemoteConfig& config, const char* key, double defaultValue, double minimum,
              double maximum) {
    return toInteger<int32_t>(seconds(config, key, defaultValue, minimum, maximum));
}

}  // namespace

// Every setting: getter, kind, name, default, minimum, maximum.
// A setting is read and checked once per state of the configuration: the
// events ask for the same few on every write.
template <typename T, typename Read>
T MSRRemoteConfig::memoized(const char* key, Read read) {
    const uint64_t generation = this->generation();
    {
        std::lock_guard lock(memoMutex_);
        auto found = settingMemo_.find(key);
        if (found != settingMemo_.end() && found->second.generation == generation)
            return std::get<T>(found->second.value);
    }
    T value = read();
    std::lock_guard lock(memoMutex_);
    // Reading may have stored the checked value (a new generation); the
    // next read keeps it then.
    settingMemo_.insert_or_assign(key, SettingMemo{this->generation() == generation ? generation : ~uint64_t{0}, value});
    return value;
}

#define MSR_SETTING(type, getter, kind, key, defaultValue, minimum, maximum)                           \
    type MSRRemoteConfig::getter() {                                                                     \
        static constexpr const char* kKey = key;                                                       \
        return memoized<type>(kKey, [this] { return kind(*this, kKey, defaultValue, minimum, maximum); }); \
    }

// clang-format off
// Upload and storage.
MSR_SETTING(double, uploadingBackoffInterval, seconds, "measurement.upload.backoff_period", 43200, 3600, 604800)
MSR_SETTING(double, databaseDeleteStaleBundlesInterval, seconds, "measurement.upload.stale_data_deletion_interval", 86400, 3600, 604800)
MSR_SETTING(double, maxQueueTime, seconds, "measurement.upload.max_queue_time", 2419200, 604800, 7862400)
MSR_SETTING(int32_t, maxConversionsPerDay, integer, "measurement.upload.max_conversions_per_day", 10000, 0, 1000000)
MSR_SETTING(int32_t, maxEventsPerDay, integer, "measurement.upload.max_events_per_day", 100000, 0, 1000000)
MSR_SETTING(int32_t, maxPublicEventsPerDay, integer, "measurement.upload.max_public_events_per_day", 50000, 0, 1000000)
MSR_SETTING(int32_t, maxErrorEventsPerDay, integer, "measurement.upload.max_error_events_per_day", 1000, 0, 1000000)
MSR_SETTING(int32_t, maxPublicUserProperties, integer, "measurement.upload.max_public_user_properties", 100, 25, 100)
MSR_SETTING(int32_t, maxEventNameCardinality, integer, "measurement.upload.max_event_name_cardinality", 2000, 500, 2000)
MSR_SETTING(int32_t, maxPublicEventParams, integer, "measurement.upload.max_public_event_params", 100, 25, 100)
MSR_SETTING(int32_t, maxEventsStored, integer, "measurement.store.max_stored_events_per_app", 100000, 0, 1000000)
MSR_SETTING(double, uploadingInterval, seconds, "measurement.upload.interval", 3600, 15, 86400)
MSR_SETTING(double, uploadingInitialDelayInterval, seconds, "measurement.upload.initial_upload_delay_time", 15, 1, 86400)
MSR_SETTING(int64_t, uploadMaxBundlesLimit, integer64, "measurement.upload.max_bundles", 100, 1, 10000)
MSR_SETTING(int64_t, uploadMaxEventsPerBundle, integer64, "measurement.upload.max_events_per_bundle", 1000, 1, 1000000)
MSR_SETTING(int64_t, uploadMaxSizeLimitBytes, integer64, "measurement.upload.max_batch_size", 65536, 1, 10485760)
MSR_SETTING(int32_t, uploadingRetryCount, integer, "measurement.upload.retry_count", 6, 1, 24)
MSR_SETTING(double, uploadingRetryInterval, seconds, "measurement.upload.retry_time", 1800, 60, 86400)
MSR_SETTING(int32_t, maxBundlesCreatedPerIteration, count, "measurement.upload.max_bundles_created_per_iteration", 100, 1, 10000)
MSR_SETTING(int32_t, maxRealtimeEventCountPerDay, integer, "measurement.upload.max_realtime_events_per_day", 10, 0, 10)
MSR_SETTING(double, uploadingDebugModeInterval, seconds, "measurement.upload.debug_upload_interval", 1, 1, 15)
MSR_SETTING(double, uploadingRealTimeInterval, seconds, "measurement.upload.realtime_upload_interval", 10, 10, 15)
MSR_SETTING(bool, blocklistInternal, flag, "measurement.upload.blacklist_internal", 0, 0, 1)
MSR_SETTING(bool, blocklistPublic, flag, "measurement.upload.blacklist_public", 0, 0, 1)
MSR_SETTING(bool, isEventSamplingEnabled, flag, "measurement.event_sampling_enabled", 0, 0, 1)
MSR_SETTING(int32_t, analyticsAccountTimeZoneOffsetMinutes, integer, "measurement.account.time_zone_offset_minutes", 0, -900, 900)
MSR_SETTING(bool, checksumEnabled, flag, "measurement.quality.checksum", 0, 0, 1)
MSR_SETTING(int32_t, maxItemScopedCustomParameters, integer, "measurement.upload.max_item_scoped_custom_parameters", 27, 10, 35)
MSR_SETTING(int32_t, maxPublicEventParameterValueLength, integer, "measurement.upload.max_event_parameter_value_length", 500, 100, 500)
MSR_SETTING(double, remoteConfigCacheTimeInterval, seconds, "measurement.config.cache_time", 3600, 60, 86400)
MSR_SETTING(bool, DMAConsentEnabled, flag, "measurement.upload.dma_consent_enabled", 1, 0, 1)

// Audiences.
MSR_SETTING(int32_t, maxAudienceCount, integer, "measurement.audience.max_count", 100, 0, 500)
MSR_SETTING(int32_t, maxFiltersPerAudience, integer, "measurement.audience.filter_max_count_per_audience", 10, 0, 100)
MSR_SETTING(int32_t, maxFilterResultCount, integer, "measurement.audience.filter_result_max_count", 200, 0, 2000)
MSR_SETTING(int32_t, maxParametersPerFilter, integer, "measurement.audience.parameter_max_count_filter", 25, 0, 250)

// Sessions, lifecycle and collection.
MSR_SETTING(double, sessionDefaultMinimumInterval, seconds, "measurement.session.default_minimum_interval", 10, 0, 86400)
MSR_SETTING(double, sessionDefaultTimeoutInterval, seconds, "measurement.session.default_timeout_interval", 1800, 0, 86400)
MSR_SETTING(double, sessionEventUserEngagementInterval, seconds, "measurement.session.event_user_engagement_interval", 3600, 0, 86400)
MSR_SETTING(bool, efficientEngagementReportingEnabled, flag, "measurement.collection.efficient_engagement_reporting_enabled", 0, 0, 1)
MSR_SETTING(bool, redundantEngagementRemovalEnabled, flag, "measurement.collection.redundant_engagement_removal_enabled", 0, 0, 1)
MSR_SETTING(bool, appBackgroundedEventEnabled, flag, "measurement.lifecycle.app_backgrounded_tracking", 0, 0, 1)
MSR_SETTING(bool, appInBackgroundParameterEnabled, flag, "measurement.lifecycle.app_in_background_parameter", 1, 0, 1)
MSR_SETTING(bool, itemScopedCustomParameterEnabled, flag, "measurement.item_scoped_custom_parameter_enabled", 1, 0, 1)
MSR_SETTING(bool, isSessionIDEnabled, flag, "measurement.api.session_id", 1, 0, 1)

// Network, identifiers and monitoring.
MSR_SETTING(double, adIDCacheTime, seconds, "measurement.ad_id_cache_time", 1, 0, 86400)
MSR_SETTING(bool, gateIDFAOnATTMASEnabled, flag, "measurement.attmas_gate", 0, 0, 1)
MSR_SETTING(double, monitoringSamplePeriod, seconds, "measurement.monitoring.sample_period_millis", 86400, 0, 604800)
MSR_SETTING(bool, isNetworkBackgroundSessionEnabled, flag, "measurement.network.background_session_enabled", 0, 0, 1)
MSR_SETTING(double, networkTimeout, seconds, "measurement.network.network_timeout", 60, 30, 3600)
MSR_SETTING(bool, isDeferredDeepLinkEnabled, flag, "measurement.ddl.enabled", 1, 0, 1)
MSR_SETTING(int32_t, maxDeferredDeepLinkRetryCount, integer, "measurement.ddl.retry_count", 5, 0, 10)
MSR_SETTING(double, attributionCacheTTLInterval, seconds, "measurement.attribution.cache.ttl", 604800, 86400, 2592000)

// Lifetime value.
MSR_SETTING(int32_t, maxTrackedCurrencies, integer, "measurement.lifetimevalue.max_currency_tracked", 4, 1, 100)

// Consent and regional rules.
MSR_SETTING(bool, tcfFeatureEnabled, flag, "measurement.tcf_enabled", 1, 0, 1)
MSR_SETTING(bool, dcuEventFeatureEnabled, flag, "measurement.dma.dcu_event_enabled", 1, 0, 1)
MSR_SETTING(int32_t, maxRealtimeDCUEventCountPerDay, integer, "measurement.dma.dcu_event_max_realtime_daily_count", 1, 0, 10)

// On-device conversion measurement.
MSR_SETTING(bool, PSMFeatureEnabled, flag, "measurement.psm_enabled", 1, 0, 1)
MSR_SETTING(int32_t, maxPSMRetryCount, integer, "measurement.psm_retry_count", 5, 0, 10)
MSR_SETTING(double, PSMRetryInterval, seconds, "measurement.psm_retry_interval", 300, 30, 1800)
MSR_SETTING(int32_t, hashPrefixBitLengthEmail, integer, "measurement.psm_prefix_email", 14, 6, 20)
MSR_SETTING(int32_t, hashPrefixBitLengthPhone, integer, "measurement.psm_prefix_phone", 11, 6, 18)
MSR_SETTING(int32_t, maxSignInDelayInDays, integer, "measurement.psm_signin_delay", 60, 7, 90)

// Ad-network conversion values.
MSR_SETTING(bool, SKANUpdateConversionValueEnabled, flag, "measurement.skan.update_conversion_value_enabled", 0, 0, 1)
MSR_SETTING(double, SKANInitialCVFetchDelay, seconds, "measurement.skan.initial_cv_fetch_delay_sec", 120, 30, 3600)
MSR_SETTING(double, SKANCVFetchRetryInterval, seconds, "measurement.skan.cv_fetch_retry_interval_sec", 120, 30, 3600)
MSR_SETTING(int32_t, SKANCVFetchRetryLimit, integer, "measurement.skan.cv_fetch_retry_limit", 4, 1, 10)
MSR_SETTING(double, SKANFirstWindowCVFetchDelay, seconds, "measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, 1, 3600)
MSR_SETTING(double, SKANFirstWindowCVFetchRetryInterval, seconds, "measurement.skan.first_window.cv_fetch_retry_interval_sec", 120, 30, 3600)
MSR_SETTING(int32_t, SKANFirstWindowCVFetchRetryLimit, integer, "measurement.skan.first_window.cv_fetch_retry_limit", 4, 1, 10)
MSR_SETTING(double, SKANFirstWindowUploadInterval, seconds, "measurement.skan.first_window.upload_interval_sec", 1800, 15, 86400)
// clang-format on

#undef MSR_SETTING

// ---- getters an experiment or the debug mode may override ------------------------

bool MSRRemoteConfig::sessionStitchingTokenFeatureEnabled() {
    std::function<std::optional<bool>(const std::string&)> provider;
    {
        std::lock_guard lock(mutex_);
        provider = experimentFlagProvider_;
    }
    if (provider) {
        if (auto experiment = provider("session_stitching_token_feature_enabled")) return *experiment;
    }
    return flag(*this, "measurement.session_stitching_token_enabled", 0, 0, 1);
}

bool MSRRemoteConfig::regionalDefaultsEnabled() {
    {
        std::lock_guard lock(mutex_);
        auto it = cachedExperimentFlags_.find("regional_defaults_enabled");
        if (it != cachedExperimentFlags_.end()) return it->second;
    }
    return flag(*this, "measurement.regional_defaults_enabled", 1, 0, 1);
}

int32_t MSRRemoteConfig::maxPSMStartCount() {
    if (monitor().isDebugModeEnabled()) return 10;
    return integer(*this, "measurement.psm_start_count", 3, 0, 10);
}

int32_t MSRRemoteConfig::maxInternalEventParameterValueLength() {
    const int32_t publicLength = maxPublicEventParameterValueLength();
    return publicLength > 256 ? publicLength : 256;
}
