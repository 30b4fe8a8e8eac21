#pragma once

#include <atomic>
#include <unordered_map>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

class MSRError;
class MSRMonitor;
class MSRPBMeasurementConfig;
class MSRPEventEditing;

// A setting as the server's measurement configuration delivers it (a text) or
// as the engine caches it once read (a number).
using MSRSettingValue = std::variant<std::string, int64_t, double>;

// What the server's configuration says about one event (stored under the
// event's internal name).
struct MSREventConfig {
    std::string name;
    bool blocklisted = false;
    std::optional<bool> customConversion;
    std::optional<int32_t> samplingRate;
};

// The experiments client as the settings see it: it activates the newest
// fetched snapshot and answers its flags.
class MSRExperimentClient {
public:
    virtual ~MSRExperimentClient() = default;
    virtual bool activateLatestSnapshot(MSRError* error) = 0;
    virtual std::optional<bool> flagValue(const std::string& name) = 0;
};

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
    virtual ~MSRRemoteConfig();

    // ---- filled by the measurement configuration -------------------------

    // Replaces every cached setting with the server's values (name -> text,
    // or a number that the configuration delivers as a number; numbers are
    // taken as they are, without a range check).
    void setServerSettings(const std::map<std::string, MSRSettingValue>& settings);
    // Empties the cache and forgets the parsed configuration: every getter
    // answers its default again.
    virtual void reset();
    // Moves on with every change of the settings, the experiment flags and
    // the parsed configuration: while it stays, so do the answers.
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
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

    // ---- the server's measurement configuration --------------------------
    //
    // This class answers as the default instance: no application, no
    // database, nothing stored. The instance the engine runs with derives
    // from it (MSRDatabaseRemoteConfig) and keeps the configuration in the
    // analytics database; the parsed answers below live here so that every
    // module can read them.

    // The process-wide measurement endpoint base ("https://host:port"); empty
    // when none is configured, and then nothing is sent anywhere. The value
    // set here wins over the application bundle's "CalvaroMeasurementURL".
    static void setMeasurementURL(std::optional<std::string> baseURL);
    static std::string measurementURL();
    // What the bundle says, given by whoever can read it (the engine).
    static void setBundleMeasurementURL(std::optional<std::string> baseURL);

    virtual bool isDefaultInstance() const { return true; }
    std::string appID() const;

    // Checks, stores and parses a fetched configuration (worker queue).
    virtual bool updateMeasurementConfig(const MSRPBMeasurementConfig& config);
    // Seconds since 1970 of the stored configuration, 0 when there is none.
    virtual double lastRemoteConfigUpdateTimestamp();
    bool isExpired();
    // The stored configuration's version, -1 without one.
    int64_t version() const;
    std::optional<std::string> uploadSubdomain() const;
    // The upload endpoint; empty when no endpoint base is configured.
    std::string uploadURL() const;
    // The configuration endpoint with its query; nothing for a missing
    // platform (logged) and empty when no endpoint base is configured.
    std::optional<std::string> remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                           int64_t SDKVersion, int64_t runtimeVersion) const;

    std::optional<MSREventConfig> eventConfigWithName(const std::string& name) const;
    bool isEventBlocklisted(const std::string& name);
    bool isEventCustomConversion(const std::string& name) const;
    bool eventHasSamplingRate(const std::string& name) const;
    // 1 (no sampling) unless the configured rate lies in 2..65535.
    int32_t samplingRateForEvent(const std::string& name) const;

    std::vector<std::string> dataControls() const;
    std::map<std::string, std::string> consentDefaults() const;
    std::map<std::string, std::string> consentDelegations() const;
    std::map<std::string, std::string> regionalDefaults() const;
    std::set<std::string> corePlatformServices() const;
    bool isDMARegion() const;
    // The loaded event-editing program, or null.
    std::shared_ptr<MSRPEventEditing> eventEditing() const;

    // ---- experiments -----------------------------------------------------
    virtual std::vector<int64_t> experimentIDs();
    void setExperimentClient(std::shared_ptr<MSRExperimentClient> client);
    // False when no snapshot waits or its activation failed (logged).
    bool activateNewSnapshot();
    void updateCachedExperimentFlags();
    void clientDidReceiveNewSnapshot();
    void clientDidReceiveFetchError(const MSRError* error);

protected:
    // The parsed parts of a configuration, written by the parse.
    struct ConsentConfiguration {
        std::map<std::string, std::string> defaults;
        std::map<std::string, std::string> delegations;
        std::set<std::string> corePlatformServices;
        bool isDMARegion = true;
        std::map<std::string, std::string> regionalDefaults;
    };
    void setAppID(std::string appID);
    void setStoredConfigurationFacts(std::optional<int64_t> version, std::optional<std::string> uploadSubdomain);
    void setEventConfigs(std::map<std::string, MSREventConfig> configs);
    void setDataControls(std::vector<std::string> dataControls);
    void setConsentConfiguration(ConsentConfiguration consent);
    void setEventEditing(std::shared_ptr<MSRPEventEditing> eventEditing);
    // Forgets what the parse filled (the event-editing program stays).
    void resetParsedConfiguration();
    MSRMonitor& monitorRef() const { return monitor(); }

private:
    MSRMonitor& monitor() const;

    std::shared_ptr<MSRMonitor> monitor_;
    mutable std::mutex mutex_;
    std::atomic<uint64_t> generation_{0};
    // The settings' checked values by key (the getter's own text), with the
    // generation they were read in.
    struct SettingMemo {
        uint64_t generation;
        std::variant<bool, int32_t, int64_t, double> value;
    };
    mutable std::mutex memoMutex_;
    std::unordered_map<const void*, SettingMemo> settingMemo_;
    template <typename T, typename Read>
    T memoized(const char* key, Read read);
    void changed() { generation_.fetch_add(1, std::memory_order_acq_rel); }
    std::map<std::string, MSRSettingValue> cachedValueByRemoteConfigKeys_;
    std::map<std::string, bool> cachedExperimentFlags_;
    std::function<std::optional<bool>(const std::string&)> experimentFlagProvider_;

    // The parsed configuration, guarded by its own lock.
    mutable std::mutex parsedMutex_;
    std::string appID_;
    std::optional<int64_t> version_;
    std::optional<std::string> uploadSubdomain_;
    std::map<std::string, MSREventConfig> cachedEventConfigByEventName_;
    std::vector<std::string> cachedDataControls_;
    ConsentConfiguration consent_;
    std::shared_ptr<MSRPEventEditing> eventEditing_;
    std::shared_ptr<MSRExperimentClient> experimentClient_;
    bool hasNewSnapshot_ = false;
};
