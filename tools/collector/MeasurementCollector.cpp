#include "tools/collector/MeasurementCollector.h"

#include <chrono>
#include <cstdio>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "platform/security/Compression.h"

namespace tools {

namespace {

CollectedEvent collectEvent(const MSRPBEvent& event) {
    CollectedEvent collected;
    collected.name = MSRPBGetString(event, MSREventSlot::kName).value_or("");
    collected.timestampMillis = MSRPBGetInt64(event, MSREventSlot::kTimestamp);
    for (const auto& param : MSRPBGetMessageArray<MSRPBEventParam>(event, MSREventSlot::kParams)) {
        CollectedParam p;
        p.name = MSRPBGetString(param, MSREventParamSlot::kName).value_or("");
        if (MSRPBHasField(param, MSREventParamSlot::kStringValue))
            p.stringValue = MSRPBGetString(param, MSREventParamSlot::kStringValue);
        if (MSRPBHasField(param, MSREventParamSlot::kIntValue))
            p.intValue = MSRPBGetInt64(param, MSREventParamSlot::kIntValue);
        if (MSRPBHasField(param, MSREventParamSlot::kDoubleValue))
            p.doubleValue = MSRPBGetDouble(param, MSREventParamSlot::kDoubleValue);
        collected.params.push_back(std::move(p));
    }
    return collected;
}

}  // namespace

const CollectedParam* CollectedEvent::param(const std::string& wanted) const {
    for (const auto& p : params) {
        if (p.name == wanted) return &p;
    }
    return nullptr;
}

std::optional<int64_t> CollectedEvent::intParam(const std::string& wanted) const {
    const CollectedParam* p = param(wanted);
    return p ? p->intValue : std::nullopt;
}

MeasurementCollector::MeasurementCollector(Collector& collector) {
    collector.setResponder(kUploadPath,
                           [this](const RecordedRequest& request) { return answerUpload(request); });
    collector.setResponder(kConfigPathPrefix,
                           [this](const RecordedRequest& request) { return answerConfig(request); });
    collector.setResponder(kExperimentsPath,
                           [this](const RecordedRequest& request) { return answerExperiments(request); });
    collector.addObserver(
        [this](const RecordedRequest& request, const ScriptedReply& reply) { observe(request, reply); });
}

bool MeasurementCollector::decodeBatch(const std::vector<uint8_t>& body,
                                       std::vector<CollectedBundle>& bundles) {
    bundles.clear();
    // An empty body is an empty batch to the decoder; no client sends one.
    if (body.empty()) return false;
    auto batch = MSRPBMeasurementBatch::initWithBuffer(body);
    if (!batch) return false;
    for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(*batch, MSRBatchSlot::kBundles)) {
        CollectedBundle collected;
        collected.appID = MSRPBGetString(bundle, MSRBundleSlot::kAppID);
        collected.zmpAppID = MSRPBGetString(bundle, MSRBundleSlot::kZMPAppID);
        collected.appInstanceID = MSRPBGetString(bundle, MSRBundleSlot::kAppInstanceID);
        collected.consentSignals = MSRPBGetString(bundle, MSRBundleSlot::kConsentSignals);
        collected.bundleIndex = MSRPBGetInt32(bundle, MSRBundleSlot::kBundleIndex);
        for (const auto& event : MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents)) {
            collected.events.push_back(collectEvent(event));
        }
        for (const auto& attribute :
             MSRPBGetMessageArray<MSRPBUserAttribute>(bundle, MSRBundleSlot::kUserAttributes)) {
            collected.userAttributeNames.push_back(
                MSRPBGetString(attribute, MSRUserAttributeSlot::kName).value_or(""));
        }
        for (const MSRPBValue& id : MSRPBGetArray(bundle, MSRBundleSlot::kExperimentIDs)) {
            std::visit(
                [&](const auto& value) {
                    if constexpr (std::is_integral_v<std::decay_t<decltype(value)>>)
                        collected.experimentIDs.push_back(static_cast<int64_t>(value));
                },
                id);
        }
        bundles.push_back(std::move(collected));
    }
    return true;
}

ScriptedReply MeasurementCollector::answerUpload(const RecordedRequest& request) const {
    ScriptedReply reply;
    std::vector<CollectedBundle> bundles;
    {
        std::lock_guard lock(mutex_);
        if (uploadsHeld_) {
            reply.status = 500;
            reply.delaySeconds = 120;
            return reply;
        }
    }
    if (request.method != "POST") {
        reply.status = 405;
    } else if (!decodeBatch(request.body, bundles)) {
        reply.status = 400;
        reply.body = "not a measurement batch";
    }
    return reply;
}

