#include "analytics/storage/MSRPersistedConfig.h"

#include <cmath>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "analytics/storage/MSRStorageLog.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRStoredTime.h"
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
    changed();
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
    changed();
}

void MSRPersistedConfig::clearValues() {
    if (!userDefaults_) return;
    onQueue([&] { userDefaults_->clearAllData(); });
    changed();
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

// The event road reads a few of these for every event: a value read since
// the last write is answered from memory.
template <typename T>
T MSRPersistedConfig::memoized(const char* suffix) {
    const uint64_t before = generation();
    {
        std::lock_guard lock(memoMutex_);
        auto found = memo_.find(suffix);
        if (found != memo_.end() && found->second.generation == before) return std::get<T>(found->second.value);
    }
    T value{};
    read(key(suffix), value);
    std::lock_guard lock(memoMutex_);
    // A write during the read may or may not show in it: not kept then.
    if (generation() == before) memo_.insert_or_assign(suffix, Memo{before, value});
    return value;
}

#define MSR_DEFINE_PROPERTY(Type, getter, setter, suffix) \
    auto MSRPersistedConfig::getter()->Type {             \
        static constexpr const char* kSuffix = suffix;    \
        return memoized<Type>(kSuffix);                   \
    }                                                     \
    void MSRPersistedConfig::setter(const Type& value) {  \
        write(value, key(suffix));                        \
    }
MSR_PERSISTED_CONFIG_PROPERTIES(MSR_DEFINE_PROPERTY)
#undef MSR_DEFINE_PROPERTY

namespace {

// Every stored time in seconds the engine reads, with the rule it is read
// by. The stale-data deletion, the search-ad delay, the monitor's sample, the
// successful upload and the session's last activity are compared with the
// clock as |now - t| where they are read: a time ahead of it ends their waits
// as one far in the past does.
struct PersistedConfigStoredSeconds {
    MSRPersistedConfig::StoredSeconds read;
    MSRPersistedConfig::SetStoredSeconds write;
    MSRStoredTimeRule rule;
};
const PersistedConfigStoredSeconds kPersistedConfigStoredSeconds[] = {
    {&MSRPersistedConfig::lastDeleteStaleBundlesTimestamp,
     &MSRPersistedConfig::setLastDeleteStaleBundlesTimestamp, MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastSearchAdLookUpTimestamp, &MSRPersistedConfig::setLastSearchAdLookUpTimestamp,
     MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastMonitorDataSampledTimestamp,
     &MSRPersistedConfig::setLastMonitorDataSampledTimestamp, MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastSuccessfulUploadTimestamp,
     &MSRPersistedConfig::setLastSuccessfulUploadTimestamp, MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastSessionActivityClockTime, &MSRPersistedConfig::setLastSessionActivityClockTime,
     MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastFailedUploadTimestamp, &MSRPersistedConfig::setLastFailedUploadTimestamp,
     MSRStoredTimeRule::kAheadIsNow},
    {&MSRPersistedConfig::lastBackoffTimestamp, &MSRPersistedConfig::setLastBackoffTimestamp,
     MSRStoredTimeRule::kAheadIsNone},
};

// The times in milliseconds: whole numbers, so only a time ahead of the clock
// is met. The first open is mirrored where it is read (its windows).
struct PersistedConfigStoredMillis {
    int64_t (MSRPersistedConfig::*read)();
    void (MSRPersistedConfig::*write)(const int64_t&);
    MSRStoredTimeRule rule;
};
const PersistedConfigStoredMillis kPersistedConfigStoredMillis[] = {
    {&MSRPersistedConfig::firstOpenTimestampMilliseconds,
     &MSRPersistedConfig::setFirstOpenTimestampMilliseconds, MSRStoredTimeRule::kMirrored},
    {&MSRPersistedConfig::lastUploadedEventTimestampMillis,
     &MSRPersistedConfig::setLastUploadedEventTimestampMillis, MSRStoredTimeRule::kAheadIsNow},
    {&MSRPersistedConfig::SKANEvaluationEventTimeMillis,
     &MSRPersistedConfig::setSKANEvaluationEventTimeMillis, MSRStoredTimeRule::kAheadIsNow},
};

// The stored counts, by key suffix: each starts at 0 and grows by one.
constexpr const char* kPersistedConfigStoredCounts[] = {
    "session_number",        "dropped_session_starts", "search_ad_number_of_retries",
    "deep_link_retry_count", "last_bundle_index",
};

// A value under a count's key that this engine's counts never are: a
// negative number (an integer one past int64_t's maximum reads as its
// minimum), or a real that no int64_t holds.
bool persistedConfigIsNoCount(const Value& value) {
    if (auto integer = value.integerValue()) return *integer < 0;
    if (auto real = value.doubleValue()) return !(*real >= 0 && *real < 9.2233720368547758e18);
    return false;
}

}  // namespace

double MSRPersistedConfig::settledSeconds(StoredSeconds read, double now) {
    for (const auto& row : kPersistedConfigStoredSeconds) {
        if (row.read != read) continue;
        return MSRSettleStoredTime([&] { return (this->*read)(); },
                                   [&](double settled) { (this->*row.write)(settled); }, now, row.rule);
    }
    return MSRFiniteStoredTime((this->*read)());
}

void MSRPersistedConfig::settleStoredTimes(double now) {
    for (const auto& row : kPersistedConfigStoredSeconds) settledSeconds(row.read, now);
    const int64_t nowMillis =
        std::isfinite(now) && std::fabs(now) < 9e15 ? static_cast<int64_t>(now * 1000) : 0;
    for (const auto& row : kPersistedConfigStoredMillis) {
        if (row.rule == MSRStoredTimeRule::kMirrored) continue;
        const int64_t stored = (this->*row.read)();
        if (stored > nowMillis)
            (this->*row.write)(row.rule == MSRStoredTimeRule::kAheadIsNow ? nowMillis : 0);
    }
    // The load time waits for the first-open report, and the start's first
    // session begins at it. One that is no time of this installation (no
    // finite number, at or before 1970, before the first open) is dropped,
    // and the start takes its own; one ahead of the clock reads as now.
    const Value load = loadTimestampValue();
    if (!load.isAbsent()) {
        const std::optional<double> time = load.doubleValue();
        const int64_t firstOpen = firstOpenTimestampMilliseconds();
        if (!time || !std::isfinite(*time) || *time <= 0 || (firstOpen > 0 && *time * 1000 < firstOpen)) {
            setLoadTimestampValue(Value());
        } else if (std::isfinite(now) && *time > now) {
            setLoadTimestampValue(Value(now));
        }
    }
    for (const char* suffix : kPersistedConfigStoredCounts) {
        if (persistedConfigIsNoCount(rawValue(key(suffix)))) setNumber(Value(), key(suffix));
    }
}

// Read and written on the store directly; the store's own lock suffices.
Value MSRPersistedConfig::searchAdCampaignValue() {
    return userDefaults_ ? userDefaults_->objectForKey(key("is_search_ad_campaign")) : Value();
}
void MSRPersistedConfig::setSearchAdCampaignValue(const Value& value) {
    if (userDefaults_ && MSRIsNumberValue(value)) {
        userDefaults_->setObject(value, key("is_search_ad_campaign"));
        changed();
    }
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
    changed();
}

double MSRPersistedConfig::midnightOffset() {
    static constexpr const char* kSuffix = "midnight_offset";
    const uint64_t before = generation();
    {
        std::lock_guard lock(memoMutex_);
        auto found = memo_.find(kSuffix);
        if (found != memo_.end() && found->second.generation == before) return std::get<double>(found->second.value);
    }
    const std::string offsetKey = key(kSuffix);
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
        changed();
    });
    std::lock_guard lock(memoMutex_);
    if (generation() == before) memo_.insert_or_assign(kSuffix, Memo{before, offset});
    return offset;
}

