#include "analytics/storage/MSRPersistedConfig.h"

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "analytics/storage/MSRStorageLog.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/security/Random.h"

using foundation::Value;

namespace {

std::mutex sharedMutex;
std::shared_ptr<MSRPersistedConfig> sharedConfig;
bool sharedCreated = false;

Value int64Value(int64_t value) {
    return Value(static_cast<long long>(value));
}

}  // namespace

std::shared_ptr<MSRPersistedConfig> MSRPersistedConfig::sharedInstance() {
    std::shared_ptr<MSRPersistedConfig> config;
    {
        std::lock_guard lock(sharedMutex);
        if (!sharedCreated) {
            sharedConfig = initWithSuiteName(kSuiteName);
            sharedCreated = true;
        }
        config = sharedConfig;
    }
    if (!config) MSRStorageLog(1, 27001, "PersistedConfig's shared instance is nil");
    return config;
}

void MSRPersistedConfig::setSharedInstance(std::shared_ptr<MSRPersistedConfig> config) {
    std::lock_guard lock(sharedMutex);
    sharedCreated = config != nullptr;
    sharedConfig = std::move(config);
}

std::shared_ptr<MSRPersistedConfig> MSRPersistedConfig::initWithSuiteName(const std::string& name) {
    if (name.empty()) return nullptr;
    MSRMigrateLegacyPreferencesFile(name);
    std::shared_ptr<MSRConfigStore> store = MSRPersistentDictionary::create(name);
    return std::shared_ptr<MSRPersistedConfig>(new MSRPersistedConfig(name, std::move(store)));
}

MSRPersistedConfig::MSRPersistedConfig(std::string name, std::shared_ptr<MSRConfigStore> store)
    : name_(std::move(name)),
      userDefaults_(std::move(store)),
      serialQueue_(dispatch::SerialQueue::create("MSRPersistedConfig")) {}

MSRPersistedConfig::~MSRPersistedConfig() {
    cancelScheduledSynchronize();
}

void MSRPersistedConfig::onQueue(const std::function<void()>& block) {
    serialQueue_->sync(block);
}

// --- Generic typed access -----------------------------------------------------

bool MSRPersistedConfig::boolForKey(const std::string& key) {
    return int64ForKey(key) != 0;
}

int64_t MSRPersistedConfig::int64ForKey(const std::string& key) {
    if (key.empty() || !userDefaults_) return 0;
    return int64ForKey(key, *userDefaults_);
}

int64_t MSRPersistedConfig::int64ForKey(const std::string& key, MSRConfigStore& userDefault) {
    if (key.empty()) return 0;
    int64_t result = 0;
    onQueue([&] { result = MSRNumberAsInt64(userDefault.numberForKey(key)); });
    return result;
}

double MSRPersistedConfig::doubleForKey(const std::string& key) {
    if (key.empty() || !userDefaults_) return 0.0;
    double result = 0.0;
    onQueue([&] { result = userDefaults_->doubleForKey(key); });
    return result;
}

std::optional<std::string> MSRPersistedConfig::stringForKey(const std::string& key) {
    if (key.empty() || !userDefaults_) return std::nullopt;
    std::optional<std::string> result;
    onQueue([&] { result = userDefaults_->stringForKey(key); });
    return result;
}

std::optional<Value::Dictionary> MSRPersistedConfig::dictionaryForKey(const std::string& key) {
    if (key.empty() || !userDefaults_) return std::nullopt;
    std::optional<Value::Dictionary> result;
    onQueue([&] { result = userDefaults_->dictionaryForKey(key); });
    return result;
}

Value MSRPersistedConfig::numberForKey(const std::string& key) {
    return rawValue(key);
}

Value MSRPersistedConfig::rawValue(const std::string& key) {
    if (!userDefaults_) return Value();
    Value result;
    onQueue([&] { result = userDefaults_->objectForKey(key); });
    return result;
}

void MSRPersistedConfig::setRawValue(const Value& value, const std::string& key) {
    if (!userDefaults_) return;
    onQueue([&] { userDefaults_->setObject(value, key); });
}

void MSRPersistedConfig::setBool(bool value, const std::string& key) {
    setInt64(value ? 1 : 0, key);
}

void MSRPersistedConfig::setInt64(int64_t value, const std::string& key) {
    setNumber(int64Value(value), key);
}

