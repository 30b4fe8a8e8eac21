#include "analytics/core/MSRIdentity.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <mutex>

#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentitySupport.h"
#include "analytics/core/MSRInfoPlistFileUtil.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRConstants.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRStoredCount.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/host/AdvertisingIdentity.h"

namespace {

void logIdentity(int64_t level, int64_t code, std::string_view message,
                 const std::vector<MSRLogContext>& contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

struct SharedIdentity {
    std::mutex mutex;
    bool created = false;
    std::shared_ptr<MSRIdentity> identity;
};

SharedIdentity& sharedState() {
    static SharedIdentity state;
    return state;
}

bool isAnalyticsStorageDenied() {
    return MSRConsentSettingsUtil::isAnalyticsStorageDenied();
}
bool isAdStorageDenied() {
    return MSRConsentSettingsUtil::isAdStorageDenied();
}

const foundation::Bundle& bundleOrMain(const std::shared_ptr<const foundation::Bundle>& bundle) {
    return bundle ? *bundle : foundation::Bundle::main();
}

}  // namespace

// ---- shared instance ----------------------------------------------------------

std::shared_ptr<MSRIdentity> MSRIdentity::sharedInstance() {
    std::shared_ptr<MSRIdentity> identity;
    {
        std::lock_guard lock(sharedState().mutex);
        if (!sharedState().created) {
            sharedState().created = true;
            sharedState().identity = initWithPersistedConfig(MSRPersistedConfig::sharedInstance());
        }
        identity = sharedState().identity;
    }
    if (!identity) logIdentity(2, 20003, "Identity's shared instance is nil");
    return identity;
}

void MSRIdentity::setSharedInstanceForTesting(std::shared_ptr<MSRIdentity> identity) {
    std::lock_guard lock(sharedState().mutex);
    sharedState().created = identity != nullptr;
    sharedState().identity = std::move(identity);
}

// ---- creation -----------------------------------------------------------------

std::shared_ptr<MSRIdentity> MSRIdentity::initWithPersistedConfig(
    std::shared_ptr<MSRPersistedConfig> persistedConfig, MSRIdentityEnvironment environment) {
    if (!persistedConfig) {
        logIdentity(2, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    return std::shared_ptr<MSRIdentity>(new MSRIdentity(std::move(persistedConfig), std::move(environment)));
}

MSRIdentity::MSRIdentity(std::shared_ptr<MSRPersistedConfig> persistedConfig,
                         MSRIdentityEnvironment environment)
    : persistedConfig_(std::move(persistedConfig)),
      bundle_(std::move(environment.bundle)),
      identitySupport_(environment.identitySupport ? std::move(environment.identitySupport)
                                                   : MSRDefaultIdentitySupport::sharedInstance()),
      remoteConfig_(std::move(environment.remoteConfig)) {
    queue_ = dispatch::SerialQueue::create(kQueueLabel);
    const foundation::Bundle& bundle = bundleOrMain(bundle_);

    if (auto service = MSRInfoPlistFileUtil::dictionaryFromZevureServiceInfoPlist(&bundle)) {
        auto text = [&](const char* key) -> std::optional<std::string> {
            auto found = service->find(key);
            if (found == service->end() || !found->second.string()) return std::nullopt;
            return *found->second.string();
        };
        appIDFromZMP_ = text("ZEVURE_APP_ID");
        appIDFromAdzev_ = text("ADZEV_APP_ID");
    }
    // The public interface is linked into this program, so analytics is in
    // use whenever an identity is made: an empty Zevure app ID is worth an error.
    if (appIDFromZMP_.value_or("").empty()) {
        logIdentity(0, 20006,
                    "Zevure App ID from ZevureService-Info.plist is empty. Please, define ZEVURE_APP_ID in "
                    "ZevureService-Info.plist for Analytics to work reliably. See the Calvaro analytics notes on "
                    "the service configuration file.");
    }

    // The platform reads booleans and numbers alike as numbers.
    const foundation::Value idfv =
        bundle.objectForInfoDictionaryKey("ZEVURE_ANALYTICS_IDFV_COLLECTION_ENABLED");
    std::optional<bool> enabled = idfv.boolValue();
    if (!enabled) {
        if (auto number = idfv.doubleValue()) enabled = *number != 0;
    }
    if (enabled) {
        isIDFVCollectionEnabledNumber_ = enabled;
        logIdentity(7, 20009, std::string("ZEVURE_ANALYTICS_IDFV_COLLECTION_ENABLED = ") + (*enabled ? "YES" : "NO"));
    }

    appID_ = bundle.bundleIdentifier().value_or("");
    const foundation::Value shortVersion = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (auto text = shortVersion.string()) appVersion_ = *text;
    const foundation::Value version = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (auto text = version.string()) {
        const std::vector<int32_t> fields = numericFieldsFromAppVersionNumeric(*text);
        if (fields.size() > 0) appVersionMajor_ = fields[0];
        if (fields.size() > 1) appVersionMinor_ = fields[1];
        if (fields.size() > 2) appVersionRelease_ = fields[2];
    }

    if (!persistedConfig_->appInstanceID() && !isAnalyticsStorageDenied()) {
        persistedConfig_->setAppInstanceID(newRandomAppInstanceID());
    }
}

MSRIdentity::~MSRIdentity() = default;

// ---- class operations -----------------------------------------------------------

int64_t MSRIdentity::rovIdarurozaroLibraryVersion() {
    return libraryVersionFromText(kMSRLibraryVersionText);
}

int64_t MSRIdentity::libraryVersionFromText(std::string_view versionText) {
    if (versionText.size() < 4) return 0;
    const std::string_view head = versionText.substr(0, versionText.size() - 3);
    int64_t value = 0;
    // Leading digits count, as the platform reads a number from text.
    auto [end, error] = std::from_chars(head.data(), head.data() + head.size(), value);
    (void)end;
    return error == std::errc() ? value : 0;
}

std::vector<int32_t> MSRIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
    std::vector<int32_t> fields;
    size_t start = 0;
    while (start <= version.size()) {
        size_t dot = version.find('.', start);
        if (dot == std::string::npos) dot = version.size();
        const std::string component = version.substr(start, dot - start);
        start = dot + 1;
        if (component.empty()) continue;

        std::string digits;
        bool split = false;
        for (char c : component) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                digits.push_back(c);
            } else {
                split = true;
            }
        }
        if (split) logIdentity(5, 20002, "app version numeric has non-numeric characters");
        // Too many digits for 32 bits saturate instead of wrapping around.
        int64_t value = 0;
        for (char c : digits) {
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<int32_t>::max()) {
                value = std::numeric_limits<int32_t>::max();
                break;
            }
        }
        fields.push_back(static_cast<int32_t>(value));
    }
    return fields;
}

