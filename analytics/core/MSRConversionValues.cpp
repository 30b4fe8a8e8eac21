// The ad network's conversion values (see MSRConversionValues.h).

#include "analytics/core/MSRConversionValues.h"

#include <cmath>

#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementLog.h"
#include "analytics/core/MSRPendingRequest.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRStoredCount.h"
#include "platform/dispatch/Clock.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/security/Compression.h"

namespace {

using MSRMeasurementLog::log;
using MSRMeasurementLog::logWith;

bool atLeast(int major, int minor) {
    auto& system = host::AdvertisingIdentity::shared();
    const int running = system.systemMajorVersion();
    return running > major || (running == major && system.systemMinorVersion() >= minor);
}

// Named once, like the engine's other alarms, on the worker queue.
MSRAlarm& alarmNamed(std::shared_ptr<MSRAlarm>& alarm, MSRMeasurement& engine, const char* name) {
    if (!alarm) alarm = std::make_shared<MSRAlarm>(engine.scheduler()->workerQueue(), name);
    return *alarm;
}

}  // namespace

std::string MSRConversionValues::SKANVersion() const {
    if (atLeast(16, 1)) return "4.0";
    if (atLeast(14, 6)) return "3.0";
    if (atLeast(14, 5)) return "2.2";
    if (atLeast(14, 0)) return "2.1";
    if (atLeast(13, 7)) return "1.0";
    return "0";
}

bool MSRConversionValues::isSKANSupported() { return atLeast(16, 1); }

int64_t MSRConversionValues::nowMillis() const { return MSRMillisecondsFromSeconds(dispatch::Clock::now()); }

bool MSRConversionValues::isInFirstSKANPostbackWindow() {
    if (!engine_.persistedConfig_) return false;
    return engine_.persistedConfig_->firstOpenTimestampMilliseconds() + kFirstWindowMillis >= nowMillis();
}

bool MSRConversionValues::isPastAllSKANPostbackWindows() {
    if (!engine_.persistedConfig_) return true;
    return engine_.persistedConfig_->firstOpenTimestampMilliseconds() + kAllWindowsMillis < nowMillis();
}

bool MSRConversionValues::isValidFineConversionValue(int64_t value) { return value >= 0 && value < 64; }

store::AdNetwork::CoarseValue MSRConversionValues::convertCoarseConversionValueFromProtoValue(int64_t value) {
    if (value == 3) return store::AdNetwork::CoarseValue::kHigh;
    if (value == 2) return store::AdNetwork::CoarseValue::kMedium;
    return store::AdNetwork::CoarseValue::kLow;
}

bool MSRConversionValues::shouldFetchSKANConversionValue() {
    if (!isSKANSupported() || !engine_.hasComponentsOnWorkerQueue()) return false;
    if (!engine_.remoteConfig_->SKANUpdateConversionValueEnabled() || isPastAllSKANPostbackWindows()) return false;
    if (engine_.isSKANRequestInProgress_) return false;
    auto instance = engine_.identity_->appInstanceID();
    return instance && !instance->empty();
}

int32_t MSRConversionValues::SKANFetchRetryLimit() {
    const int64_t evaluated = engine_.persistedConfig_->SKANEvaluationEventTimeMillis();
    const int64_t backoff = engine_.persistedConfig_->SKANEvaluationUpdateBackoffMillis();
    if (evaluated >= 1 && backoff >= 1 && MSRCountPlus(evaluated, backoff) >= nowMillis()) return 1;
    return isInFirstSKANPostbackWindow() ? engine_.remoteConfig_->SKANFirstWindowCVFetchRetryLimit()
                                         : engine_.remoteConfig_->SKANCVFetchRetryLimit();
}

