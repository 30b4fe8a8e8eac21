// User properties on the measurement engine: writes with the per-origin and
// public limits, removals, the reads the facade offers, the user-ID reactions
// ("_id" resets the stitching token and "_lair"), the session-ID query and the
// entry of user data for on-device conversion measurement.

#include "analytics/core/MSRMeasurement.h"

#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/GlobalQueue.h"
#include "platform/foundation/Bundle.h"

#include <cctype>

namespace {

constexpr int64_t kSessionIDErrorCode = 13;

using MSRMeasurementLog::log;

std::string debugName(const std::string& name) { return MSRDebugUserPropertyName(name); }

// The value as text, for comparing two user IDs whatever their kind.
std::string textForm(const MSRValue& value) {
    if (const auto* text = value.stringValue()) return *text;
    return value.description();
}

void deliverInBackground(std::function<void()> block) {
    dispatch::GlobalQueue::get(dispatch::Priority::Background)->async(std::move(block));
}

}  // namespace

void MSRMeasurement::setUserAttribute(const MSRUserAttribute& attribute) {
    onWorkerQueue("MSRMeasurement:2830",
                  [attribute](MSRMeasurement& engine) { engine.setUserAttributeOnWorkerQueue(attribute); });
}

void MSRMeasurement::removeUserAttribute(const MSRUserAttribute& attribute) {
    onWorkerQueue("MSRMeasurement:2785",
                  [attribute](MSRMeasurement& engine) { engine.removeUserAttributeOnWorkerQueue(attribute); });
}

void MSRMeasurement::setUserAttributeOnWorkerQueue(const MSRUserAttribute& attribute) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:", monitor().get());
    if (!enabled_ || !hasComponentsOnWorkerQueue()) {
        log(7, 23081, "Analytics is disabled. User property not set", {debugName(attribute.name())});
        return;
    }
    setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool MSRMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const MSRUserAttribute& attribute) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:", monitor().get());
    if (!hasComponentsOnWorkerQueue()) return false;
    const std::string& name = attribute.name();
    MSRError error;
    auto exists = database_->containsUserAttributeWithName(name, &error);
    if (!exists) {
        log(1, 23082, "Unable to query existence of user property. Name, error", {debugName(name), error});
        return false;
    }
    if (name == "_id" && *exists) {
        auto stored = database_->userAttributeWithName("_id", nullptr);
        if (stored && textForm(stored->value()) != textForm(attribute.value())) {
            identity_->resetSessionStitchingToken();
            database_->deleteUserAttributeWithName("_lair", nullptr);
        }
    }
    if (name == "_npa" && remoteConfig_->DMAConsentEnabled()) {
        updateAdPersonalizationConsentFromNPAValue(attribute.value().int64Value());
    }
    if (!*exists) {
        std::optional<int64_t> count;
        int64_t limit = kMaxUserPropertiesPerOrigin;
        if (attribute.isPublic()) {
            count = database_->publicUserAttributeCount(&error);
            limit = remoteConfig_->maxPublicUserProperties();
        } else {
            count = database_->userAttributeCountForOrigin(attribute.origin(), &error);
        }
        if (!count) {
            log(1, 23083, "Unable to query user property count. Origin, error", {attribute.origin(), error});
            return false;
        }
        if (*count >= limit) {
            log(3, 23084,
                "Unable to set user property. Reached limit on set user properties for origin. Origin, name, value",
                {attribute.origin(), debugName(name), attribute.value().description()});
            MSRLogErrorEvent(9);
            return false;
        }
    }
    if (!database_->updateUserAttribute(attribute, &error)) {
        log(1, 23085, "Unable to set user property. Name, value, error",
            {debugName(name), attribute.value().description(), error});
        return false;
    }
    log(7, 23087, "User property set. Name, value", {debugName(name), attribute.value().description()});
    return true;
}

void MSRMeasurement::removeUserAttributeOnWorkerQueue(const MSRUserAttribute& attribute) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:", monitor().get());
    if (!enabled_ || !hasComponentsOnWorkerQueue()) {
        log(7, 23076, "Analytics is disabled. User property not removed", {debugName(attribute.name())});
        return;
    }
    if (attribute.name() == "_id") identity_->resetSessionStitchingToken();
    MSRError error;
    if (!database_->deleteUserAttributeWithName(attribute.name(), &error) && error.code() != 0) {
        log(1, 23077, "Unable to remove user property. Name, error", {debugName(attribute.name()), error});
        return;
    }
    log(7, 23078, "User property removed. Name", {debugName(attribute.name())});
}