std::string MSRIdentity::newRandomAppInstanceID() {
    std::string uuid = host::makeUUIDString();
    uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
    return uuid;
}

// ---- queue --------------------------------------------------------------------

void MSRIdentity::runSync(const std::function<void()>& block) {
    queue_->syncOrRunIfCurrent(block);
}

// Blocks hold the identity strongly: a posted write must land even when the
// caller lets go of the identity right after.
void MSRIdentity::runAsync(std::function<void()> block) {
    queue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

// A refresh queued before a read on the same queue would run first anyway;
// doing both in one block spares a second trip to the queue.
void MSRIdentity::refreshThenRead(const std::function<void()>& read) {
    runSync([&] {
        updateIdentifiersOnQueue();
        read();
    });
}

std::shared_ptr<MSRRemoteConfig> MSRIdentity::remoteConfig() {
    return remoteConfig_ ? remoteConfig_ : MSRRemoteConfig::defaultInstance();
}

void MSRIdentity::setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig) {
    runAsync([this, remoteConfig = std::move(remoteConfig)] {
        remoteConfig_ = remoteConfig;
        // Its refresh interval and identifier gate may differ.
        refreshDue_ = 0;
        answersChanged();
    });
}

// ---- facts --------------------------------------------------------------------

bool MSRIdentity::isFromAppStore() const {
    return MSRAEU::isFAS();
}