void MSRConversionValues::scheduleSKANCVFetchAfterDataUpload() {
    if (!shouldFetchSKANConversionValue()) return;
    const double delay = isInFirstSKANPostbackWindow() ? engine_.remoteConfig_->SKANFirstWindowCVFetchDelay()
                                                       : engine_.remoteConfig_->SKANInitialCVFetchDelay();
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    alarmNamed(engine_.SKANDelayAlarm_, engine_, kDelayAlarmName).runAfterDelay(delay, [weak] {
        if (auto engine = weak.lock()) engine->conversionValues().fetchSKANCV();
    });
}

MSRPBSkAdNetworkConversionValueRequest MSRConversionValues::SKANRequest() {
    using namespace MSRSkAdNetworkConversionValueRequestSlot;
    MSRPBSkAdNetworkConversionValueRequest request;
    MSRPBSetInt64(request, kLibraryVersion, MSRIdentity::rovIdarurozaroLibraryVersion());
    MSRPBSetString(request, kAppID, engine_.identity_->appID());
    MSRPBSetString(request, kAppInstanceID, engine_.identity_->appInstanceID().value_or(""));
    MSRPBSetString(request, kSKANVersion, SKANVersion());
    MSRPBSetInt64(request, kEvaluationEventTime, engine_.persistedConfig_->SKANEvaluationEventTimeMillis());
    MSRPBSetInt64(request, kLastUploadedEventTime, engine_.persistedConfig_->lastUploadedEventTimestampMillis());
    return request;
}

void MSRConversionValues::fetchSKANCV() {
    if (!shouldFetchSKANConversionValue()) return;
    if (!engine_.network_ || !engine_.uploader().isNetworkReadyForRequest()) {
        log(7, 23240, "Network operation is pending. Request to fetch SKAdNetwork conversion value postponed.");
        return;
    }
    if (!engine_.network_->isNetworkConnected()) {
        engine_.fetchSKANWhenNetworkConnected_ = true;
        return;
    }
    const std::string base = MSRRemoteConfig::measurementURL();
    auto body = SKANRequest().protoBuffer();
    if (base.empty() || !body) return;
    engine_.isSKANRequestInProgress_ = true;
    engine_.fetchSKANWhenNetworkConnected_ = false;
    if (engine_.SKANDelayAlarm_) engine_.SKANDelayAlarm_->cancel();
    if (engine_.SKANRetryAlarm_) engine_.SKANRetryAlarm_->cancel();
    // The request is watched: a completion that never comes must not keep
    // the flags set (and with them every upload) for ever.
    const uint64_t request = engine_.pendingRequest().begin(
        "conversion value", engine_.remoteConfig_->networkTimeout(), [](MSRMeasurement& engine) {
            engine.isSKANRequestInProgress_ = false;
            engine.conversionValues().handleSKANFetchResponse(net::Response{}, {},
                                                              net::Error{net::Error::kTimedOut, "no answer"});
        });
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    const std::string session = engine_.network_->postURL(
        base + kPath, {{"Accept-Encoding", "gzip"}}, std::move(*body), kMaxResponseBytes,
        engine_.scheduler_->workerQueue(), false,
        [weak, request](const net::Response& response, const std::vector<uint8_t>& data,
                        const std::optional<net::Error>& error) {
            auto engine = weak.lock();
            if (!engine || !engine->pendingRequest().end(request)) return;
            engine->isSKANRequestInProgress_ = false;
            engine->fetchSKANWhenNetworkConnected_ = false;
            engine->conversionValues().handleSKANFetchResponse(response, data, error);
        });
    if (session.empty() && engine_.pendingRequest().end(request)) {
        engine_.isSKANRequestInProgress_ = false;
        handleSKANFetchResponse(net::Response{}, {}, net::Error{net::Error::kTransport, "No network session"});
    }
}