void MSRMeasurement::userAttributeWithName(const std::string& name,
                                           std::function<void(std::optional<MSRUserAttribute>)> callback) {
    if (!callback) {
        log(0, 23088, "userAttributeWithName callback is nil");
        return;
    }
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:2972", [weak, name, callback] {
        std::optional<MSRUserAttribute> attribute;
        auto engine = weak.lock();
        if (engine && engine->hasComponentsOnWorkerQueue()) {
            MSRError error;
            attribute = engine->database_->userAttributeWithName(name, &error);
            if (!attribute && error.code() != 0) log(1, 23089, "Unable to get user attribute by name. Name", {debugName(name)});
        }
        deliverInBackground([callback, attribute] { callback(attribute); });
    });
}

void MSRMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(foundation::Value::Dictionary)> callback) {
    if (!callback) {
        log(0, 23090, "Unable to retrieve user properties. Callback is nil");
        return;
    }
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:3027", [weak, includeInternal, callback] {
        foundation::Value::Dictionary properties;
        auto engine = weak.lock();
        if (engine && engine->hasComponentsOnWorkerQueue()) {
            MSRError error;
            auto attributes = engine->database_->userAttributesIncludingInternal(includeInternal, &error);
            if (!attributes) {
                log(1, 23091, "Unable to retrieve user properties. Error", {error});
            } else {
                for (const auto& attribute : *attributes) {
                    const MSRValue& value = attribute.value();
                    if (attribute.name().empty()) {
                        log(3, 23092, "Cannot add invalid public user property name or value.");
                        continue;
                    }
                    if (const auto* text = value.stringValue()) {
                        properties[attribute.name()] = foundation::Value(*text);
                    } else if (value.isDouble()) {
                        properties[attribute.name()] = foundation::Value(value.doubleValue());
                    } else if (value.isInt64()) {
                        properties[attribute.name()] = foundation::Value(value.int64Value());
                    }
                }
            }
        }
        deliverInBackground([callback, properties = std::move(properties)] { callback(properties); });
    });
}

void MSRMeasurement::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback) {
    if (origin.empty()) {
        log(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
        return;
    }
    if (!callback) {
        log(0, 23094, "MaxUserProperties callback cannot be nil. Origin", {origin});
        return;
    }
    deliverInBackground([callback] { callback(kMaxUserPropertiesPerOrigin); });
}

bool MSRMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
    if (!hasComponentsOnWorkerQueue()) return false;
    return database_->containsUserAttributeWithName("_id", nullptr).value_or(false);
}

void MSRMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
    if (!hasComponentsOnWorkerQueue() || !hasUserPropertyUserIDOnWorkerQueue()) return;
    auto hasReset = database_->containsUserAttributeWithName("_lair", nullptr);
    if (!hasReset || *hasReset) return;
    if (auto lair = MSRUserAttribute::initWithOrigin("auto", "_lair", MSRValue(int64_t{1}), dispatch::Clock::now())) {
        setUserAttributeOnWorkerQueue(*lair);
    }
    identity_->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

void MSRMeasurement::sessionIDWithCompletion(SessionIDCompletion completion) {
    if (!completion) return;
    std::weak_ptr<MSRMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("MSRMeasurement:3183", [weak, completion] {
        auto fail = [&](const char* description) {
            completion(0, MSRError::msr_errorWithCode(kSessionIDErrorCode, description));
        };
        auto engine = weak.lock();
        if (!engine) return fail("Analytics deallocated");
        if (!engine->enabled_ || !engine->hasComponentsOnWorkerQueue()) return fail("Analytics disabled");
        if (engine->sessionReporter_->isSessionExpired()) return fail("Session expired");
        auto sessionID = engine->database_->userAttributeWithName("_sid", nullptr);
        if (!sessionID || !sessionID->value().isInt64()) return fail("Session ID not found");
        completion(sessionID->value().int64Value(), std::nullopt);
    });
}

void MSRMeasurement::setUserData(const foundation::Value::Dictionary& userData) {
    onWorkerQueue("MSRMeasurement:3190", [userData](MSRMeasurement& engine) {
        if (engine.hasComponentsOnWorkerQueue()) engine.setUserDataOnWorkerQueue(userData);
    });
}

void MSRMeasurement::setUserDataOnWorkerQueue(const foundation::Value::Dictionary& userData) {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue:", monitor().get());
    onDeviceConversion().initiateWithUserDataOnWorkerQueue(userData);
}

