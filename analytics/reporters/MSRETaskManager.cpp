#include "analytics/reporters/MSRETaskManager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREExperimentRequestBuilder.h"
#include "analytics/reporters/MSREMonitor.h"
#include "analytics/storage/MSRConfigStore.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/support/MSRScheduler.h"
#include "analytics/support/MSRStoredTime.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/CurlNetwork.h"
#include "platform/security/Compression.h"

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// The host part of a base URL, for the network's list of allowed hosts.
std::string hostOfURL(std::string url) {
    if (auto scheme = url.find("://"); scheme != std::string::npos) url.erase(0, scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (!url.empty() && url.front() == '[') return url.substr(1, url.find(']') - 1);
    return url.substr(0, url.find(':'));
}

// Logs why an answer is refused on the wire, counted against the wire
// table before any of it is built, if it is.
bool refusedOnTheWire(const std::vector<uint8_t>& data) {
    const std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(data, MSRPBMessageID::ExperimentResponse);
    if (!refusal) return false;
    MSRELog(1, refusal->code, refusal->text,
            {MSRLogContext(static_cast<int64_t>(refusal->count)), MSRLogContext(static_cast<int64_t>(refusal->bound))});
    return true;
}

}  // namespace

// ---- creation -------------------------------------------------------------------------

std::shared_ptr<MSRETaskManager> MSRETaskManager::makeDefault() {
    auto queue = dispatch::SerialQueue::create("MSRExperimentWorkerQueue");
    auto alarm = std::make_shared<MSRAlarm>(queue, "MSRExperimentAlarm");
    // Nothing leaves the machine but towards the measurement host.
    MSRDatabaseRemoteConfig::loadMeasurementURLFromBundle();
    net::NetworkConfiguration configuration;
    const std::string host = hostOfURL(MSRRemoteConfig::measurementURL());
    if (!host.empty()) configuration.allowedHosts = {host};
    auto network = std::make_shared<net::CurlNetwork>(configuration, host);
    return std::make_shared<MSRETaskManager>(
        queue, alarm, network, [] { return MSRRemoteConfig::measurementURL(); },
        std::make_shared<MSRUserDefaults>(kSuiteName), MSRSDKFilePath(MSREDatabase::kFileName),
        dispatch::Clock::now());
}

MSRETaskManager::MSRETaskManager(std::shared_ptr<dispatch::Queue> workerQueue,
                                 std::shared_ptr<MSRAlarm> alarm, std::shared_ptr<net::Network> network,
                                 EndpointProvider endpoint, std::shared_ptr<MSRConfigStore> persistedStorage,
                                 std::string databasePath, double initTimestamp)
    : workerQueue_(std::move(workerQueue)),
      alarm_(std::move(alarm)),
      network_(std::move(network)),
      endpoint_(std::move(endpoint)),
      persistedStorage_(std::move(persistedStorage)),
      databasePath_(std::move(databasePath)),
      initializationTimestamp_(initTimestamp) {}

MSRETaskManager::~MSRETaskManager() = default;

const std::string& MSRETaskManager::errorDomain() {
    static const std::string domain = "app.calvaro.measurement.experiments";
    return domain;
}

// ---- the worker queue -------------------------------------------------------------------

void MSRETaskManager::dispatchAsyncOnWorkerQueue(std::function<void(MSRETaskManager&)> block) {
    std::weak_ptr<MSRETaskManager> weakSelf = weak_from_this();
    workerQueue_->async([weakSelf, block = std::move(block)] {
        auto self = weakSelf.lock();
        if (!self) return;
        try {
            block(*self);
        } catch (const std::exception& exception) {
            MSRELog(1, 820026, "Exception on async worker queue", {MSRLogContext(exception.what())});
        }
    });
}

void MSRETaskManager::waitForQueuedWork() {
    if (workerQueue_->isCurrent()) return;
    workerQueue_->sync([] {});
}

void MSRETaskManager::startTaskManager() {
    dispatchAsyncOnWorkerQueue([](MSRETaskManager& self) { self.startTaskManagerOnWorkerQueue(); });
}

