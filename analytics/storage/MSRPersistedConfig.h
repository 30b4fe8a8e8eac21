#pragma once

// The engine's small persistent state outside the database: upload and
// back-off times, identifiers, fetch validators, session and deep-link
// bookkeeping, conversion-value timing and the random midnight offset. Each
// property is one key "/zevure/measurement/<suffix>" of a persistent
// dictionary named after the configuration's suite; the measurement-enabled
// state alone lives in the application's own preferences.
//
// Reads and writes run synchronously on the configuration's serial queue, so
// they must not be called from a block already running on it.

#include <atomic>
#include <unordered_map>
#include <variant>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/storage/MSRConfigStore.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SerialQueue.h"

class MSRPersistedConfig : public std::enable_shared_from_this<MSRPersistedConfig> {
  public:
    static constexpr const char* kKeyPrefix = "/zevure/measurement/";
    // The engine's suite, also the name of the configuration's file.
    static constexpr const char* kSuiteName = "app.calvaro.analytics.measurement";
    static constexpr double kSynchronizeDelay = 1.0;

    // Created on first use with kSuiteName; null (logged) when that failed.
    static std::shared_ptr<MSRPersistedConfig> sharedInstance();
    // Replaces the shared instance (null: the next call creates a fresh one).
    static void setSharedInstance(std::shared_ptr<MSRPersistedConfig> config);

    // Null for an empty name. Without a usable file every read gives the value
    // of an empty store and every write is dropped.
    static std::shared_ptr<MSRPersistedConfig> initWithSuiteName(const std::string& name);
    ~MSRPersistedConfig();

    const std::string& name() const { return name_; }
    // Moves on after every write: while it stays, every value read before
    // is still the stored one.
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

    // --- Generic typed access (key is the full key) ---
    bool boolForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key, MSRConfigStore& userDefault);
    double doubleForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    std::optional<foundation::Value::Dictionary> dictionaryForKey(const std::string& key);
    foundation::Value numberForKey(const std::string& key);
    void setBool(bool value, const std::string& key);
    void setInt64(int64_t value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);
    void setDictionary(const std::optional<foundation::Value::Dictionary>& value, const std::string& key);
    void setNumber(const foundation::Value& value, const std::string& key);

    void clearValues();
    // Settles every stored time the engine reads at start, once, before
    // anything reads them, against `now` (the start's own time), each by
    // the rule its row in the table of stored times names (MSRStoredTime.h):
    // a time its reader mirrors with |now - t| stays as stored, a failure
    // ahead of the clock becomes `now`, a back-off ahead of it is none, and
    // one that is no finite number is removed. The load time, which the
    // session of the first start begins at, is none at or below 0 or before
    // the first open (the start then takes its own), and `now` when ahead.
    // Stored counts are settled too: one that no count of this engine's can
    // be (negative, or past int64_t as a real) is removed, and counts anew.
    void settleStoredTimes(double now);
    // One stored time in seconds, read against `now` by its row's rule (as
    // above) and written back where that changes it.
    using StoredSeconds = double (MSRPersistedConfig::*)();
    using SetStoredSeconds = void (MSRPersistedConfig::*)(const double&);
    double settledSeconds(StoredSeconds read, double now);
    void scheduleSynchronizeToDisk();
    void cancelScheduledSynchronize();
    void synchronizeToDisk();

    // --- Properties ---
    // Each (value type, getter, setter, key suffix) row is a property read and
    // written through the generic access of its type: double, int64, flag
    // (bool over an int64), text, or a raw value read and written as stored
    // without scheduling a synchronize.
    using Text = std::optional<std::string>;
    using Raw = foundation::Value;
#define MSR_PERSISTED_CONFIG_PROPERTIES(X)                                                                   \
    X(double, lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp, "last_delete_stale")      \
    X(double, lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp,                                   \
      "search_ad_last_attempt_timestamp")                                                                    \
    X(int64_t, searchAdRetryCount, setSearchAdRetryCount, "search_ad_number_of_retries")                     \
    X(Text, appInstanceID, setAppInstanceID, "app_instance_id")                                              \
    X(Text, appIDFromZMP, setAppIDFromZMP, "zmp_app_id")                                                     \
    X(Text, appIDFromAdzev, setAppIDFromAdzev, "adzev_app_id")                                               \
    X(Text, hashedResettableDeviceID, setHashedResettableDeviceID, "hashed_idfa")                            \
    X(Text, diversionKey, setDiversionKey, "diversion_key")                                                  \
    X(double, lastBackoffTimestamp, setLastBackoffTimestamp, "last_backoff")                                 \
    X(double, lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp, "last_successful_upload")     \
    X(double, lastFailedUploadTimestamp, setLastFailedUploadTimestamp, "last_failed_upload")                 \
    X(Text, appVersion, setAppVersion, "app_version")                                                        \
    X(Text, osVersion, setOSVersion, "os_version")                                                           \
    X(double, lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp,                           \
      "last_monitor_data_sampled_timestamp")                                                                 \
    X(int64_t, firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds, "first_open_timestamp_ms") \
    X(Text, configServerETag, setConfigServerETag, "config_etag")                                            \
    X(Raw, loadTimestampValue, setLoadTimestampValue, "load_timestamp")                                      \
    X(Raw, allowPersonalizedAds, setAllowPersonalizedAds, "allow_personalized_ads")                          \
    X(Text, vuzedezoFeatureRollouts, setVuzedezoFeatureRollouts, "vuzedezo_feature_rollouts")                \
    X(Raw, deferredDeepLinkRetrievalComplete, setDeferredDeepLinkRetrievalComplete,                          \
      "deep_link_retrieval_complete")                                                                        \
    X(int64_t, deferredDeepLinkRetryCount, setDeferredDeepLinkRetryCount, "deep_link_retry_count")           \
    X(bool, shouldSetLastAdvertisingIDResetUserProperty, setShouldSetLastAdvertisingIDResetUserProperty,     \
      "set_last_advertising_id_reset")                                                                       \
    X(bool, unmatchedFirstOpenWithoutIDFA, setUnmatchedFirstOpenWithoutIDFA, "unmatched_first_open")         \
    X(Text, previousBundledConsentSignals, setPreviousBundledConsentSignals,                                 \
      "previous_bundled_consent_signals")                                                                    \
    X(double, lastSessionActivityClockTime, setLastSessionActivityClockTime, "last_engagement_end")          \
    X(int64_t, sessionNumber, setSessionNumber, "session_number")                                            \
    X(int64_t, droppedSessionStarts, setDroppedSessionStarts, "dropped_session_starts")                      \
    X(int64_t, lastUploadedEventTimestampMillis, setLastUploadedEventTimestampMillis,                        \
      "last_uploaded_event_millis")                                                                          \
    X(int64_t, SKANEvaluationEventTimeMillis, setSKANEvaluationEventTimeMillis,                              \
      "skan_evaluation_event_time_millis")                                                                   \
    X(int64_t, SKANEvaluationUpdateBackoffMillis, setSKANEvaluationUpdateBackoffMillis,                      \
      "skan_evaluation_update_backoff_millis")                                                               \
    X(int64_t, lastBundleIndex, setLastBundleIndex, "last_bundle_index")