// --- Ad personalization ("_npa") ----------------------------------------------------

// 1 disables personalized ads, 0 allows them, nothing when no one decided:
// the application's own setting, then the consent settings, the Info.plist
// and the server's consent default, in that order.
std::optional<bool> MSRMeasurement::shouldDisableAdPersonalization() {
    if (persistedConfig_) {
        if (auto allowed = msr_truthOfNumber(persistedConfig_->allowPersonalizedAds())) return !*allowed;
    }
    const bool dma = remoteConfig()->DMAConsentEnabled();
    if (dma) {
        auto settings = MSRConsentSettingsUtil::consentSettings();
        if (settings && settings->count(MSRConsentSettingsUtil::kAdPersonalization)) {
            if (auto granted = MSRConsentSettingsUtil::adPersonalization()) return !*granted;
        }
    }
    const foundation::Value plist =
        foundation::Bundle::main().objectForInfoDictionaryKey("ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS");
    if (!plist.isAbsent()) {
        if (auto allowed = msr_truthOfNumber(plist)) {
            foundAdPersonalizationPlistFlag_ = true;
            return !*allowed;
        }
        return false;
    }
    if (dma) {
        const auto defaults = MSRConsentSettingsUtil::defaultSettings().value_or(MSRConsentSettingsUtil::Settings{});
        auto found = defaults.find(MSRConsentSettingsUtil::kAdPersonalization);
        if (found != defaults.end() && found->second.string()) {
            std::string status = *found->second.string();
            for (char& c : status) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (status == "denied") return true;
            if (status == "granted") return false;
        }
    }
    return std::nullopt;
}

void MSRMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
    if (!hasComponentsOnWorkerQueue()) return;
    MSRError error;
    std::optional<MSRUserAttribute> stored = database_->userAttributeWithName("_npa", &error);
    if (!stored && error.code() != 0) {
        log(1, 23172, "Unable to read personalized ads user property. Error", {error});
        return;
    }
    const std::optional<bool> disable = shouldDisableAdPersonalization();
    if (!disable) {
        if (!stored) return;
        MSRError deleteError;
        if (database_->deleteUserAttributeWithName("_npa", &deleteError) || deleteError.code() == 0) {
            log(4, 23180, "No value set for personalized ads. Removing user property.");
            MSRConsentSettingsUtil::setDiagnosticSource(0, MSRConsentSettingsUtil::kAdPersonalization);
        } else {
            log(1, 23173, "Unable to remove personalized ads user property in the database. Error", {deleteError});
        }
        return;
    }
    const int64_t value = *disable ? 1 : 0;
    const bool changed = !stored || !stored->value().isInt64() || stored->value().int64Value() != value;
    if (remoteConfig_->DMAConsentEnabled() && !MSRConsentSettingsUtil::adPersonalization()) {
        updateAdPersonalizationConsentFromNPAValue(value);
    }
    if (!changed) return;
    if (auto attribute = MSRUserAttribute::initWithOrigin("auto", "_npa", MSRValue(value), dispatch::Clock::now())) {
        setUserAttributeOnWorkerQueue(*attribute);
    }
}

void MSRMeasurement::updateAdPersonalizationConsentFromNPAValue(int64_t value) {
    const bool disable = value != 0;
    // Personalization granted and "_npa" 0 say the same: nothing to change.
    if (auto granted = MSRConsentSettingsUtil::adPersonalization(); granted && *granted != disable) return;
    MSRConsentSettingsUtil::updateSettings(
        {{MSRConsentSettingsUtil::kAdPersonalization, foundation::Value(disable ? "denied" : "granted")}});
    auto defaults = MSRConsentSettingsUtil::defaultSettings();
    if (persistedConfig_ && !persistedConfig_->allowPersonalizedAds().isAbsent()) {
        MSRConsentSettingsUtil::setDiagnosticSource(5, MSRConsentSettingsUtil::kAdPersonalization);
    } else if (foundAdPersonalizationPlistFlag_) {
        MSRConsentSettingsUtil::setDiagnosticSource(3, MSRConsentSettingsUtil::kAdPersonalization);
    } else if (defaults && defaults->count(MSRConsentSettingsUtil::kAdPersonalization)) {
        MSRConsentSettingsUtil::setDiagnosticSource(1, MSRConsentSettingsUtil::kAdPersonalization);
    }
}