void MSRETaskManager::startTaskManagerOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
    database_ = MSREDatabase::initWithPath(databasePath_);
    // Without its database the feature sits this run out.
    if (!database_) return;
    fetchAllSnapshotsOnWorkerQueue();
    scheduleFetchingExperimentsOnWorkerQueue();
}

void MSRETaskManager::fetchAllSnapshotsOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
    if (!database_) return;
    const bool started = database_->performTransaction([this] {
        MSRError error;
        if (!database_->deleteStaleActivatedSnapshots(&error)) {
            MSRELog(1, 820006, "Cannot delete stale activated snapshots. Error", {MSRLogContext(error)});
            return false;
        }
        if (!database_->activatePendingSnapshotsAutomatically(&error)) {
            MSRELog(1, 820007, "Cannot activate pending snapshots automatically. Error",
                    {MSRLogContext(error)});
            return false;
        }
        return true;
    });
    if (!started) {
        MSRELog(2, 820008, "Failed to start the task manager");
        return;
    }
    MSRELog(8, 820009, "Successfully start the task manager");
    auto delegate = delegate_.lock();
    if (!delegate) return;
    MSRError activatedError, pendingError, launchedError;
    auto activated = database_->fetchAllActivatedSnapshots(&activatedError);
    if (!activated)
        MSRELog(2, 820010, "Error in fetching all activated snapshots. Error",
                {MSRLogContext(activatedError)});
    auto pending = database_->fetchAllPendingSnapshots(&pendingError);
    if (!pending)
        MSRELog(2, 820011, "Error in fetching all pending snapshots. Error", {MSRLogContext(pendingError)});
    auto launched = database_->fetchAllLaunchedSnapshots(&launchedError);
    if (!launched)
        MSRELog(2, 820012, "Error in fetching all launched snapshots. Error", {MSRLogContext(launchedError)});
    delegate->taskManagerDidStart(*this, activated.value_or(std::vector<MSRESnapshot>{}),
                                  pending.value_or(std::vector<MSRESnapshot>{}),
                                  launched.value_or(std::vector<MSRESnapshot>{}));
}

// ---- the schedule ------------------------------------------------------------------------

// A stored fetch time, settled against the clock (MSRStoredTime.h): a
// failure or a pause stamped ahead of the clock would otherwise hold every
// fetch back until the clock caught up with it.
double MSRETaskManager::stamp(const char* key) {
    const double now = dispatch::Clock::now();
    return MSRSettleStoredTime([&] { return persistedStorage_->doubleForKey(key); },
                               [&](double time) {
                                   if (time == 0) {
                                       persistedStorage_->removeObjectForKey(key);
                                   } else {
                                       persistedStorage_->setDouble(time, key);
                                   }
                               },
                               now);
}

double MSRETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure) {
    const double now = dispatch::Clock::now();
    // A success stamp in the future (the clock was moved back) counts as far
    // in the past as it lies ahead.
    const double base = now - std::fabs(lastSuccess - now);
    const double next = base + kFetchInterval;
    if (!hasMadeInitialFetch_) {
        hasMadeInitialFetch_ = true;
        return std::max(now + kInitialDelay, next);
    }
    if (lastFailure <= 0) return next;
    double t = base == 0 ? initializationTimestamp_ : next;
    // After a long gap since the last success its ladder lies in the past
    // and would give up at the first failure: the ladder then starts at the
    // first failure since the success.
    const double firstFailure = stamp(kFirstFailureKey);
    if (firstFailure > t + kBackoffBase && firstFailure <= lastFailure) t = firstFailure;
    for (int k = 0; k < kBackoffSteps; ++k) {
        t += kBackoffBase * std::ldexp(1.0, k);
        if (t > lastFailure) return t;
    }
    return 0;
}

void MSRETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
    MSRScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
    const double now = dispatch::Clock::now();
    // The success stamp keeps its mirror (a time ahead counts as far in the
    // past) and loses only what is no time at all.
    const double lastSuccess = MSRFiniteStoredTime(persistedStorage_->doubleForKey(kSuccessKey));
    double fetchTime = fetchTimeFromLastSuccessfulTimestamp(lastSuccess, stamp(kFailureKey));
    if (std::fabs(fetchTime) < kEpsilon) {
        persistedStorage_->removeObjectForKey(kSuccessKey);
        MSRELog(2, 820024, "Network attempted too many times. Will not schedule new network.");
        return;
    }
    if (auto scheduled = alarm_->scheduledTimestamp(); scheduled && *scheduled <= fetchTime) {
        MSRELog(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
                {MSRLogContext(*scheduled - now)});
        return;
    }
    const double backoff = stamp(kBackoffKey);
    if (backoff != 0 && now - backoff < kUnavailablePause)
        fetchTime = std::max(fetchTime, backoff + kUnavailablePause);
    double delay = fetchTime - now;
    if (std::fabs(delay) < kEpsilon || delay < 0) delay = 0.001;
    std::weak_ptr<MSRETaskManager> weakSelf = weak_from_this();
    alarm_->runAfterDelay(delay, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        auto delegate = self->delegate_.lock();
        if (delegate && !delegate->taskManagerShouldFetchExperiments(*self)) {
            self->postponeFetchExperiments();
        } else {
            self->fetchExperiments();
        }
    });
}

void MSRETaskManager::removeStamps() {
    persistedStorage_->removeObjectForKey(kFailureKey);
    persistedStorage_->removeObjectForKey(kFirstFailureKey);
    persistedStorage_->removeObjectForKey(kBackoffKey);
}

void MSRETaskManager::postponeFetchExperiments() {
    persistedStorage_->setDouble(dispatch::Clock::now(), kSuccessKey);
    removeStamps();
    scheduleFetchingExperimentsOnWorkerQueue();
}

// ---- fetching ----------------------------------------------------------------------------

void MSRETaskManager::fetchExperiments() {
    const std::string base = endpoint_ ? endpoint_() : std::string();
    // Without an endpoint nothing may leave the device: the schedule's stamps
    // stay as they are and the next run tries again.
    if (base.empty()) {
        MSRELog(3, 820029, "No experiments endpoint configured. Experiments are not fetched");
        return;
    }
    MSRPBExperimentRequest request = MSREExperimentRequestBuilder::sharedInstance().request();
    std::vector<uint8_t> body = request.protoBuffer().value_or(std::vector<uint8_t>{});
    MSRELog(8, 820001, "Fetching new experiments. Request",
            {MSRLogContext(static_cast<int64_t>(body.size()))});
    std::weak_ptr<MSRETaskManager> weakSelf = weak_from_this();
    net::Completion completion = [weakSelf](const net::Response& response,
                                            const std::vector<uint8_t>& received,
                                            const std::optional<net::Error>& error) {
        auto self = weakSelf.lock();
        if (!self) return;
        std::optional<std::vector<uint8_t>> data;
        if (!received.empty()) {
            std::string inflateError;
            // Bounded: a small hostile answer must not inflate into all memory.
            data = security::inflate(received, &inflateError, kMaximumInflatedBytes);
            if (!data) MSRELog(2, 820023, "Cannot inflate downloaded experiment data. Error", {inflateError});
        } else {
            data = std::vector<uint8_t>{};
        }
        self->handleFetchingExperimentsResponse(response, data, error);
    };
    std::string session;
    if (network_) {
        session = network_->postURL(base + kFetchPath, {{"Content-Type", "application/x-protobuf"}},
                                    std::move(body), kMaximumResponseBytes, workerQueue_, false,
                                    std::move(completion));
    }
    // Nothing was sent: no answer will come, and that is a failure.
    if (session.empty()) handleFetchingExperimentsResponse(std::nullopt, std::nullopt, std::nullopt);
}

void MSRETaskManager::recordFailure(int statusCode, const std::optional<net::Error>& error,
                                    const char* refusal) {
    const double now = dispatch::Clock::now();
    if (stamp(kFailureKey) <= 0) persistedStorage_->setDouble(now, kFirstFailureKey);
    persistedStorage_->setDouble(now, kFailureKey);
    if (statusCode == net::kHTTPStatusServiceUnavailable || statusCode == net::kHTTPStatusTooManyRequests)
        persistedStorage_->setDouble(now, kBackoffKey);
    std::string cause = error ? error->description : std::string();
    if (refusal) cause = refusal;
    MSRELog(1, 820002, "Network fetch failed. Will retry later. Code, error",
            {MSRLogContext(static_cast<int64_t>(statusCode)), MSRLogContext(cause)});
    scheduleFetchingExperimentsOnWorkerQueue();
}

