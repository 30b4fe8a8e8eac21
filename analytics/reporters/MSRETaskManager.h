#pragma once

// Owns the experiments database and fetches experiments from the server on a
// schedule of its own: every 4 hours after the last success (at least 10 s
// after start), a bounded back-off after failures and a 12-hour pause after
// the server said it is unavailable or overloaded. All its work runs on its
// serial worker queue; its delegate is called there.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBWireBounds.h"
#include "analytics/reporters/MSREDatabase.h"
#include "analytics/reporters/MSRESnapshot.h"
#include "analytics/support/MSRError.h"
#include "platform/net/Network.h"

namespace dispatch {
class Queue;
}
class MSRAlarm;
class MSRConfigStore;
class MSRETaskManager;

class MSRETaskManagerDelegate {
  public:
    virtual ~MSRETaskManagerDelegate() = default;
    virtual bool taskManagerShouldFetchExperiments(MSRETaskManager& taskManager) = 0;
    virtual void taskManagerDidStart(MSRETaskManager& taskManager, const std::vector<MSRESnapshot>& activated,
                                     const std::vector<MSRESnapshot>& pending,
                                     const std::vector<MSRESnapshot>& launched) = 0;
    virtual void taskManagerDidFinishFetching(MSRETaskManager& taskManager,
                                              const std::vector<MSRESnapshot>& snapshots,
                                              const std::map<std::string, MSRError>& errors) = 0;
    virtual void taskManagerDidUpsertPendingSnapshots(MSRETaskManager& taskManager,
                                                      const std::vector<MSRESnapshot>& snapshots) = 0;
};

class MSRETaskManager : public std::enable_shared_from_this<MSRETaskManager> {
  public:
    static constexpr const char* kSuiteName = "MSRExperimentSuiteName";
    static constexpr const char* kSuccessKey = "MSRExperimentFetchSuccessTimestamp";
    static constexpr const char* kFailureKey = "MSRExperimentFetchFailureTimestamp";
    static constexpr const char* kBackoffKey = "MSRExperimentFetchBackoffTimestamp";
    // The first failure after a success: where the back-off ladder starts
    // when the last success lies too far back to start it.
    static constexpr const char* kFirstFailureKey = "MSRExperimentFetchFirstFailureTimestamp";
    static constexpr const char* kFetchPath = "/sdk-exp";
    static constexpr double kFetchInterval = 14400;
    static constexpr double kInitialDelay = 10;
    static constexpr double kBackoffBase = 1800;
    static constexpr int kBackoffSteps = 6;
    static constexpr double kUnavailablePause = 43200;
    // The compressed answer and what it may inflate to.
    static constexpr size_t kMaximumResponseBytes = MSRPBWireMost::kExperimentsAnswerBytes;
    static constexpr size_t kMaximumInflatedBytes = MSRPBWireMost::kExperimentsInflatedBytes;
    // The most experiments one answer may hold over all its snapshots, the
    // most flags of one experiment and of one answer, and the most bytes the
    // flags of one answer take on the wire (why: MSRPBWireBounds.h). An
    // answer past any bound of the wire table is refused whole, unbuilt.
    static constexpr size_t kMaximumExperimentsPerAnswer = MSRPBWireMost::kExperimentsPerAnswer;
    static constexpr size_t kMaximumFlagsPerExperiment = MSRPBWireMost::kFlagsPerExperiment;
    static constexpr size_t kMaximumFlagsPerAnswer = MSRPBWireMost::kFlagsPerAnswer;
    static constexpr size_t kMaximumFlagBytesPerAnswer = MSRPBWireMost::kFlagBytesPerAnswer;

    // The experiments endpoint (base URL, without the path) at the time of a fetch.
    using EndpointProvider = std::function<std::string()>;

    // The production task manager: its own worker queue and alarm, the
    // network over libcurl towards the measurement host, the preference suite
    // and the database file in the engine's directory.
    static std::shared_ptr<MSRETaskManager> makeDefault();
    MSRETaskManager(std::shared_ptr<dispatch::Queue> workerQueue, std::shared_ptr<MSRAlarm> alarm,
                    std::shared_ptr<net::Network> network, EndpointProvider endpoint,
                    std::shared_ptr<MSRConfigStore> persistedStorage, std::string databasePath,
                    double initTimestamp);
    ~MSRETaskManager();
    MSRETaskManager(const MSRETaskManager&) = delete;
    MSRETaskManager& operator=(const MSRETaskManager&) = delete;

    void setDelegate(std::weak_ptr<MSRETaskManagerDelegate> delegate) { delegate_ = std::move(delegate); }
    const std::shared_ptr<dispatch::Queue>& workerQueue() const { return workerQueue_; }

    // Each runs asynchronously on the worker queue.
    void startTaskManager();
    void activatePendingSnapshot(const MSRESnapshot& snapshot, double timestamp);
    void resetToDefaultsForSDKName(const std::string& name);
    void upsertPendingSnapshots(const std::vector<MSRESnapshot>& snapshots);
    void reset();
    void clearAndDelete();

    // Returns once the work queued on the worker queue so far (the start
    // included) has run. Not from the worker queue itself.
    void waitForQueuedWork();

    // ---- on the worker queue ----------------------------------------------
    void startTaskManagerOnWorkerQueue();
    void fetchAllSnapshotsOnWorkerQueue();
    // 0: give up fetching for this run.
    double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
    void scheduleFetchingExperimentsOnWorkerQueue();
    void postponeFetchExperiments();
    void fetchExperiments();
    // `data` is the inflated body, nothing when none came or it did not inflate.
    void handleFetchingExperimentsResponse(const std::optional<net::Response>& response,
                                           const std::optional<std::vector<uint8_t>>& data,
                                           const std::optional<net::Error>& error);

    static std::optional<std::vector<MSRESnapshot>> experimentSnapshotsFromExperimentResponse(
        const std::optional<MSRPBExperimentResponse>& response);
    static std::map<std::string, MSRError> errorsFromExperimentResponse(
        const std::optional<MSRPBExperimentResponse>& response);
    static std::optional<std::vector<MSRESnapshot>> experimentSnapshotsFromData(
        const std::vector<uint8_t>& data);
    // The error domain of per-library fetch failures.
    static const std::string& errorDomain();

    MSREDatabase* database() const { return database_.get(); }
    bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }

  private:
    void dispatchAsyncOnWorkerQueue(std::function<void(MSRETaskManager&)> block);
    // `refusal`: why an answer that came was not taken.
    void recordFailure(int statusCode, const std::optional<net::Error>& error, const char* refusal = nullptr);
    void removeStamps();
    double stamp(const char* key);

    std::shared_ptr<dispatch::Queue> workerQueue_;
    std::shared_ptr<MSRAlarm> alarm_;
    std::shared_ptr<net::Network> network_;
    EndpointProvider endpoint_;
    std::shared_ptr<MSRConfigStore> persistedStorage_;
    std::string databasePath_;
    double initializationTimestamp_;
    std::unique_ptr<MSREDatabase> database_;
    bool hasMadeInitialFetch_ = false;
    std::weak_ptr<MSRETaskManagerDelegate> delegate_;
};