bool MSRIdentity::iOS14OrAbove() const {
    return MSRDefaultIdentitySupport::iOS14OrAbove();
}

// ---- application IDs and installation -------------------------------------------

std::optional<std::string> MSRIdentity::appIDFromZMP() {
    return readOnQueue(appIDFromZMP_);
}

std::optional<std::string> MSRIdentity::appIDFromAdzev() {
    return readOnQueue(appIDFromAdzev_);
}

std::optional<std::string> MSRIdentity::readOnQueue(const std::optional<std::string>& field) {
    std::optional<std::string> value;
    runSync([&] { value = field; });
    return value;
}

void MSRIdentity::setAppIDOnce(std::atomic<bool>& didSet, std::optional<std::string>& field,
                               const std::string& appID, int64_t emptyCode, const char* emptyMessage) {
    if (appID.empty()) {
        logIdentity(2, emptyCode, emptyMessage);
        return;
    }
    if (didSet.exchange(true)) return;
    runAsync([this, &field, appID] {
        field = appID;
        answersChanged();
    });
}

void MSRIdentity::setAppIDFromZMP(const std::string& appID) {
    setAppIDOnce(didSetAppIDFromZMP_, appIDFromZMP_, appID, 20005, "Cannot set empty Zevure App ID");
}

void MSRIdentity::setAppIDFromAdzev(const std::string& appID) {
    setAppIDOnce(didSetAppIDFromAdzev_, appIDFromAdzev_, appID, 20007, "Cannot set empty Adzev App ID");
}

bool MSRIdentity::hasZevureServiceInfoPlist() {
    return MSRInfoPlistFileUtil::zevureServiceInfoPlistPath(&bundleOrMain(bundle_)).has_value();
}

void MSRIdentity::setOrigin(const std::string& origin) {
    MSRIdentifiers::sharedInstance()->setOrigin(origin);
}

std::optional<std::string> MSRIdentity::vuzedezoInstallationID() {
    return readOnQueue(vuzedezoInstallationID_);
}

void MSRIdentity::setVuzedezoInstallationID(const std::optional<std::string>& installationID) {
    runAsync([this, installationID] {
        vuzedezoInstallationID_ = installationID;
        answersChanged();
    });
}

// ---- app instance ID and advertising state ---------------------------------------

std::optional<std::string> MSRIdentity::appInstanceID() {
    if (isAnalyticsStorageDenied()) return std::nullopt;
    std::optional<std::string> value;
    refreshThenRead([&] { value = persistedConfig_->appInstanceID(); });
    return value;
}

void MSRIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
    runAsync([this, appInstanceID] {
        persistedConfig_->setAppInstanceID(appInstanceID);
        answersChanged();
    });
}

std::optional<std::string> MSRIdentity::hashedResettableDeviceID() {
    if (isAdStorageDenied()) return std::nullopt;
    std::optional<std::string> value;
    refreshThenRead([&] { value = persistedConfig_->hashedResettableDeviceID(); });
    return value;
}

std::optional<std::string> MSRIdentity::resettableDeviceID() {
    std::optional<std::string> value;
    refreshThenRead([&] { value = resettableDeviceID_; });
    return value;
}

bool MSRIdentity::limitedAdTracking() {
    bool value = false;
    refreshThenRead([&] { value = limitedAdTracking_; });
    return value;
}

uint32_t MSRIdentity::appleConsentStatus() {
    uint32_t value = 0;
    refreshThenRead([&] { value = appleConsentStatus_; });
    return value;
}

bool MSRIdentity::hasLimitedAdTracking() {
    bool value = false;
    refreshThenRead([&] { value = identitySupport_->hasLimitedAdTracking(); });
    return value;
}