void MSRETaskManager::handleFetchingExperimentsResponse(const std::optional<net::Response>& response,
                                                        const std::optional<std::vector<uint8_t>>& data,
                                                        const std::optional<net::Error>& error) {
    const int status = response ? response->statusCode : 0;
    if ((status != net::kHTTPStatusOK && status != net::kHTTPStatusNoContent) || error) {
        recordFailure(status, error);
        return;
    }
    // A body that does not inflate or decode is no answer: nothing is stored
    // and the back-off goes on as for any failure.
    constexpr const char* kUnreadable = "The answer could not be inflated or decoded";
    if (!data) {
        recordFailure(status, error, kUnreadable);
        return;
    }
    // Nor is one past any bound of the wire table (more snapshots,
    // experiments or flags than any application uses): counted before any
    // of it is built, refused whole, the stored ones kept.
    if (refusedOnTheWire(*data)) {
        recordFailure(status, error, "The answer holds too many entries");
        return;
    }
    std::optional<MSRPBExperimentResponse> decoded =
        data->empty() ? std::optional<MSRPBExperimentResponse>(MSRPBExperimentResponse())
                      : MSRPBExperimentResponse::initWithBuffer(*data);
    if (!decoded) {
        MSRELog(2, 820028, "Cannot decode downloaded experiment data");
        recordFailure(status, error, kUnreadable);
        return;
    }
    MSRELog(8, 820003, "Successful fetch. Got network response. Code, data",
            {MSRLogContext(static_cast<int64_t>(status)), MSRLogContext(static_cast<int64_t>(data->size()))});
    persistedStorage_->setDouble(dispatch::Clock::now(), kSuccessKey);
    removeStamps();
    std::vector<MSRESnapshot> snapshots =
        experimentSnapshotsFromExperimentResponse(decoded).value_or(std::vector<MSRESnapshot>{});
    std::map<std::string, MSRError> errors = errorsFromExperimentResponse(decoded);
    if (!snapshots.empty() && database_) {
        MSRError storeError;
        if (!database_->upsertPendingExperimentSnapshots(snapshots, &storeError)) {
            MSRELog(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                    {MSRLogContext(storeError), MSRLogContext(static_cast<int64_t>(snapshots.size()))});
        }
    }
    if (auto delegate = delegate_.lock()) delegate->taskManagerDidFinishFetching(*this, snapshots, errors);
    scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<std::vector<MSRESnapshot>> MSRETaskManager::experimentSnapshotsFromExperimentResponse(
    const std::optional<MSRPBExperimentResponse>& response) {
    if (!response) {
        MSRELog(2, 820015, "Cannot create experiment snapshots from nil response");
        return std::nullopt;
    }
    std::vector<MSRPBSnapshot> messages =
        MSRPBGetMessageArray<MSRPBSnapshot>(*response, MSRExperimentResponseSlot::kSnapshots);
    if (messages.empty()) {
        for (const MSRPBSdkResponse& sdkResponse :
             MSRPBGetMessageArray<MSRPBSdkResponse>(*response, MSRExperimentResponseSlot::kSdkResponses)) {
            std::optional<MSRPBSnapshot> snapshot =
                MSRPBGetMessage<MSRPBSnapshot>(sdkResponse, MSRSdkResponseSlot::kSnapshot);
            if (!snapshot) continue;
            std::string name = MSRPBGetString(sdkResponse, MSRSdkResponseSlot::kSDKName).value_or("");
            if (!name.empty()) MSRPBSetString(*snapshot, MSRSnapshotSlot::kSDKName, name);
            messages.push_back(std::move(*snapshot));
        }
    }
    std::vector<MSRESnapshot> snapshots;
    for (const MSRPBSnapshot& message : messages) {
        std::optional<MSRESnapshot> snapshot = MSRESnapshot::initWithProtobuf(message);
        if (!snapshot) {
            MSRELog(2, 820016, "Cannot create a snapshot from the proto");
            continue;
        }
        snapshots.push_back(std::move(*snapshot));
    }
    return snapshots;
}

std::map<std::string, MSRError> MSRETaskManager::errorsFromExperimentResponse(
    const std::optional<MSRPBExperimentResponse>& response) {
    std::map<std::string, MSRError> errors;
    if (!response) return errors;
    for (const MSRPBSdkResponse& sdkResponse :
         MSRPBGetMessageArray<MSRPBSdkResponse>(*response, MSRExperimentResponseSlot::kSdkResponses)) {
        const int32_t status = MSRPBGetInt32(sdkResponse, MSRSdkResponseSlot::kStatus);
        const std::string name = MSRPBGetString(sdkResponse, MSRSdkResponseSlot::kSDKName).value_or("");
        if (status == 0 || name.empty()) continue;
        const int64_t code = status >= 1 && status <= 3 ? -1 - status : -1;
        errors.insert_or_assign(name, MSRError(errorDomain(), code));
    }
    return errors;
}

std::optional<std::vector<MSRESnapshot>> MSRETaskManager::experimentSnapshotsFromData(
    const std::vector<uint8_t>& data) {
    if (data.empty()) {
        MSRELog(2, 820025, "Cannot create experiment snapshots from empty data");
        return std::nullopt;
    }
    if (refusedOnTheWire(data)) return std::nullopt;
    return experimentSnapshotsFromExperimentResponse(MSRPBExperimentResponse::initWithBuffer(data));
}

// ---- requests of the manager ---------------------------------------------------------------

void MSRETaskManager::activatePendingSnapshot(const MSRESnapshot& snapshot, double timestamp) {
    dispatchAsyncOnWorkerQueue([snapshot, timestamp](MSRETaskManager& self) {
        if (!self.database_) return;
        MSRError error;
        if (!self.database_->performTransaction(
                [&] { return self.database_->activateSnapshot(snapshot, timestamp, &error); })) {
            MSRELog(1, 820014, "Cannot activate snapshot for SDK Name. Error",
                    {MSRLogContext(snapshot.SDKName()), MSRLogContext(error)});
        }
    });
}

void MSRETaskManager::resetToDefaultsForSDKName(const std::string& name) {
    if (name.empty()) {
        MSRELog(1, 820018, "Cannot reset to defaults for empty SDK name");
        return;
    }
    dispatchAsyncOnWorkerQueue([name](MSRETaskManager& self) {
        MSRError error;
        if (!self.database_ || !self.database_->deleteActivatedExperimentsOfSDKName(name, &error)) {
            MSRELog(1, 820019, "Cannot reset to defaults in the database. SDK Name, error",
                    {MSRLogContext(name), MSRLogContext(error)});
        }
    });
}

void MSRETaskManager::upsertPendingSnapshots(const std::vector<MSRESnapshot>& snapshots) {
    if (snapshots.empty()) {
        MSRELog(2, 820020, "Cannot upsert empty pending snapshot list");
        return;
    }
    dispatchAsyncOnWorkerQueue([snapshots](MSRETaskManager& self) {
        MSRError error;
        if (!self.database_ || !self.database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
            MSRELog(1, 820021, "Cannot upsert pending snapshots into the database. Error",
                    {MSRLogContext(error)});
            return;
        }
        if (auto delegate = self.delegate_.lock())
            delegate->taskManagerDidUpsertPendingSnapshots(self, snapshots);
    });
}

void MSRETaskManager::reset() {
    dispatchAsyncOnWorkerQueue([](MSRETaskManager& self) {
        if (self.database_) self.database_->reset();
        self.persistedStorage_->removeObjectForKey(kSuccessKey);
        self.removeStamps();
        self.scheduleFetchingExperimentsOnWorkerQueue();
    });
}

void MSRETaskManager::clearAndDelete() {
    dispatchAsyncOnWorkerQueue([](MSRETaskManager& self) {
        if (self.database_) self.database_->closeAndDelete();
        self.persistedStorage_->removeObjectForKey(kSuccessKey);
        self.removeStamps();
    });
}