#define MSR_DECLARE_PROPERTY(Type, getter, setter, suffix) \
    Type getter();                                         \
    void setter(const Type& value);
    MSR_PERSISTED_CONFIG_PROPERTIES(MSR_DECLARE_PROPERTY)
#undef MSR_DECLARE_PROPERTY

    // Properties with an access of their own.
    // Read and written on the store directly; only numbers are stored.
    foundation::Value searchAdCampaignValue();
    void setSearchAdCampaignValue(const foundation::Value& value);
    // Kept in the application's own preferences, so it survives clearValues.
    int64_t measurementEnabledState();
    void setMeasurementEnabledState(int64_t value);
    // Seconds in [0, 86400), whole milliseconds; drawn once and kept.
    double midnightOffset();
    // Read as stored, written as text.
    Text configServerLastModifiedString();
    void setConfigServerLastModifiedString(const Text& value);
    // A number as stored (no kind check on reading).
    foundation::Value previousFirstOpenCount();
    void setPreviousFirstOpenCount(const foundation::Value& value);
    // Raw, but its write schedules a synchronize.
    std::optional<foundation::Value::Bytes> adCampaignInfoBuffer();
    void setAdCampaignInfoBuffer(const std::optional<foundation::Value::Bytes>& value);
    std::optional<foundation::Value::Dictionary> defaultEventParameters();
    void setDefaultEventParameters(const std::optional<foundation::Value::Dictionary>& value);
    // The automatic events of a start handed to the store whose commit is not
    // known to be made: event name -> {"parameters", "timestamp", "recorded"}.
    std::optional<foundation::Value::Dictionary> pendingAutomaticEvents();
    void setPendingAutomaticEvents(const std::optional<foundation::Value::Dictionary>& value);

  private:
    MSRPersistedConfig(std::string name, std::shared_ptr<MSRConfigStore> store);

    static std::string key(const char* suffix) {
        return std::string(kKeyPrefix) + suffix;
    }
    // Runs `block` on the serial queue and waits for it.
    void onQueue(const std::function<void()>& block);
    foundation::Value rawValue(const std::string& key);
    void setRawValue(const foundation::Value& value, const std::string& key);
    // The generic access of each property type, chosen by overload.
    void read(const std::string& key, double& value) {
        value = doubleForKey(key);
    }
    void read(const std::string& key, int64_t& value) {
        value = int64ForKey(key);
    }
    void read(const std::string& key, bool& value) {
        value = boolForKey(key);
    }
    void read(const std::string& key, Text& value) {
        value = stringForKey(key);
    }
    void read(const std::string& key, Raw& value) {
        value = rawValue(key);
    }
    void write(double value, const std::string& key) {
        setDouble(value, key);
    }
    void write(int64_t value, const std::string& key) {
        setInt64(value, key);
    }
    void write(bool value, const std::string& key) {
        setBool(value, key);
    }
    void write(const Text& value, const std::string& key) {
        setString(value, key);
    }
    void write(const Raw& value, const std::string& key) {
        setRawValue(value, key);
    }

    std::string name_;
    std::shared_ptr<MSRConfigStore> userDefaults_;  // null when the file could not be opened
    std::shared_ptr<dispatch::SerialQueue> serialQueue_;
    std::mutex lock_;
    dispatch::WorkItem synchronizeBlock_;
    std::atomic<uint64_t> generation_{0};
    // Property values by key suffix (the getter's own text), with the
    // generation they were read in.
    struct Memo {
        uint64_t generation;
        std::variant<double, int64_t, bool, Text, Raw> value;
    };
    std::mutex memoMutex_;
    std::unordered_map<const void*, Memo> memo_;
    template <typename T>
    T memoized(const char* suffix);
    void changed() { generation_.fetch_add(1, std::memory_order_acq_rel); }
};
