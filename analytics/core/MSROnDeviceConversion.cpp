// On-device conversion measurement (see MSROnDeviceConversion.h).

#include "analytics/core/MSROnDeviceConversion.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/core/MSRPendingRequest.h"
#include "analytics/core/MSRPrivateSetMembershipClient.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

using MSRMeasurementLog::log;

constexpr const char* kValueName = "_psmvalue";
constexpr std::array<const char*, 4> kCountNames{"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};

}  // namespace

std::pair<std::string, std::string> MSROnDeviceConversion::countNamesForInputType(int64_t inputType) {
    switch (inputType) {
        case 2:
            return {"_psmcountph", "psm_phone_count"};
        case 3:
            return {"_psmcounth", "psm_count"};
        case 4:
            return {"_psmcounthph", "psm_phone_count"};
        default:
            return {"_psmcount", "psm_count"};
    }
}

std::shared_ptr<MSRPrivateSetMembershipClientClass> MSROnDeviceConversion::PSMClientClass() {
    return MSRComponentRegistry::make<MSRPrivateSetMembershipClientClass>();
}

int64_t MSROnDeviceConversion::integerProperty(const std::string& name) {
    auto attribute = engine_.database_->userAttributeWithName(name, nullptr);
    return attribute && attribute->value().isInt64() ? attribute->value().int64Value() : 0;
}

double MSROnDeviceConversion::firstOpenSeconds() {
    const int64_t millis = engine_.persistedConfig_->firstOpenTimestampMilliseconds();
    return millis != 0 ? static_cast<double>(millis) / 1000 : engine_.initTimestamp_;
}

void MSROnDeviceConversion::checkPSMDependencyOnWorkerQueue() {
    if (PSMClientClass()) {
        log(7, 23253,
            "ZevureRovIdarurozaroOnDeviceConversion dependency is linked. On-device conversion measurement is ready "
            "to initiate.");
        return;
    }
    if (!engine_.database_) return;
    const bool counted = engine_.database_->containsUserAttributeWithName("_psmcount", nullptr).value_or(false) ||
                         engine_.database_->containsUserAttributeWithName("_psmcountph", nullptr).value_or(false);
    if (counted) {
        log(4, 23254,
            "ZevureRovIdarurozaroOnDeviceConversion dependency is not currently linked. On-device conversion "
            "measurement will fail to initiate.");
    }
}

