#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

class MSRMonitor;

// A setting as the server's measurement configuration delivers it (a text) or
// as the engine caches it once read (a number).
using MSRSettingValue = std::variant<std::string, int64_t, double>;

// The engine's tuning: every interval, limit and switch the server may change,
// each with a default and an accepted range. The server's values arrive as
// texts through setServerSettings(); a getter reads its text once, checks it
// against the range and caches the number. A value that is missing,
// unreadable or out of range answers the default.
//
// Getters may run beside a refill of the settings from any thread.
class MSRRemoteConfig {
public:
    // Conversion applied to a server number before its range check.
    using NumberBlock = std::function<std::optional<MSRSettingValue>(const MSRSettingValue&)>;

    // The instance without application or database: every getter answers its
    // default until settings are given to it.
    static std::shared_ptr<MSRRemoteConfig> defaultInstance();

    // `monitor` receives the lookups' log lines and tells the debug mode; the
    // shared monitor when null.
    explicit MSRRemoteConfig(std::shared_ptr<MSRMonitor> monitor = nullptr);
    ~MSRRemoteConfig();

    // ---- filled by the measurement configuration -------------------------

    // Replaces every cached setting with the server's values (name -> text,
    // or a number that the configuration delivers as a number; numbers are
    // taken as they are, without a range check).
    void setServerSettings(const std::map<std::string, MSRSettingValue>& settings);
    // Empties the cache: every getter answers its default again.
    void reset();
    // Flags of the experiments client, consulted by the getters that an
    // experiment may override. The answer is nothing when the client has no
    // such flag.
    void setExperimentFlagProvider(std::function<std::optional<bool>(const std::string&)> provider);
    // Experiment flags cached with the configuration.
    void setCachedExperimentFlags(std::map<std::string, bool> flags);

    // ---- lookups ---------------------------------------------------------

    std::optional<MSRSettingValue> numberFromCacheWithKey(
        const std::string& key, const MSRSettingValue& defaultValue,
        const std::optional<MSRSettingValue>& maxValue,
        const std::optional<MSRSettingValue>& minValue, const NumberBlock& block = {});
    double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                                 double maxValue, double minValue);
    int32_t intValueFromCacheWithKey(const std::string& key, int32_t defaultValue,
                                     int32_t maxValue, int32_t minValue);
    int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue,
                                       int64_t maxValue, int64_t minValue);
    int64_t int64ValueFromCacheWithKey(const std::string& key, int64_t defaultValue);
    bool boolValueFromCacheWithKey(const std::string& key, bool defaultValue);
    // Stores and returns the value; an empty value or name is refused (logged).
    std::optional<MSRSettingValue> cacheValue(const std::optional<MSRSettingValue>& value,
                                              const std::string& key);
    std::optional<MSRSettingValue> cachedValueForKey(const std::string& key) const;
    // A number through the en_US decimal reader; nothing for other texts.
    static std::optional<MSRSettingValue> numberFromString(const std::string& text);

    // ---- upload and storage ----------------------------------------------
    double uploadingBackoffInterval();
    double databaseDeleteStaleBundlesInterval();
    double maxQueueTime();
    int32_t maxConversionsPerDay();
    int32_t maxEventsPerDay();
    int32_t maxPublicEventsPerDay();
    int32_t maxErrorEventsPerDay();
    int32_t maxPublicUserProperties();
    int32_t maxEventNameCardinality();
    int32_t maxPublicEventParams();
    int32_t maxEventsStored();
    double uploadingInterval();
    double uploadingInitialDelayInterval();
    int64_t uploadMaxBundlesLimit();
    int64_t uploadMaxEventsPerBundle();
    int64_t uploadMaxSizeLimitBytes();
    int32_t uploadingRetryCount();
    double uploadingRetryInterval();
    int32_t maxBundlesCreatedPerIteration();
    int32_t maxRealtimeEventCountPerDay();
    double uploadingDebugModeInterval();
    double uploadingRealTimeInterval();
    bool blocklistInternal();
    bool blocklistPublic();
    bool isEventSamplingEnabled();
    int32_t analyticsAccountTimeZoneOffsetMinutes();
    bool checksumEnabled();
    int32_t maxItemScopedCustomParameters();
    int32_t maxPublicEventParameterValueLength();
    double remoteConfigCacheTimeInterval();
    bool DMAConsentEnabled();

    // ---- audiences -------------------------------------------------------
    int32_t maxAudienceCount();
    int32_t maxFiltersPerAudience();
    int32_t maxFilterResultCount();
    int32_t maxParametersPerFilter();

    // ---- sessions, lifecycle and collection ------------------------------
    double sessionDefaultMinimumInterval();
    double sessionDefaultTimeoutInterval();
    double sessionEventUserEngagementInterval();
    bool efficientEngagementReportingEnabled();
    bool redundantEngagementRemovalEnabled();
    bool appBackgroundedEventEnabled();
    bool appInBackgroundParameterEnabled();
    bool itemScopedCustomParameterEnabled();
    bool isSessionIDEnabled();
    bool sessionStitchingTokenFeatureEnabled();

    // ---- network, identifiers and monitoring -----------------------------
    double adIDCacheTime();
    bool gateIDFAOnATTMASEnabled();
    double monitoringSamplePeriod();
    bool isNetworkBackgroundSessionEnabled();
    double networkTimeout();
    bool isDeferredDeepLinkEnabled();
    int32_t maxDeferredDeepLinkRetryCount();
    double attributionCacheTTLInterval();

    // ---- lifetime value --------------------------------------------------
    int32_t maxTrackedCurrencies();

    // ---- consent and regional rules --------------------------------------
    bool tcfFeatureEnabled();
    bool dcuEventFeatureEnabled();
    int32_t maxRealtimeDCUEventCountPerDay();
    bool regionalDefaultsEnabled();

    // ---- on-device conversion measurement --------------------------------
    bool PSMFeatureEnabled();
    int32_t maxPSMStartCount();
    int32_t maxPSMRetryCount();
    double PSMRetryInterval();
    int32_t hashPrefixBitLengthEmail();
    int32_t hashPrefixBitLengthPhone();
    int32_t maxSignInDelayInDays();

    // ---- ad-network conversion values ------------------------------------
    bool SKANUpdateConversionValueEnabled();
    double SKANInitialCVFetchDelay();
    double SKANCVFetchRetryInterval();
    int32_t SKANCVFetchRetryLimit();
    double SKANFirstWindowCVFetchDelay();
    double SKANFirstWindowCVFetchRetryInterval();
    int32_t SKANFirstWindowCVFetchRetryLimit();
    double SKANFirstWindowUploadInterval();

    // ---- derived ---------------------------------------------------------
    // The public limit when it exceeds 256, else 256.
    int32_t maxInternalEventParameterValueLength();

private:
    MSRMonitor& monitor() const;

    std::shared_ptr<MSRMonitor> monitor_;
    mutable std::mutex mutex_;
    std::map<std::string, MSRSettingValue> cachedValueByRemoteConfigKeys_;
    std::map<std::string, bool> cachedExperimentFlags_;
    std::function<std::optional<bool>(const std::string&)> experimentFlagProvider_;
};