void MSRPersistedConfig::setDouble(double value, const std::string& key) {
    setNumber(Value(value), key);
}

void MSRPersistedConfig::setString(const std::optional<std::string>& value, const std::string& key) {
    setNumber(value ? Value(*value) : Value(), key);
}

void MSRPersistedConfig::setDictionary(const std::optional<Value::Dictionary>& value,
                                       const std::string& key) {
    setNumber(value ? Value(*value) : Value(), key);
}

void MSRPersistedConfig::setNumber(const Value& value, const std::string& key) {
    if (key.empty() || !userDefaults_) return;
    onQueue([&] {
        userDefaults_->setObject(value, key);
        scheduleSynchronizeToDisk();
    });
}

void MSRPersistedConfig::clearValues() {
    if (!userDefaults_) return;
    onQueue([&] { userDefaults_->clearAllData(); });
}

// --- Delayed synchronize --------------------------------------------------------

void MSRPersistedConfig::scheduleSynchronizeToDisk() {
    cancelScheduledSynchronize();
    std::weak_ptr<MSRPersistedConfig> weakSelf = weak_from_this();
    std::lock_guard lock(lock_);
    synchronizeBlock_ = serialQueue_->asyncAfter(kSynchronizeDelay, [weakSelf] {
        if (auto self = weakSelf.lock()) self->synchronizeToDisk();
    });
}

void MSRPersistedConfig::cancelScheduledSynchronize() {
    std::lock_guard lock(lock_);
    if (synchronizeBlock_.isValid()) synchronizeBlock_.cancel();
    synchronizeBlock_ = dispatch::WorkItem();
}

void MSRPersistedConfig::synchronizeToDisk() {
    if (dispatch::isMainThread()) {
        scheduleSynchronizeToDisk();
        return;
    }
    if (userDefaults_) userDefaults_->synchronize();
}

// --- Properties -------------------------------------------------------------------

double MSRPersistedConfig::lastDeleteStaleBundlesTimestamp() {
    return doubleForKey(key("last_delete_stale"));
}
void MSRPersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) {
    setDouble(value, key("last_delete_stale"));
}

// Read and written on the store directly; the store's own lock suffices.
Value MSRPersistedConfig::searchAdCampaignValue() {
    return userDefaults_ ? userDefaults_->objectForKey(key("is_search_ad_campaign")) : Value();
}
void MSRPersistedConfig::setSearchAdCampaignValue(const Value& value) {
    if (userDefaults_ && MSRIsNumberValue(value))
        userDefaults_->setObject(value, key("is_search_ad_campaign"));
}

double MSRPersistedConfig::lastSearchAdLookUpTimestamp() {
    return doubleForKey(key("search_ad_last_attempt_timestamp"));
}
void MSRPersistedConfig::setLastSearchAdLookUpTimestamp(double value) {
    setDouble(value, key("search_ad_last_attempt_timestamp"));
}
int64_t MSRPersistedConfig::searchAdRetryCount() {
    return int64ForKey(key("search_ad_number_of_retries"));
}
void MSRPersistedConfig::setSearchAdRetryCount(int64_t value) {
    setInt64(value, key("search_ad_number_of_retries"));
}
std::optional<std::string> MSRPersistedConfig::appInstanceID() {
    return stringForKey(key("app_instance_id"));
}
void MSRPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
    setString(value, key("app_instance_id"));
}
std::optional<std::string> MSRPersistedConfig::appIDFromZMP() {
    return stringForKey(key("zmp_app_id"));
}
void MSRPersistedConfig::setAppIDFromZMP(const std::optional<std::string>& value) {
    setString(value, key("zmp_app_id"));
}
std::optional<std::string> MSRPersistedConfig::appIDFromAdzev() {
    return stringForKey(key("adzev_app_id"));
}
void MSRPersistedConfig::setAppIDFromAdzev(const std::optional<std::string>& value) {
    setString(value, key("adzev_app_id"));
}
std::optional<std::string> MSRPersistedConfig::hashedResettableDeviceID() {
    return stringForKey(key("hashed_idfa"));
}
void MSRPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& value) {
    setString(value, key("hashed_idfa"));
}
std::optional<std::string> MSRPersistedConfig::diversionKey() {
    return stringForKey(key("diversion_key"));
}
void MSRPersistedConfig::setDiversionKey(const std::optional<std::string>& value) {
    setString(value, key("diversion_key"));
}

