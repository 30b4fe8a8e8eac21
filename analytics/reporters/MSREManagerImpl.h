#pragma once

// The experiments manager of this build: client libraries register with it,
// it keeps per SDK name the activated, pending and launched snapshots, answers
// flag lookups activated -> launched -> default, and is the delegate of the
// task manager that fetches and stores snapshots. Its state lives on its own
// serial queue; it waits only on that queue.

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/reporters/MSREClient.h"
#include "analytics/reporters/MSRESnapshot.h"
#include "analytics/reporters/MSRETaskManager.h"

namespace dispatch {
class Queue;
}

class MSREManagerImpl : public MSREManager,
                        public MSRETaskManagerDelegate,
                        public std::enable_shared_from_this<MSREManagerImpl> {
  public:
    // Activated snapshots older than this are stale.
    static constexpr double kStaleSeconds = 259200;

    // One for the process, made on first use with the production task
    // manager, which is started at once.
    static std::shared_ptr<MSREManagerImpl> sharedInstance();
    // Forgets the shared instance (tests; a new engine in the same process).
    static void resetSharedInstance();
    // A manager over `taskManager` (not started: see start()).
    static std::shared_ptr<MSREManagerImpl> initWithTaskManager(std::shared_ptr<MSRETaskManager> taskManager);
    static int64_t version();

    void start();

    // Null (logged) for a null record, an empty name or an empty flag name.
    std::shared_ptr<MSREClient> registerSDKProperty(std::shared_ptr<MSRESDKProperty> property,
                                                    const std::map<std::string, MSREFlagValue>& defaultFlags);
    std::shared_ptr<MSRExperimentClient> registerSDKProperty(
        const std::string& SDKName, int64_t version,
        std::weak_ptr<MSRExperimentClientDelegate> delegate) override;
    std::shared_ptr<MSREClient> clientForSDKName(const std::string& SDKName);
    std::optional<MSREFlagValue> flagValueForFlagName(const std::string& flagName,
                                                      const std::string& SDKName);
    bool activateSnapshotOfSDK(const std::string& SDKName, MSRError* error);
    // 0 fresh, 1 stale, -1 unknown name, -2 nothing activated.
    int64_t activatedSnapshotStatusOfSDKName(const std::string& SDKName);
    std::vector<int64_t> experimentIDs();
    std::vector<int64_t> activeExperimentIDs() override { return experimentIDs(); }
    void resetToDefaultsOfSDKName(const std::string& SDKName);
    void reset() override;
    void clearAndDelete();

    const std::shared_ptr<MSRETaskManager>& taskManager() const { return taskManager_; }
    const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

    // ---- task-manager delegate (on the task manager's worker queue) --------
    bool taskManagerShouldFetchExperiments(MSRETaskManager& taskManager) override;
    void taskManagerDidStart(MSRETaskManager& taskManager, const std::vector<MSRESnapshot>& activated,
                             const std::vector<MSRESnapshot>& pending,
                             const std::vector<MSRESnapshot>& launched) override;
    void taskManagerDidFinishFetching(MSRETaskManager& taskManager,
                                      const std::vector<MSRESnapshot>& snapshots,
                                      const std::map<std::string, MSRError>& errors) override;
    void taskManagerDidUpsertPendingSnapshots(MSRETaskManager& taskManager,
                                              const std::vector<MSRESnapshot>& snapshots) override;

    explicit MSREManagerImpl(std::shared_ptr<MSRETaskManager> taskManager);

  private:
    void dispatchAsyncOnSerialQueue(std::function<void(MSREManagerImpl&)> block);
    void dispatchSyncOnSerialQueue(const std::function<void()>& block);

    std::shared_ptr<MSRETaskManager> taskManager_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::atomic<bool> startSeen_{false};
    // Touched only on queue_.
    std::map<std::string, MSRESnapshot> activatedSnapshotsBySDKName_;
    std::map<std::string, MSRESnapshot> pendingSnapshotsBySDKName_;
    std::map<std::string, MSRESnapshot> launchedSnapshotsBySDKName_;
    std::map<std::string, std::shared_ptr<MSREClient>> registeredClientsBySDKName_;
    std::map<std::string, std::map<std::string, MSRPBFlag>> defaultFlagsBySDKName_;
};

// Plugs the experiments manager into the engine through its component
// registry. Called once from the application's start.
void MSRRegisterExperiments();