bool MSROnDeviceConversion::shouldRetrievePSMResponse() {
    if (!PSMClientClass()) {
        log(1, 23233,
            "Failed to initiate on-device conversion measurement. ZevureRovIdarurozaroOnDeviceConversion dependency "
            "not linked in.");
        return false;
    }
    if (!engine_.remoteConfig_->PSMFeatureEnabled()) return false;
    const double window = static_cast<double>(engine_.remoteConfig_->maxSignInDelayInDays()) * 86400;
    if (std::fabs(dispatch::Clock::now() - firstOpenSeconds()) > window) {
        log(1, 23261,
            "Failed to initiate on-device conversion measurement. Attempted to initiate outside the first open "
            "window.");
        return false;
    }
    if (engine_.isPSMRequestInProgress_) {
        log(1, 23235,
            "Failed to initiate on-device conversion measurement. Request to query data set for on-device conversion "
            "measurement already in progress.");
        return false;
    }
    if (engine_.PSMStartCount_ >= engine_.remoteConfig_->maxPSMStartCount()) {
        log(1, 23236, "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
        return false;
    }
    if (engine_.database_->containsUserAttributeWithName(kValueName, nullptr).value_or(false)) {
        log(1, 23237, "Failed to initiate on-device conversion measurement. Found existing match.");
        return false;
    }
    if (engine_.PSMRetryCount_ >= engine_.remoteConfig_->maxPSMRetryCount()) {
        log(1, 23238, "Failed to initiate on-device conversion measurement. Exceeded retry limit.");
        return false;
    }
    return true;
}

bool MSROnDeviceConversion::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
    if (emailAddress.empty()) {
        log(1, 23234, "Failed to initiate on-device conversion measurement. Email address was empty.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool MSROnDeviceConversion::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
    if (phoneNumber.empty()) {
        log(1, 23239, "Failed to initiate on-device conversion measurement. Phone number was empty.");
        return false;
    }
    if (auto type = PSMClientClass(); type && !type->supportsPhoneNumbers()) {
        log(1, 23262,
            "Failed to initiate on-device conversion measurement. Linked ZevureRovIdarurozaroOnDeviceConversion "
            "dependency does not support phone numbers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

bool MSROnDeviceConversion::shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier) {
    if (hashedIdentifier.empty()) {
        log(1, 23264, "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
        return false;
    }
    if (auto type = PSMClientClass(); type && !type->supportsHashedIdentifiers()) {
        log(1, 23265,
            "Failed to initiate on-device conversion measurement. Linked ZevureRovIdarurozaroOnDeviceConversion "
            "dependency does not support hashed identifiers.");
        return false;
    }
    return shouldRetrievePSMResponse();
}

std::shared_ptr<MSRPrivateSetMembershipClient> MSROnDeviceConversion::PSMClientWithEmailAddress(const std::string& email) {
    auto type = PSMClientClass();
    if (!type) return nullptr;
    std::optional<int32_t> prefix;
    if (type->acceptsPrefixBitLength()) prefix = engine_.remoteConfig_->hashPrefixBitLengthEmail();
    return type->clientWithEmailAddress(email, engine_.identity_->appID(), prefix);
}

std::shared_ptr<MSRPrivateSetMembershipClient> MSROnDeviceConversion::PSMClientWithPhoneNumber(const std::string& phone) {
    auto type = PSMClientClass();
    if (!type || !type->supportsPhoneNumbers()) return nullptr;
    std::optional<int32_t> prefix;
    if (type->acceptsPrefixBitLength()) prefix = engine_.remoteConfig_->hashPrefixBitLengthPhone();
    return type->clientWithPhoneNumber(phone, engine_.identity_->appID(), prefix);
}

std::shared_ptr<MSRPrivateSetMembershipClient> MSROnDeviceConversion::PSMClientWithHashedEmailAddress(
    const std::string& hashed) {
    auto type = PSMClientClass();
    if (!type || !type->supportsHashedIdentifiers()) return nullptr;
    return type->clientWithHashedEmailAddress(hashed, engine_.identity_->appID(),
                                              engine_.remoteConfig_->hashPrefixBitLengthEmail());
}

std::shared_ptr<MSRPrivateSetMembershipClient> MSROnDeviceConversion::PSMClientWithHashedPhoneNumber(
    const std::string& hashed) {
    auto type = PSMClientClass();
    if (!type || !type->supportsHashedIdentifiers()) return nullptr;
    return type->clientWithHashedPhoneNumber(hashed, engine_.identity_->appID(),
                                             engine_.remoteConfig_->hashPrefixBitLengthPhone());
}

void MSROnDeviceConversion::initiateWithUserDataOnWorkerQueue(const foundation::Value::Dictionary& userData) {
    using Check = bool (MSROnDeviceConversion::*)(const std::string&);
    using Maker = std::shared_ptr<MSRPrivateSetMembershipClient> (MSROnDeviceConversion::*)(const std::string&);
    struct Key {
        const char* name;
        Check check;
        Maker maker;
    };
    static constexpr Key kKeys[] = {
        {"email_address", &MSROnDeviceConversion::shouldRetrievePSMResponseWithEmailAddress,
         &MSROnDeviceConversion::PSMClientWithEmailAddress},
        {"phone_number", &MSROnDeviceConversion::shouldRetrievePSMResponseWithPhoneNumber,
         &MSROnDeviceConversion::PSMClientWithPhoneNumber},
        {"hashed_email_address", &MSROnDeviceConversion::shouldRetrievePSMResponseWithHashedIdentifier,
         &MSROnDeviceConversion::PSMClientWithHashedEmailAddress},
        {"hashed_phone_number", &MSROnDeviceConversion::shouldRetrievePSMResponseWithHashedIdentifier,
         &MSROnDeviceConversion::PSMClientWithHashedPhoneNumber},
    };
    std::shared_ptr<MSRPrivateSetMembershipClient> client;
    for (const Key& key : kKeys) {
        if (client) break;
        auto found = userData.find(key.name);
        if (found == userData.end()) continue;
        const std::string* text = found->second.string();
        const std::string value = text ? *text : std::string();
        if ((this->*key.check)(value)) client = (this->*key.maker)(value);
    }
    if (!client) return;
    engine_.privateSetMembershipClient_ = client;
    engine_.PSMStartCount_ += 1;
    engine_.PSMRetryCount_ = 0;
    retrievePSMResponse();
    log(7, 23225, "Initiated on-device conversion measurement");
}

void MSROnDeviceConversion::retrievePSMResponse() {
    auto client = engine_.privateSetMembershipClient_;
    if (!client || !engine_.hasComponentsOnWorkerQueue()) return;
    auto address = client->PSMRequestURLWithRetryCount(engine_.PSMRetryCount_);
    if (!address) {
        log(1, 23227, "URL to query data set for on-device conversion measurement is invalid");
        return;
    }
    const auto [countName, queryName] = countNamesForInputType(client->inputType());
    std::string url = *address + "&" + queryName + "=" + std::to_string(integerProperty(countName));
    const int64_t firstOpen = engine_.persistedConfig_->firstOpenTimestampMilliseconds() / 1000;
    if (firstOpen > 0) url += "&timestamp_first_open=" + std::to_string(firstOpen / 60 * 60 + 60);
    const auto& arguments = foundation::ProcessInfo::arguments();
    auto monitor = MSRMeasurement::monitor();
    if (!MSRAEU::isFAS() && (monitor->isDebugModeEnabled() || monitor->isVerboseLoggingEnabled()) &&
        std::find(arguments.begin(), arguments.end(), "-DebugOnDeviceConversionMeasurement") != arguments.end()) {
        if (auto key = client->debugKey()) url += "&debug_psm_key=" + *key;
    }
    if (!engine_.network_ || !engine_.uploader().isNetworkReadyForRequest()) {
        log(7, 23232,
            "Network operation is pending. Request to query data set for on-device conversion measurement "
            "postponed.");
        engine_.isPSMRequestPostponed_ = true;
        return;
    }
    if (engine_.PSMRetryAlarm_) engine_.PSMRetryAlarm_->cancel();
    engine_.isPSMRequestInProgress_ = true;
    engine_.isPSMRequestPostponed_ = false;
    const std::string counted = countName;
    // Watched like every request of the engine's own: a completion that never
    // comes ends as a failed query, not as uploads held for ever.
    const uint64_t request = engine_.pendingRequest().begin(
        "on-device conversion", engine_.remoteConfig_->networkTimeout(), [counted](MSRMeasurement& engine) {
            engine.onDeviceConversion().handlePSMResponse(net::Response{}, {},
                                                          net::Error{net::Error::kTimedOut, "no answer"}, counted);
        });
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    const std::string session = engine_.network_->getURL(
        url, {}, kMaxResponseBytes, engine_.scheduler_->workerQueue(), engine_.uploader().shouldUseBackgroundSession(),
        [weak, request, counted](const net::Response& response, const std::vector<uint8_t>& data,
                                 const std::optional<net::Error>& error) {
            auto engine = weak.lock();
            if (!engine || !engine->pendingRequest().end(request)) return;
            engine->onDeviceConversion().handlePSMResponse(response, data, error, counted);
        });
    if (session.empty() && engine_.pendingRequest().end(request)) {
        handlePSMResponse(net::Response{}, {}, net::Error{net::Error::kTransport, "No network session"}, counted);
    }
}

void MSROnDeviceConversion::handlePSMResponse(const net::Response& response, const std::vector<uint8_t>& data,
                                              const std::optional<net::Error>& error, const std::string& countName) {
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    incrementPSMCountOnWorkerQueueWithName(countName);
    const int status = response.statusCode;
    auto client = engine_.privateSetMembershipClient_;
    if (!error && (status == 200 || status == 204 || status == 304) && client) {
        auto value = client->parsedPSMValueFromResponse(data);
        if (value && !value->empty()) {
            log(7, 23229, "On-device conversion measurement found a match");
            handlePSMValueOnWorkerQueue(*value);
        } else {
            log(7, 23230, "On-device conversion measurement did not find a match. Will try again given new user data.");
        }
        engine_.isPSMRequestInProgress_ = false;
        engine_.privateSetMembershipClient_.reset();
        engine_.uploader().updateSchedule();
        return;
    }
    std::vector<MSRLogContext> contexts;
    contexts.reserve(2);
    contexts.emplace_back(static_cast<int64_t>(status));
    contexts.emplace_back(error ? error->description : std::string());
    log(1, 23228, "Failed to query data set for on-device conversion measurement. Will retry later. Code, error",
        contexts);
    engine_.isPSMRequestInProgress_ = false;
    maybeSchedulePSMRetry();
    engine_.uploader().updateSchedule();
}

void MSROnDeviceConversion::maybeSchedulePSMRetry() {
    const int32_t tries = engine_.PSMRetryCount_;
    engine_.PSMRetryCount_ = tries + 1;
    if (tries + 1 >= engine_.remoteConfig_->maxPSMRetryCount()) {
        log(4, 23231, "On-device conversion measurement failed to find a match. Reached retry limit.");
        return;
    }
    if (!engine_.PSMRetryAlarm_)
        engine_.PSMRetryAlarm_ = std::make_shared<MSRAlarm>(engine_.scheduler_->workerQueue(), kRetryAlarmName);
    const double delay = engine_.remoteConfig_->PSMRetryInterval() * std::ldexp(1.0, tries);
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    engine_.PSMRetryAlarm_->runAfterDelay(delay, [weak] {
        if (auto engine = weak.lock()) engine->onDeviceConversion().retrievePSMResponse();
    });
}

void MSROnDeviceConversion::handlePSMValueOnWorkerQueue(const std::string& value) {
    if (value.empty()) return;
    const double now = dispatch::Clock::now();
    if (auto attribute = MSRUserAttribute::initWithOrigin("auto", kValueName, MSRValue(value), now))
        engine_.setUserAttributeOnWorkerQueue(*attribute);
    auto event = MSREvent::initWithOrigin("auto", false, "_fx", now, 0, {{"_fxs", MSRValue(std::string("psm"))}});
    if (event) {
        event->setRealtime(true);
        engine_.eventWriter().writeEventOnWorkerQueue(*event);
    }
}

void MSROnDeviceConversion::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
    if (auto attribute = MSRUserAttribute::initWithOrigin("auto", name, MSRValue(integerProperty(name) + 1),
                                                          dispatch::Clock::now()))
        engine_.setUserAttributeOnWorkerQueue(*attribute);
}

void MSROnDeviceConversion::maybeDeleteExpiredPSMValueOnWorkerQueue() {
    if (!engine_.database_) return;
    auto value = engine_.database_->userAttributeWithName(kValueName, nullptr);
    if (!value || std::fabs(dispatch::Clock::now() - value->lastSetTimestamp()) < kValueLifetimeSeconds) return;
    engine_.removeUserAttributeOnWorkerQueue(*value);
    for (const char* name : kCountNames) {
        if (auto count = engine_.database_->userAttributeWithName(name, nullptr))
            engine_.removeUserAttributeOnWorkerQueue(*count);
    }
}

void MSROnDeviceConversion::resetPSMCounts() {
    engine_.PSMStartCount_ = 0;
    engine_.PSMRetryCount_ = 0;
}