int64_t MSRPersistedConfig::measurementEnabledState() {
    return int64ForKey(key("measurement_enabled_state"), *MSRUserDefaults::sharedUserDefaults());
}
void MSRPersistedConfig::setMeasurementEnabledState(int64_t value) {
    onQueue([&] {
        auto defaults = MSRUserDefaults::sharedUserDefaults();
        defaults->setObject(int64Value(value), key("measurement_enabled_state"));
        defaults->synchronize();
    });
}

double MSRPersistedConfig::lastBackoffTimestamp() {
    return doubleForKey(key("last_backoff"));
}
void MSRPersistedConfig::setLastBackoffTimestamp(double value) {
    setDouble(value, key("last_backoff"));
}
double MSRPersistedConfig::lastSuccessfulUploadTimestamp() {
    return doubleForKey(key("last_successful_upload"));
}
void MSRPersistedConfig::setLastSuccessfulUploadTimestamp(double value) {
    setDouble(value, key("last_successful_upload"));
}
double MSRPersistedConfig::lastFailedUploadTimestamp() {
    return doubleForKey(key("last_failed_upload"));
}
void MSRPersistedConfig::setLastFailedUploadTimestamp(double value) {
    setDouble(value, key("last_failed_upload"));
}
std::optional<std::string> MSRPersistedConfig::appVersion() {
    return stringForKey(key("app_version"));
}
void MSRPersistedConfig::setAppVersion(const std::optional<std::string>& value) {
    setString(value, key("app_version"));
}
std::optional<std::string> MSRPersistedConfig::osVersion() {
    return stringForKey(key("os_version"));
}
void MSRPersistedConfig::setOSVersion(const std::optional<std::string>& value) {
    setString(value, key("os_version"));
}

double MSRPersistedConfig::midnightOffset() {
    const std::string offsetKey = key("midnight_offset");
    double offset = 0.0;
    if (!userDefaults_) return offset;
    // Read, draw and store in one step, so every caller sees the stored value.
    onQueue([&] {
        Value stored = userDefaults_->objectForKey(offsetKey);
        if (MSRIsNumberValue(stored)) {
            offset = MSRNumberAsDouble(stored);
            return;
        }
        offset = security::randomUniform(86400000) / 1000.0;
        userDefaults_->setDouble(offset, offsetKey);
        scheduleSynchronizeToDisk();
    });
    return offset;
}

double MSRPersistedConfig::lastMonitorDataSampledTimestamp() {
    return doubleForKey(key("last_monitor_data_sampled_timestamp"));
}
void MSRPersistedConfig::setLastMonitorDataSampledTimestamp(double value) {
    setDouble(value, key("last_monitor_data_sampled_timestamp"));
}
int64_t MSRPersistedConfig::firstOpenTimestampMilliseconds() {
    return int64ForKey(key("first_open_timestamp_ms"));
}
void MSRPersistedConfig::setFirstOpenTimestampMilliseconds(int64_t value) {
    setInt64(value, key("first_open_timestamp_ms"));
}

std::optional<std::string> MSRPersistedConfig::configServerLastModifiedString() {
    Value value = rawValue(key("last_modified_since_key"));
    if (const std::string* text = value.string()) return *text;
    return std::nullopt;
}
void MSRPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& value) {
    setString(value, key("last_modified_since_key"));
}