bool MSRIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
    bool value = false;
    runSync([&] { value = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
    return value;
}

void MSRIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    runAsync([this, value] { persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

// The throttle of updateIdentifiersOnQueue, judged off the queue: it lets a
// refresh through once its interval has passed, the clock went back, or the
// stored app instance ID may have changed.
bool MSRIdentity::refreshIsThrottledAt(double now) const {
    return persistedConfig_->generation() == refreshedConfigGeneration_.load(std::memory_order_acquire) &&
           refreshedAt_.load(std::memory_order_acquire) <= now && now < refreshDue_.load(std::memory_order_acquire);
}

bool MSRIdentity::answersCurrentAt(double now) const {
    return refreshIsThrottledAt(now) && now < tokenExpiry_.load(std::memory_order_acquire);
}

void MSRIdentity::updateIdentifiers() {
    // Most events come well within the refresh interval: nothing to post.
    if (refreshIsThrottledAt(dispatch::Clock::now())) return;
    if (queue_->isCurrent()) {
        updateIdentifiersOnQueue();
    } else {
        // Most refreshes stop at once on the throttle: an idle queue runs it on
        // the caller's thread rather than waking its own for so little.
        queue_->asyncOrRunIfIdle([self = shared_from_this()] { self->updateIdentifiersOnQueue(); });
    }
}

void MSRIdentity::updateIdentifiersAndWait() {
    updateIdentifiers();
    runSync([] {});
}

void MSRIdentity::updateIdentifiersOnQueue() {
    const double now = dispatch::Clock::now();
    // Taken before the read: a write after it shows as a newer generation.
    const uint64_t configGeneration = persistedConfig_->generation();
    const std::optional<std::string> storedAppInstanceID = persistedConfig_->appInstanceID();
    // A refresh shortly after the last one learns nothing new; a last refresh
    // in the future means the clock was set back, so refresh anyway.
    const double cacheTime = remoteConfig()->adIDCacheTime();
    if (storedAppInstanceID && lastAppInstanceIDUpdateTimestamp_ &&
        *lastAppInstanceIDUpdateTimestamp_ <= now && now - *lastAppInstanceIDUpdateTimestamp_ < cacheTime) {
        refreshedConfigGeneration_ = configGeneration;
        refreshDue_ = *lastAppInstanceIDUpdateTimestamp_ + cacheTime;
        return;
    }

    bool changed = !storedAppInstanceID;
    std::optional<std::string> hash = persistedConfig_->hashedResettableDeviceID();
    std::optional<std::string> current = resettableDeviceID_;
    const bool limited = identitySupport_->limitedAdTracking();
    const bool adStorageDenied = isAdStorageDenied();

    uint32_t status = kStatusNoAdvertisingSupport;
    std::optional<std::string> identifier;
    if (iOS14OrAbove()) {
        if (!identitySupport_->hasLimitedAdTracking()) {
            status = kStatusNoAdvertisingSupport;
        } else if (!identitySupport_->hasAppDataConsentStatus() ||
                   identitySupport_->appDataConsentStatus() > 3) {
            status = kStatusNoTrackingSupport;
        } else {
            const uint64_t platform = identitySupport_->appDataConsentStatus();
            status = platform == 0 ? kStatusNotDetermined : static_cast<uint32_t>(platform);
        }
        if (adStorageDenied) {
            current.reset();
        } else if (status == kStatusAuthorized || !remoteConfig()->gateIDFAOnATTMASEnabled()) {
            identifier = identitySupport_->resettableDeviceID();
        }
    } else if (adStorageDenied) {
        current.reset();
    } else {
        identifier = identitySupport_->resettableDeviceID();
    }

    std::optional<std::string> replacementAppInstanceID;
    if (identifier && !identifier->empty() && *identifier != kZeroResettableDeviceID) {
        const std::string digest = msr_MD5String(*identifier);
        if (digest != hash) {
            if (hash && !hash->empty()) {
                // A new advertising identifier is a new person to measure.
                replacementAppInstanceID = newRandomAppInstanceID();
                persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
            }
            hash = digest;
            changed = true;
        }
        current = identifier;
    } else if (identifier && *identifier == kZeroResettableDeviceID) {
        current.reset();
    }

    if (changed) {
        if (!isAnalyticsStorageDenied()) {
            persistedConfig_->setAppInstanceID(replacementAppInstanceID ? replacementAppInstanceID
                                               : storedAppInstanceID    ? storedAppInstanceID
                                                                        : newRandomAppInstanceID());
        }
        if (!adStorageDenied) persistedConfig_->setHashedResettableDeviceID(hash);
    }

    if (changed || limitedAdTracking_ != limited || resettableDeviceID_ != current || appleConsentStatus_ != status)
        answersChanged();
    lastAppInstanceIDUpdateTimestamp_ = now;
    limitedAdTracking_ = limited;
    resettableDeviceID_ = current;
    appleConsentStatus_ = status;
    // Without a stored ID (analytics storage denied) every call refreshes.
    refreshedAt_ = now;
    refreshDue_ = persistedConfig_->appInstanceID() ? now + cacheTime : now;
    refreshedConfigGeneration_ = configGeneration;
}

std::optional<std::string> MSRIdentity::identifierForVendor() {
    if (!resettableDeviceID().value_or("").empty()) return std::nullopt;
    std::optional<std::string> cached;
    bool allowed = true;
    runSync([&] {
        allowed = isIDFVCollectionEnabledNumber_.value_or(true);
        cached = identifierForVendorString_;
    });
    if (!allowed || isAnalyticsStorageDenied()) return std::nullopt;
    if (cached) return cached;
    // The phone OS answers only on the main thread; our stand-in answers on
    // any thread, and asking it here keeps a worker from waiting on a main
    // thread that may be waiting on the worker.
    std::optional<std::string> fresh = host::identifierForVendor();
    if (fresh) runAsync([this, fresh] {
        identifierForVendorString_ = fresh;
        answersChanged();
    });
    return fresh;
}

// ---- session stitching, diversion key, ephemeral ID ---------------------------------

std::optional<std::string> MSRIdentity::sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                               bool sessionExpired,
                                                                               bool userIDAvailable) {
    std::optional<std::string> token;
    runSync([&] {
        if (isAnalyticsStorageDenied()) return;
        const bool sameSession =
            sessionNumber == lastSessionNumber_ && sessionExpired == lastIsSessionExpired_;
        const bool nextAfterExpiry = sessionNumber == MSRNextCount(lastSessionNumber_) &&
                                     sessionNumber != lastSessionNumber_ && lastIsSessionExpired_ &&
                                     !sessionExpired;
        if (!sameSession && !nextAfterExpiry) sessionStitchingToken_.reset();
        lastSessionNumber_ = sessionNumber;
        lastIsSessionExpired_ = sessionExpired;

        const double now = dispatch::Clock::now();
        if (!userIDAvailable && sessionStitchingTokenExpirationTime_ &&
            *sessionStitchingTokenExpirationTime_ <= now) {
            sessionStitchingToken_.reset();
        }
        if (!sessionStitchingToken_) {
            sessionStitchingToken_ = newRandomAppInstanceID();
            if (!userIDAvailable) sessionStitchingTokenExpirationTime_ = now + kSessionStitchingTokenLifetime;
            answersChanged();
        }
        tokenExpiry_ = !userIDAvailable && sessionStitchingTokenExpirationTime_
                           ? *sessionStitchingTokenExpirationTime_
                           : std::numeric_limits<double>::infinity();
        token = sessionStitchingToken_;
    });
    return token;
}

void MSRIdentity::resetSessionStitchingToken() {
    runAsync([this] { resetSessionStitchingTokenOnWorkerQueue(); });
}

void MSRIdentity::resetSessionStitchingTokenOnWorkerQueue() {
    runSync([this] {
        sessionStitchingToken_.reset();
        sessionStitchingTokenExpirationTime_.reset();
        answersChanged();
    });
}

std::string MSRIdentity::diversionKey() {
    std::string key;
    runSync([&] {
        key = persistedConfig_->diversionKey().value_or("");
        if (key.size() != 5) {
            key = newRandomAppInstanceID().substr(0, 5);
            persistedConfig_->setDiversionKey(key);
        }
    });
    return key;
}

std::string MSRIdentity::ephemeralAppInstanceID() {
    std::string value;
    runSync([&] {
        if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = newRandomAppInstanceID();
        value = *ephemeralAppInstanceID_;
    });
    return value;
}

void MSRIdentity::resetEphemeralAppInstanceID() {
    runAsync([this] { resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void MSRIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() {
    runSync([this] { ephemeralAppInstanceID_.reset(); });
}
