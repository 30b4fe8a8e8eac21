#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "tools/collector/Collector.h"

namespace tools {

// One event parameter as it arrived.
struct CollectedParam {
    std::string name;
    std::optional<std::string> stringValue;
    std::optional<int64_t> intValue;
    std::optional<double> doubleValue;
};

struct CollectedEvent {
    std::string name;
    int64_t timestampMillis = 0;
    std::vector<CollectedParam> params;

    const CollectedParam* param(const std::string& name) const;
    std::optional<int64_t> intParam(const std::string& name) const;
};

struct CollectedBundle {
    std::optional<std::string> appID;     // the application's own identifier
    std::optional<std::string> zmpAppID;  // the host's app id, as the configuration names it
    std::optional<std::string> appInstanceID;
    std::optional<std::string> consentSignals;  // "G1", then ad storage and analytics storage
    int32_t bundleIndex = 0;
    // Accepted before under the same (app instance id, bundle index): a
    // client that did not hear the answer sends a bundle again, and the
    // repeat is dropped.
    bool repeat = false;
    std::vector<CollectedEvent> events;
    std::vector<std::string> userAttributeNames;
    std::vector<int64_t> experimentIDs;
};

// One POST to the experiments path, as the collector read it.
struct CollectedExperimentRequest {
    bool decoded = false;                // the body decoded as an experiment request
    std::vector<std::string> sdkNames;   // the client libraries it asked for, in order
};

// One POST to the upload path.
struct CollectedUpload {
    int status = 0;             // what the collector answered
    bool wasGzip = false;       // the body came gzip-compressed
    bool decoded = false;       // the body decoded as a measurement batch
    std::vector<uint8_t> body;  // the inflated body
    std::vector<CollectedBundle> bundles;

    bool accepted() const { return status == 200 || status == 204; }
};

// The measurement server's side of a Collector: the upload path "/a" decodes
// every body as a measurement batch with our own wire messages and records
// its bundles and events (an undecodable body is answered 400), and
// "/config/app/<app id>" answers the configuration set for that app id with
// an ETag, 304 when the request's If-None-Match names the current one, and
// 404 for an app id without configuration; "/sdk-exp" answers the experiment
// response set with setExperimentResponse, gzip-compressed (204 while none is
// set) and records each request. Scripted replies of the Collector
// still go first, so tests can answer 503, 429 or 500 before the normal reply.
class MeasurementCollector {
  public:
    static constexpr const char* kUploadPath = "/a";
    static constexpr const char* kConfigPathPrefix = "/config/app/";
    static constexpr const char* kExperimentsPath = "/sdk-exp";

    // Attaches to `collector`, which must outlive this object's use.
    explicit MeasurementCollector(Collector& collector);
    MeasurementCollector(const MeasurementCollector&) = delete;
    MeasurementCollector& operator=(const MeasurementCollector&) = delete;

    // The configuration served for `appID` from now on; its ETag changes with its bytes.
    void setConfig(const std::string& appID, const MSRPBMeasurementConfig& config);
    // The same with the configuration's bytes as they are: an answer too
    // large to build as a message in the test is served all the same.
    void setConfigBytes(const std::string& appID, std::string bytes);
    // A configuration of `appID` at `version` with the given settings (name -> value text).
    static MSRPBMeasurementConfig makeConfig(const std::string& appID, int64_t version,
                                             const std::map<std::string, std::string>& settings);
    // The ETag served with `appID`'s configuration, empty when none.
    std::string etagForApp(const std::string& appID) const;
    // While held, uploads are recorded but answered only after a long delay
    // (or Collector::releaseHeldReplies), and then with 500: a client killed
    // meanwhile has had none of its uploads accepted.
    void setUploadsHeld(bool held);

    // The experiment response served from now on; none: 204.
    void setExperimentResponse(std::optional<MSRPBExperimentResponse> response);
    // The response's bytes as they are, gzip-compressed once here.
    void setExperimentResponseBytes(const std::vector<uint8_t>& bytes);
    // A 200 carrying `response` gzip-compressed, for Collector::scriptReply.
    static ScriptedReply experimentReply(const MSRPBExperimentResponse& response);
    // A response with one snapshot of `sdkName` holding an experiment per ID,
    // each with the flag "flag_<id>" = id and the flag "shared" = id.
    static MSRPBExperimentResponse makeExperimentResponse(const std::string& sdkName,
                                                          const std::vector<int32_t>& experimentIDs);
    // A response with one snapshot of `sdkName` holding `experiments`.
    static MSRPBExperimentResponse snapshotResponse(const std::string& sdkName,
                                                    std::vector<MSRPBExperiment> experiments);
    std::vector<CollectedExperimentRequest> experimentRequests() const;
    // Blocks until `count` experiment requests were recorded or `timeoutSeconds` passed.
    bool waitForExperimentRequests(size_t count, double timeoutSeconds) const;

    std::vector<CollectedUpload> uploads() const;
    // Events of the accepted uploads, in arrival order, repeated bundles
    // dropped.
    std::vector<CollectedEvent> acceptedEvents() const;
    size_t acceptedEventCount() const;
    // Accepted bundles dropped as repeats, and their events.
    size_t repeatedBundleCount() const;
    size_t repeatedEventCount() const;
    // Blocks until `predicate` holds for the uploads so far (checked after
    // every upload) or `timeoutSeconds` passed; answers whether it held.
    bool waitUntil(const std::function<bool(const std::vector<CollectedUpload>&)>& predicate,
                   double timeoutSeconds) const;
    void clear();

    // Decodes an inflated upload body; false when it is not a measurement batch.
    static bool decodeBatch(const std::vector<uint8_t>& body, std::vector<CollectedBundle>& bundles);

  private:
    struct ServedConfig {
        std::string body;
        std::string etag;
    };

    ScriptedReply answerUpload(const RecordedRequest& request) const;
    ScriptedReply answerConfig(const RecordedRequest& request) const;
    ScriptedReply answerExperiments(const RecordedRequest& request) const;
    void observe(const RecordedRequest& request, const ScriptedReply& reply);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<CollectedUpload> uploads_;
    size_t acceptedEvents_ = 0;
    size_t repeatedBundles_ = 0;
    size_t repeatedEvents_ = 0;
    std::set<std::pair<std::string, int32_t>> bundlesSeen_;  // (app instance id, bundle index)
    bool uploadsHeld_ = false;
    std::map<std::string, ServedConfig> configs_;
    std::optional<MSRPBExperimentResponse> experimentResponse_;
    // Set by setExperimentResponseBytes, served before experimentResponse_.
    std::optional<ScriptedReply> experimentBytesReply_;
    std::vector<CollectedExperimentRequest> experimentRequests_;
};

}  // namespace tools