std::optional<std::string> MSRPersistedConfig::configServerETag() {
    return stringForKey(key("config_etag"));
}
void MSRPersistedConfig::setConfigServerETag(const std::optional<std::string>& value) {
    setString(value, key("config_etag"));
}
Value MSRPersistedConfig::loadTimestampValue() {
    return rawValue(key("load_timestamp"));
}
void MSRPersistedConfig::setLoadTimestampValue(const Value& value) {
    setRawValue(value, key("load_timestamp"));
}
Value MSRPersistedConfig::allowPersonalizedAds() {
    return rawValue(key("allow_personalized_ads"));
}
void MSRPersistedConfig::setAllowPersonalizedAds(const Value& value) {
    setRawValue(value, key("allow_personalized_ads"));
}
std::optional<std::string> MSRPersistedConfig::vuzedezoFeatureRollouts() {
    return stringForKey(key("vuzedezo_feature_rollouts"));
}
void MSRPersistedConfig::setVuzedezoFeatureRollouts(const std::optional<std::string>& value) {
    setString(value, key("vuzedezo_feature_rollouts"));
}
Value MSRPersistedConfig::deferredDeepLinkRetrievalComplete() {
    return rawValue(key("deep_link_retrieval_complete"));
}
void MSRPersistedConfig::setDeferredDeepLinkRetrievalComplete(const Value& value) {
    setRawValue(value, key("deep_link_retrieval_complete"));
}
int64_t MSRPersistedConfig::deferredDeepLinkRetryCount() {
    return int64ForKey(key("deep_link_retry_count"));
}
void MSRPersistedConfig::setDeferredDeepLinkRetryCount(int64_t value) {
    setInt64(value, key("deep_link_retry_count"));
}
bool MSRPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
    return boolForKey(key("set_last_advertising_id_reset"));
}
void MSRPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    setBool(value, key("set_last_advertising_id_reset"));
}
bool MSRPersistedConfig::unmatchedFirstOpenWithoutIDFA() {
    return boolForKey(key("unmatched_first_open"));
}
void MSRPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
    setBool(value, key("unmatched_first_open"));
}
Value MSRPersistedConfig::previousFirstOpenCount() {
    return numberForKey(key("previous_first_open_count"));
}
void MSRPersistedConfig::setPreviousFirstOpenCount(const Value& value) {
    setNumber(value, key("previous_first_open_count"));
}
std::optional<std::string> MSRPersistedConfig::previousBundledConsentSignals() {
    return stringForKey(key("previous_bundled_consent_signals"));
}
void MSRPersistedConfig::setPreviousBundledConsentSignals(const std::optional<std::string>& value) {
    setString(value, key("previous_bundled_consent_signals"));
}

std::optional<Value::Bytes> MSRPersistedConfig::adCampaignInfoBuffer() {
    Value value = rawValue(key("ad_campaign_info_buffer"));
    if (const Value::Bytes* bytes = value.bytes()) return *bytes;
    return std::nullopt;
}
void MSRPersistedConfig::setAdCampaignInfoBuffer(const std::optional<Value::Bytes>& value) {
    if (!userDefaults_) return;
    onQueue([&] {
        userDefaults_->setObject(value ? Value(*value) : Value(), key("ad_campaign_info_buffer"));
        scheduleSynchronizeToDisk();
    });
}

double MSRPersistedConfig::lastSessionActivityClockTime() {
    return doubleForKey(key("last_engagement_end"));
}
void MSRPersistedConfig::setLastSessionActivityClockTime(double value) {
    setDouble(value, key("last_engagement_end"));
}
int64_t MSRPersistedConfig::sessionNumber() {
    return int64ForKey(key("session_number"));
}
void MSRPersistedConfig::setSessionNumber(int64_t value) {
    setInt64(value, key("session_number"));
}
std::optional<Value::Dictionary> MSRPersistedConfig::defaultEventParameters() {
    return dictionaryForKey(key("default_event_parameters"));
}
void MSRPersistedConfig::setDefaultEventParameters(const std::optional<Value::Dictionary>& value) {
    setDictionary(value, key("default_event_parameters"));
}
int64_t MSRPersistedConfig::lastUploadedEventTimestampMillis() {
    return int64ForKey(key("last_uploaded_event_millis"));
}
void MSRPersistedConfig::setLastUploadedEventTimestampMillis(int64_t value) {
    setInt64(value, key("last_uploaded_event_millis"));
}
int64_t MSRPersistedConfig::SKANEvaluationEventTimeMillis() {
    return int64ForKey(key("skan_evaluation_event_time_millis"));
}
void MSRPersistedConfig::setSKANEvaluationEventTimeMillis(int64_t value) {
    setInt64(value, key("skan_evaluation_event_time_millis"));
}
int64_t MSRPersistedConfig::SKANEvaluationUpdateBackoffMillis() {
    return int64ForKey(key("skan_evaluation_update_backoff_millis"));
}
void MSRPersistedConfig::setSKANEvaluationUpdateBackoffMillis(int64_t value) {
    setInt64(value, key("skan_evaluation_update_backoff_millis"));
}