ScriptedReply MeasurementCollector::answerConfig(const RecordedRequest& request) const {
    ScriptedReply reply;
    const std::string appID = request.path.substr(std::string(kConfigPathPrefix).size());
    std::lock_guard lock(mutex_);
    auto it = configs_.find(appID);
    if (it == configs_.end()) {
        reply.status = 404;
        return reply;
    }
    reply.headers["ETag"] = it->second.etag;
    auto match = request.headers.find("if-none-match");
    if (match != request.headers.end() && match->second == it->second.etag) {
        reply.status = 304;
        return reply;
    }
    reply.status = 200;
    reply.body = it->second.body;
    reply.headers["Content-Type"] = "application/x-protobuf";
    return reply;
}

ScriptedReply MeasurementCollector::answerExperiments(const RecordedRequest& request) const {
    if (request.method != "POST") return ScriptedReply{405, "", {}, 0};
    std::lock_guard lock(mutex_);
    if (experimentBytesReply_) return *experimentBytesReply_;
    if (!experimentResponse_) return ScriptedReply{204, "", {}, 0};
    return experimentReply(*experimentResponse_);
}

ScriptedReply MeasurementCollector::experimentReply(const MSRPBExperimentResponse& response) {
    ScriptedReply reply;
    std::vector<uint8_t> bytes = response.protoBuffer().value_or(std::vector<uint8_t>{});
    // The client inflates the body itself: it is sent as gzip data, not with
    // a content encoding the transport would undo.
    std::vector<uint8_t> compressed = security::gzip(bytes).value_or(std::vector<uint8_t>{});
    reply.body.assign(compressed.begin(), compressed.end());
    reply.headers["Content-Type"] = "application/octet-stream";
    return reply;
}

MSRPBExperimentResponse MeasurementCollector::makeExperimentResponse(
    const std::string& sdkName, const std::vector<int32_t>& experimentIDs) {
    std::vector<MSRPBExperiment> experiments;
    for (int32_t id : experimentIDs) {
        std::vector<MSRPBFlag> flags;
        for (const std::string& name : {"flag_" + std::to_string(id), std::string("shared")}) {
            MSRPBFlag flag;
            MSRPBSetString(flag, MSRFlagSlot::kName, name);
            MSRPBSetInt64(flag, MSRFlagSlot::kIntValue, id);
            flags.push_back(std::move(flag));
        }
        MSRPBExperiment experiment;
        MSRPBSetInt32(experiment, MSRExperimentSlot::kExperimentID, id);
        MSRPBSetMessageArray(experiment, MSRExperimentSlot::kFlags, std::move(flags));
        experiments.push_back(std::move(experiment));
    }
    return snapshotResponse(sdkName, std::move(experiments));
}

MSRPBExperimentResponse MeasurementCollector::snapshotResponse(const std::string& sdkName,
                                                               std::vector<MSRPBExperiment> experiments) {
    MSRPBSnapshot snapshot;
    MSRPBSetString(snapshot, MSRSnapshotSlot::kSDKName, sdkName);
    MSRPBSetMessageArray(snapshot, MSRSnapshotSlot::kExperiments, std::move(experiments));
    MSRPBExperimentResponse response;
    MSRPBSetMessageArray(response, MSRExperimentResponseSlot::kSnapshots,
                         std::vector<MSRPBSnapshot>{std::move(snapshot)});
    return response;
}

void MeasurementCollector::setExperimentResponse(std::optional<MSRPBExperimentResponse> response) {
    std::lock_guard lock(mutex_);
    experimentBytesReply_.reset();
    experimentResponse_ = std::move(response);
}

void MeasurementCollector::setExperimentResponseBytes(const std::vector<uint8_t>& bytes) {
    ScriptedReply reply;
    std::vector<uint8_t> compressed = security::gzip(bytes).value_or(std::vector<uint8_t>{});
    reply.body.assign(compressed.begin(), compressed.end());
    reply.headers["Content-Type"] = "application/octet-stream";
    std::lock_guard lock(mutex_);
    experimentBytesReply_ = std::move(reply);
}

std::vector<CollectedExperimentRequest> MeasurementCollector::experimentRequests() const {
    std::lock_guard lock(mutex_);
    return experimentRequests_;
}

bool MeasurementCollector::waitForExperimentRequests(size_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return experimentRequests_.size() >= count; });
}