void MSRConversionValues::handleSKANFetchResponse(const net::Response& response, const std::vector<uint8_t>& data,
                                                  const std::optional<net::Error>& error) {
    if (!engine_.hasComponentsOnWorkerQueue()) return;
    const int status = response.statusCode;
    if (status == net::kHTTPStatusNotModified) {
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (status != net::kHTTPStatusOK) {
        std::vector<MSRLogContext> contexts;
        contexts.reserve(2);
        contexts.emplace_back(static_cast<int64_t>(status));
        contexts.emplace_back(error ? error->description : std::string());
        log(7, 23241, "Network request failed to fetch SKAN conversion value. Code, Error", contexts);
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    std::vector<uint8_t> body = data;
    auto encoding = response.headers.find("Content-Encoding");
    if (encoding != response.headers.end()) {
        std::string lower = encoding->second;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "gzip" && !body.empty()) {
            // Inflation is bounded: a small hostile answer must not unfold
            // into the memory. Past the bound the answer counts as invalid.
            std::string why;
            if (auto inflated = security::inflate(body, &why, kMaxResponseBytes)) {
                body = std::move(*inflated);
            } else if (why.find("limit") != std::string::npos || why.find("large") != std::string::npos) {
                log(1, 23243, "Invalid SKAdNetwork conversion value data returned.");
                stopProcessingSKANResponseAndResetRetryCount();
                return;
            }
        }
    }
    if (body.empty()) {
        log(1, 23242, "No SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    // Counted on the wire before it is built, as every answer of a server.
    if (const std::optional<MSRPBWireRefusal> refusal =
            MSRPBWireRefusalOf(body, MSRPBMessageID::SkAdNetworkConversionValueResponse)) {
        std::vector<MSRLogContext> contexts;
        contexts.emplace_back(static_cast<int64_t>(refusal->count));
        contexts.emplace_back(static_cast<int64_t>(refusal->bound));
        log(1, refusal->code, refusal->text, contexts);
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    auto answer = MSRPBSkAdNetworkConversionValueResponse::initWithBuffer(body);
    if (!answer) {
        log(1, 23243, "Invalid SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    using namespace MSRSkAdNetworkConversionValueResponseSlot;
    const int32_t kind = MSRPBHasField(*answer, kStatus) ? MSRPBGetInt32(*answer, kStatus) : 0;
    if (kind == 1) {
        updateSKANPostbackConversionValueFromResponse(*answer);
    } else if (kind == 2) {
        stopProcessingSKANResponseAndResetRetryCount();
    } else {
        maybeScheduleSKANCVFetchRetry();
    }
}

void MSRConversionValues::updateSKANPostbackConversionValueFromResponse(
    const MSRPBSkAdNetworkConversionValueResponse& response) {
    if (!isSKANSupported()) return;
    using namespace MSRSkAdNetworkConversionValueResponseSlot;
    if (!MSRPBHasField(response, kEventTime)) {
        log(1, 23244, "SKAdNetwork conversion value data missing event time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const bool hasFine = MSRPBHasField(response, kFineValue), hasCoarse = MSRPBHasField(response, kCoarseValue);
    if (!hasFine && !hasCoarse) {
        log(1, 23251, "SKAdNetwork fine and coarse conversion values missing.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const int64_t fine = hasFine ? MSRPBGetInt32(response, kFineValue) : 0;
    const auto coarse = convertCoarseConversionValueFromProtoValue(hasCoarse ? MSRPBGetInt32(response, kCoarseValue) : 1);
    const bool lock = MSRPBHasField(response, kLockWindow) && MSRPBGetBool(response, kLockWindow);
    if (!isValidFineConversionValue(fine)) {
        logWith(1, 23245, "Invalid SKAdNetwork fine conversion value. Fine value", fine);
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (!MSRPBHasField(response, kResultTime)) {
        log(1, 23255, "SKAdNetwork conversion value data missing result time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    if (dispatch::Clock::now() > static_cast<double>(MSRPBGetInt64(response, kResultTime) / 1000)) {
        log(4, 23246, "SKAdNetwork conversion value expired.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const int64_t eventTime = MSRPBGetInt64(response, kEventTime);
    if (eventTime < engine_.persistedConfig_->lastUploadedEventTimestampMillis()) {
        log(4, 23247, "Received outdated SKAdNetwork conversion value.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    engine_.SKANRetryCount_ = 0;
    engine_.persistedConfig_->setSKANEvaluationEventTimeMillis(eventTime);
    engine_.persistedConfig_->setSKANEvaluationUpdateBackoffMillis(
        MSRPBHasField(response, kUpdateBackoff) ? MSRPBGetInt64(response, kUpdateBackoff) : 0);
    log(7, 23248, "Updating SKAdNetwork postback conversion value.");
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    store::AdNetwork::shared().updatePostbackConversionValue(
        static_cast<int>(fine), coarse, lock, [weak, response](const std::optional<store::AdNetwork::Error>& error) {
            auto engine = weak.lock();
            if (!engine) return;
            engine->onWorkerQueue("MSRMeasurement:429", [response, error](MSRMeasurement& engine) {
                engine.conversionValues().handleSKANUpdatePostbackCompletion(response, error);
            });
        });
}

void MSRConversionValues::handleSKANUpdatePostbackCompletion(const MSRPBSkAdNetworkConversionValueResponse& response,
                                                             const std::optional<store::AdNetwork::Error>& error) {
    if (error && !(error->domain == store::AdNetwork::kErrorDomain && error->code == 10 && isSKANSupported())) {
        logWith(1, 23249, "SKAdNetwork postback conversion value update failed. Error", error->description);
        return;
    }
    using namespace MSRSkAdNetworkConversionValueResponseSlot;
    MSRObjectDictionary parameters;
    if (auto model = MSRPBGetString(response, kModel)) parameters["_skanm"] = MSRValue(*model);
    if (MSRPBHasField(response, kFineValue))
        parameters["_skanf"] = MSRValue(int64_t{MSRPBGetInt32(response, kFineValue)});
    if (MSRPBHasField(response, kCoarseValue))
        parameters["_skanc"] = MSRValue(int64_t{MSRPBGetInt32(response, kCoarseValue)});
    if (MSRPBHasField(response, kLockWindow))
        parameters["_skanl"] = MSRValue(int64_t{MSRPBGetBool(response, kLockWindow) ? 1 : 0});
    if (MSRPBHasField(response, kEventTime)) parameters["_skane"] = MSRValue(MSRPBGetInt64(response, kEventTime));
    if (auto event = MSREvent::initWithOrigin("auto", false, "_skan", dispatch::Clock::now(), 0, parameters))
        engine_.handleInternalEventOnWorkerQueue(*event);
}

void MSRConversionValues::maybeScheduleSKANCVFetchRetry() {
    engine_.SKANRetryCount_ += 1;
    if (engine_.SKANRetryCount_ > SKANFetchRetryLimit()) {
        log(4, 23250, "Reached retry limit for SKAdNetwork conversion value fetch.");
        return;
    }
    const double delay = isInFirstSKANPostbackWindow() ? engine_.remoteConfig_->SKANFirstWindowCVFetchRetryInterval()
                                                       : engine_.remoteConfig_->SKANCVFetchRetryInterval();
    std::weak_ptr<MSRMeasurement> weak = engine_.weak_from_this();
    alarmNamed(engine_.SKANRetryAlarm_, engine_, kRetryAlarmName).runAfterDelay(delay, [weak] {
        if (auto engine = weak.lock()) engine->conversionValues().fetchSKANCV();
    });
}

void MSRConversionValues::stopProcessingSKANResponseAndResetRetryCount() { engine_.SKANRetryCount_ = 0; }

void MSRConversionValues::maybeFetchSKANCVAfterReachabilityChange() {
    if (engine_.fetchSKANWhenNetworkConnected_ && engine_.network_ && engine_.network_->isNetworkConnected())
        fetchSKANCV();
}