MSRPersistedConfig::Text MSRPersistedConfig::configServerLastModifiedString() {
    Value value = rawValue(key("last_modified_since_key"));
    if (const std::string* text = value.string()) return *text;
    return std::nullopt;
}
void MSRPersistedConfig::setConfigServerLastModifiedString(const Text& value) {
    setString(value, key("last_modified_since_key"));
}

Value MSRPersistedConfig::previousFirstOpenCount() {
    return numberForKey(key("previous_first_open_count"));
}
void MSRPersistedConfig::setPreviousFirstOpenCount(const Value& value) {
    setNumber(value, key("previous_first_open_count"));
}

std::optional<Value::Bytes> MSRPersistedConfig::adCampaignInfoBuffer() {
    Value value = rawValue(key("ad_campaign_info_buffer"));
    if (const Value::Bytes* bytes = value.bytes()) return *bytes;
    return std::nullopt;
}
void MSRPersistedConfig::setAdCampaignInfoBuffer(const std::optional<Value::Bytes>& value) {
    setNumber(value ? Value(*value) : Value(), key("ad_campaign_info_buffer"));
}

std::optional<Value::Dictionary> MSRPersistedConfig::defaultEventParameters() {
    return dictionaryForKey(key("default_event_parameters"));
}
void MSRPersistedConfig::setDefaultEventParameters(const std::optional<Value::Dictionary>& value) {
    setDictionary(value, key("default_event_parameters"));
}

std::optional<Value::Dictionary> MSRPersistedConfig::pendingAutomaticEvents() {
    return dictionaryForKey(key("pending_automatic_events"));
}
void MSRPersistedConfig::setPendingAutomaticEvents(const std::optional<Value::Dictionary>& value) {
    setDictionary(value && !value->empty() ? value : std::nullopt, key("pending_automatic_events"));
}
