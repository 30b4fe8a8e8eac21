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
    void scheduleSynchronizeToDisk();
    void cancelScheduledSynchronize();
    void synchronizeToDisk();

    // --- Properties ---
    double lastDeleteStaleBundlesTimestamp();
    void setLastDeleteStaleBundlesTimestamp(double value);
    foundation::Value searchAdCampaignValue();
    void setSearchAdCampaignValue(const foundation::Value& value);
    double lastSearchAdLookUpTimestamp();
    void setLastSearchAdLookUpTimestamp(double value);
    int64_t searchAdRetryCount();
    void setSearchAdRetryCount(int64_t value);
    std::optional<std::string> appInstanceID();
    void setAppInstanceID(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromZMP();
    void setAppIDFromZMP(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromAdzev();
    void setAppIDFromAdzev(const std::optional<std::string>& value);
    std::optional<std::string> hashedResettableDeviceID();
    void setHashedResettableDeviceID(const std::optional<std::string>& value);
    std::optional<std::string> diversionKey();
    void setDiversionKey(const std::optional<std::string>& value);
    int64_t measurementEnabledState();
    void setMeasurementEnabledState(int64_t value);
    double lastBackoffTimestamp();
    void setLastBackoffTimestamp(double value);
    double lastSuccessfulUploadTimestamp();
    void setLastSuccessfulUploadTimestamp(double value);
    double lastFailedUploadTimestamp();
    void setLastFailedUploadTimestamp(double value);
    std::optional<std::string> appVersion();
    void setAppVersion(const std::optional<std::string>& value);
    std::optional<std::string> osVersion();
    void setOSVersion(const std::optional<std::string>& value);
    // Seconds in [0, 86400), whole milliseconds; drawn once and kept.
    double midnightOffset();
    double lastMonitorDataSampledTimestamp();
    void setLastMonitorDataSampledTimestamp(double value);
    int64_t firstOpenTimestampMilliseconds();
    void setFirstOpenTimestampMilliseconds(int64_t value);
    std::optional<std::string> configServerLastModifiedString();
    void setConfigServerLastModifiedString(const std::optional<std::string>& value);
    std::optional<std::string> configServerETag();
    void setConfigServerETag(const std::optional<std::string>& value);
    foundation::Value loadTimestampValue();
    void setLoadTimestampValue(const foundation::Value& value);
    foundation::Value allowPersonalizedAds();
    void setAllowPersonalizedAds(const foundation::Value& value);
    std::optional<std::string> vuzedezoFeatureRollouts();
    void setVuzedezoFeatureRollouts(const std::optional<std::string>& value);
    foundation::Value deferredDeepLinkRetrievalComplete();
    void setDeferredDeepLinkRetrievalComplete(const foundation::Value& value);
    int64_t deferredDeepLinkRetryCount();
    void setDeferredDeepLinkRetryCount(int64_t value);
    bool shouldSetLastAdvertisingIDResetUserProperty();
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
    bool unmatchedFirstOpenWithoutIDFA();
    void setUnmatchedFirstOpenWithoutIDFA(bool value);
    foundation::Value previousFirstOpenCount();
    void setPreviousFirstOpenCount(const foundation::Value& value);
    std::optional<std::string> previousBundledConsentSignals();
    void setPreviousBundledConsentSignals(const std::optional<std::string>& value);
    std::optional<foundation::Value::Bytes> adCampaignInfoBuffer();
    void setAdCampaignInfoBuffer(const std::optional<foundation::Value::Bytes>& value);
    double lastSessionActivityClockTime();
    void setLastSessionActivityClockTime(double value);
    int64_t sessionNumber();
    void setSessionNumber(int64_t value);
    std::optional<foundation::Value::Dictionary> defaultEventParameters();
    void setDefaultEventParameters(const std::optional<foundation::Value::Dictionary>& value);
    int64_t lastUploadedEventTimestampMillis();
    void setLastUploadedEventTimestampMillis(int64_t value);
    int64_t SKANEvaluationEventTimeMillis();
    void setSKANEvaluationEventTimeMillis(int64_t value);
    int64_t SKANEvaluationUpdateBackoffMillis();
    void setSKANEvaluationUpdateBackoffMillis(int64_t value);

  private:
    MSRPersistedConfig(std::string name, std::shared_ptr<MSRConfigStore> store);

    static std::string key(const char* suffix) { return std::string(kKeyPrefix) + suffix; }
    // Runs `block` on the serial queue and waits for it.
    void onQueue(const std::function<void()>& block);
    foundation::Value rawValue(const std::string& key);
    void setRawValue(const foundation::Value& value, const std::string& key);

    std::string name_;
    std::shared_ptr<MSRConfigStore> userDefaults_;  // null when the file could not be opened
    std::shared_ptr<dispatch::SerialQueue> serialQueue_;
    std::mutex lock_;
    dispatch::WorkItem synchronizeBlock_;
};