void MeasurementCollector::observe(const RecordedRequest& request, const ScriptedReply& reply) {
    if (request.path == kExperimentsPath) {
        CollectedExperimentRequest collected;
        if (auto decoded = MSRPBExperimentRequest::initWithBuffer(request.body)) {
            collected.decoded = true;
            for (const auto& client : MSRPBGetMessageArray<MSRPBClientProperty>(
                     *decoded, MSRExperimentRequestSlot::kClientProperties)) {
                collected.sdkNames.push_back(
                    MSRPBGetString(client, MSRClientPropertySlot::kSDKName).value_or(""));
            }
        }
        std::lock_guard lock(mutex_);
        experimentRequests_.push_back(std::move(collected));
        changed_.notify_all();
        return;
    }
    if (request.path != kUploadPath) return;
    CollectedUpload upload;
    upload.status = reply.status;
    upload.wasGzip = request.wasGzip;
    upload.body = request.body;
    upload.decoded = decodeBatch(request.body, upload.bundles);
    std::lock_guard lock(mutex_);
    if (upload.accepted()) {
        // Uploads are at least once: what a server keeps is each (app
        // instance id, bundle index) once.
        for (auto& bundle : upload.bundles) {
            bundle.repeat = !bundlesSeen_.emplace(bundle.appInstanceID.value_or(""), bundle.bundleIndex).second;
            (bundle.repeat ? repeatedEvents_ : acceptedEvents_) += bundle.events.size();
            if (bundle.repeat) ++repeatedBundles_;
        }
    }
    uploads_.push_back(std::move(upload));
    changed_.notify_all();
}

void MeasurementCollector::setConfig(const std::string& appID, const MSRPBMeasurementConfig& config) {
    auto bytes = config.protoBuffer().value_or(std::vector<uint8_t>{});
    setConfigBytes(appID, std::string(bytes.begin(), bytes.end()));
}

void MeasurementCollector::setConfigBytes(const std::string& appID, std::string bytes) {
    ServedConfig served;
    served.body = std::move(bytes);
    char etag[32];
    std::snprintf(etag, sizeof etag, "\"%016zx\"", std::hash<std::string>{}(served.body));
    served.etag = etag;
    std::lock_guard lock(mutex_);
    configs_[appID] = std::move(served);
}

MSRPBMeasurementConfig MeasurementCollector::makeConfig(const std::string& appID, int64_t version,
                                                        const std::map<std::string, std::string>& settings) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, MSRConfigSlot::kVersion, version);
    MSRPBSetString(config, MSRConfigSlot::kAppID, appID);
    std::vector<MSRPBSetting> list;
    for (const auto& [name, value] : settings) {
        MSRPBSetting setting;
        MSRPBSetString(setting, MSRSettingSlot::kName, name);
        MSRPBSetString(setting, MSRSettingSlot::kValue, value);
        list.push_back(std::move(setting));
    }
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, list);
    return config;
}

void MeasurementCollector::setUploadsHeld(bool held) {
    std::lock_guard lock(mutex_);
    uploadsHeld_ = held;
}

std::string MeasurementCollector::etagForApp(const std::string& appID) const {
    std::lock_guard lock(mutex_);
    auto it = configs_.find(appID);
    return it == configs_.end() ? std::string() : it->second.etag;
}

std::vector<CollectedUpload> MeasurementCollector::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

std::vector<CollectedEvent> MeasurementCollector::acceptedEvents() const {
    std::lock_guard lock(mutex_);
    std::vector<CollectedEvent> events;
    for (const auto& upload : uploads_) {
        if (!upload.accepted()) continue;
        for (const auto& bundle : upload.bundles)
            if (!bundle.repeat) events.insert(events.end(), bundle.events.begin(), bundle.events.end());
    }
    return events;
}

size_t MeasurementCollector::acceptedEventCount() const {
    std::lock_guard lock(mutex_);
    return acceptedEvents_;
}

size_t MeasurementCollector::repeatedBundleCount() const {
    std::lock_guard lock(mutex_);
    return repeatedBundles_;
}

size_t MeasurementCollector::repeatedEventCount() const {
    std::lock_guard lock(mutex_);
    return repeatedEvents_;
}

bool MeasurementCollector::waitUntil(
    const std::function<bool(const std::vector<CollectedUpload>&)>& predicate, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return predicate(uploads_); });
}

void MeasurementCollector::clear() {
    std::lock_guard lock(mutex_);
    uploads_.clear();
    acceptedEvents_ = 0;
    experimentRequests_.clear();
    repeatedBundles_ = 0;
    repeatedEvents_ = 0;
    bundlesSeen_.clear();
}

}  // namespace tools
