#include "analytics/reporters/MSREManagerImpl.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/reporters/MSREExperimentRequestBuilder.h"
#include "analytics/reporters/MSREMonitor.h"
#include "analytics/reporters/MSRESDKProperty.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"

namespace {

constexpr const char* kVersionText = "10000000";

std::mutex gSharedMutex;
std::shared_ptr<MSREManagerImpl> gShared;

// The engine's settings as the delegate of their client: new snapshots are
// told on the manager's queue (the settings only raise a flag under their own
// lock), the rest where it happens.
class MeasurementClientDelegate : public MSREExperimentObserverDelegate {
  public:
    MeasurementClientDelegate(std::weak_ptr<MSRExperimentClientDelegate> target,
                              std::shared_ptr<dispatch::Queue> queue)
        : target_(std::move(target)), queue_(std::move(queue)) {}

    void clientDidReceiveNewSnapshot(MSREClient&) override {
        if (auto target = target_.lock()) target->clientDidReceiveNewSnapshot();
    }
    void clientDidReceiveFetchError(MSREClient&, const MSRError& error) override {
        if (auto target = target_.lock()) target->clientDidReceiveFetchError(error);
    }
    std::optional<bool> shouldFetchExperimentsForClient(MSREClient&) override {
        auto target = target_.lock();
        return target ? std::optional<bool>(target->shouldFetchExperimentsForClient()) : std::nullopt;
    }
    std::shared_ptr<dispatch::Queue> queue() override { return queue_; }

  private:
    std::weak_ptr<MSRExperimentClientDelegate> target_;
    std::shared_ptr<dispatch::Queue> queue_;
};

}  // namespace

// ---- creation -------------------------------------------------------------------------

std::shared_ptr<MSREManagerImpl> MSREManagerImpl::sharedInstance() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) {
        gShared = initWithTaskManager(MSRETaskManager::makeDefault());
        gShared->start();
    }
    return gShared;
}

void MSREManagerImpl::resetSharedInstance() {
    std::lock_guard lock(gSharedMutex);
    gShared.reset();
    MSREExperimentRequestBuilder::sharedInstance().removeAllSDKProperties();
}

std::shared_ptr<MSREManagerImpl> MSREManagerImpl::initWithTaskManager(
    std::shared_ptr<MSRETaskManager> taskManager) {
    if (!taskManager) return nullptr;
    auto manager = std::make_shared<MSREManagerImpl>(std::move(taskManager));
    manager->taskManager_->setDelegate(manager);
    return manager;
}

MSREManagerImpl::MSREManagerImpl(std::shared_ptr<MSRETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(dispatch::SerialQueue::create("MSREExperimentSerialQueue")) {}

void MSREManagerImpl::start() {
    taskManager_->startTaskManager();
}

int64_t MSREManagerImpl::version() {
    const std::string text = kVersionText;
    if (text.size() < 4) return 0;
    return std::stoll(text.substr(0, text.size() - 3));
}

void MSREManagerImpl::dispatchAsyncOnSerialQueue(std::function<void(MSREManagerImpl&)> block) {
    std::weak_ptr<MSREManagerImpl> weakSelf = weak_from_this();
    queue_->async([weakSelf, block = std::move(block)] {
        auto self = weakSelf.lock();
        if (!self) return;
        try {
            block(*self);
        } catch (const std::exception& exception) {
            MSRELog(1, 800017, "Exception on async Experimentation serial queue",
                    {MSRLogContext(exception.what())});
        }
    });
}

void MSREManagerImpl::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
    queue_->syncOrRunIfCurrent([&] {
        try {
            block();
        } catch (const std::exception& exception) {
            MSRELog(1, 800018, "Exception on sync Experimentation serial queue",
                    {MSRLogContext(exception.what())});
        }
    });
}

// ---- registration ---------------------------------------------------------------------

std::shared_ptr<MSREClient> MSREManagerImpl::registerSDKProperty(
    std::shared_ptr<MSRESDKProperty> property, const std::map<std::string, MSREFlagValue>& defaultFlags) {
    if (!property) {
        MSRELog(0, 800000, "Cannot register client with a nil SDK property");
        return nullptr;
    }
    if (property->name().empty()) {
        MSRELog(0, 800001, "Cannot register experiment client with no SDK name");
        return nullptr;
    }
    std::map<std::string, MSRPBFlag> flags;
    for (const auto& [name, value] : defaultFlags) {
        std::optional<MSRPBFlag> flag = MSRPBFlagWithNameAndValue(name, value);
        if (!flag) {
            MSRELog(0, 800002, "Cannot register experiment client invalid flags. Flag name, value", {name});
            return nullptr;
        }
        flags.emplace(name, std::move(*flag));
    }
    std::shared_ptr<MSREClient> client = MSREClient::initWithSDKProperty(property, flags, weak_from_this());
    if (!client) {
        MSRELog(1, 800004, "Cannot register client. SDK name", {property->name()});
        return nullptr;
    }
    dispatchAsyncOnSerialQueue([client, flags = std::move(flags), property](MSREManagerImpl& self) {
        const std::string& name = property->name();
        if (self.registeredClientsBySDKName_.count(name)) {
            MSRELog(
                3, 800003,
                "Registered an SDK that has already registered. Default flags will be overwritten. SDK name",
                {name});
        }
        self.registeredClientsBySDKName_.insert_or_assign(name, client);
        self.defaultFlagsBySDKName_.insert_or_assign(name, flags);
        MSREExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
        MSRELog(8, 800005, "Registered client", {name});
    });
    return client;
}

std::shared_ptr<MSRExperimentClient> MSREManagerImpl::registerSDKProperty(
    const std::string& SDKName, int64_t version, std::weak_ptr<MSRExperimentClientDelegate> delegate) {
    std::shared_ptr<MSRESDKProperty> property = MSRESDKProperty::initWithName(SDKName);
    if (!property) return nullptr;
    property->setVersion(version);
    std::shared_ptr<MSREClient> client = registerSDKProperty(property, {});
    if (client)
        client->setOwnedDelegate(std::make_shared<MeasurementClientDelegate>(std::move(delegate), queue_));
    return client;
}

std::shared_ptr<MSREClient> MSREManagerImpl::clientForSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        MSRELog(0, 800007, "Cannot find the client for empty SDK Name");
        return nullptr;
    }
    std::shared_ptr<MSREClient> client;
    dispatchSyncOnSerialQueue([&] {
        auto found = registeredClientsBySDKName_.find(SDKName);
        if (found != registeredClientsBySDKName_.end()) client = found->second;
    });
    return client;
}

// ---- lookups --------------------------------------------------------------------------

std::optional<MSREFlagValue> MSREManagerImpl::flagValueForFlagName(const std::string& flagName,
                                                                   const std::string& SDKName) {
    if (SDKName.empty()) {
        MSRELog(0, 800010, "Cannot retrieve flag value for empty SDK name");
        return std::nullopt;
    }
    if (flagName.empty()) {
        MSRELog(0, 800011, "Cannot retrieve flag value for empty flag name");
        return std::nullopt;
    }
    std::optional<MSREFlagValue> value;
    dispatchSyncOnSerialQueue([&] {
        if (!registeredClientsBySDKName_.count(SDKName)) {
            MSRELog(3, 800012, "SDK is not registered yet", {SDKName});
            return;
        }
        auto defaults = defaultFlagsBySDKName_.find(SDKName);
        if (defaults == defaultFlagsBySDKName_.end()) {
            MSRELog(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name",
                    {SDKName, flagName});
            return;
        }
        MSRELog(8, 800015, "Looking for activated flag. SDK name, flag name", {SDKName, flagName});
        if (auto activated = activatedSnapshotsBySDKName_.find(SDKName);
            activated != activatedSnapshotsBySDKName_.end()) {
            value = MSRPBFlagValue(activated->second.flagByName(flagName));
            if (value) return;
        }
        MSRELog(8, 800016, "Cannot find activated flag. Looking for launched flag. SDK name, flag name",
                {SDKName, flagName});
        if (auto launched = launchedSnapshotsBySDKName_.find(SDKName);
            launched != launchedSnapshotsBySDKName_.end()) {
            value = MSRPBFlagValue(launched->second.flagByName(flagName));
            if (value) return;
        }
        auto flag = defaults->second.find(flagName);
        if (flag == defaults->second.end()) {
            MSRELog(8, 800014, "No default flag value. SDK name, flag name", {SDKName, flagName});
            return;
        }
        MSRELog(8, 800019, "Cannot find launched flag. Returned the default flag value. SDK name, flag name",
                {SDKName, flagName});
        value = MSRPBFlagValue(flag->second);
    });
    return value;
}

bool MSREManagerImpl::activateSnapshotOfSDK(const std::string& SDKName, MSRError* error) {
    if (SDKName.empty()) {
        if (error) *error = MSRError::msr_errorWithCode(1, "SDK name cannot be empty");
        MSRELog(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
        return false;
    }
    // The snapshots stored by the last run reach this manager with the task
    // manager's start: a client activating at its own start waits for them.
    if (!startSeen_.load() && !queue_->isCurrent()) {
        taskManager_->waitForQueuedWork();
        startSeen_.store(true);
    }
    bool activated = false;
    dispatchSyncOnSerialQueue([&] {
        auto pending = pendingSnapshotsBySDKName_.find(SDKName);
        if (pending == pendingSnapshotsBySDKName_.end()) {
            MSRELog(3, 800023, "No pending snapshot to activate. SDK name", {SDKName});
            return;
        }
        const double now = dispatch::Clock::now();
        std::optional<MSRESnapshot> active = MSRESnapshot::initWithSDKName(SDKName, {});
        if (!active) return;
        active->setTimestamp(now);
        for (const MSREExperiment& experiment : pending->second.experiments()) {
            if (experiment.experimentID() != 0) {
                active->addFlags(experiment.flags(), experiment.experimentID());
            } else if (auto launched = MSRESnapshot::initWithSDKName(SDKName, {experiment})) {
                launchedSnapshotsBySDKName_.insert_or_assign(SDKName, std::move(*launched));
            }
        }
        activatedSnapshotsBySDKName_.insert_or_assign(SDKName, std::move(*active));
        MSRESnapshot snapshot = std::move(pending->second);
        pendingSnapshotsBySDKName_.erase(pending);
        taskManager_->activatePendingSnapshot(snapshot, now);
        MSRELog(8, 800028, "Successfully activated a snapshot of SDK", {SDKName});
        activated = true;
    });
    return activated;
}

int64_t MSREManagerImpl::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        MSRELog(0, 800024, "Cannot check activated snapshot for empty SDK Name");
        return -1;
    }
    int64_t status = -1;
    dispatchSyncOnSerialQueue([&] {
        if (!registeredClientsBySDKName_.count(SDKName)) return;
        auto activated = activatedSnapshotsBySDKName_.find(SDKName);
        if (activated == activatedSnapshotsBySDKName_.end() ||
            activated->second.timestamp() <= std::numeric_limits<double>::epsilon()) {
            status = -2;
            return;
        }
        status = std::fabs(activated->second.timestamp() - dispatch::Clock::now()) > kStaleSeconds ? 1 : 0;
    });
    return status;
}

std::vector<int64_t> MSREManagerImpl::experimentIDs() {
    std::vector<int64_t> ids;
    dispatchSyncOnSerialQueue([&] {
        for (const auto& [name, client] : registeredClientsBySDKName_) {
            // A library with a diversion key of its own runs experiments the
            // engine's uploads do not speak for.
            if (client->SDKProperty()->diversionKey()) continue;
            auto activated = activatedSnapshotsBySDKName_.find(name);
            if (activated == activatedSnapshotsBySDKName_.end()) continue;
            for (const MSREExperiment& experiment : activated->second.experiments())
                ids.push_back(experiment.experimentID());
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

void MSREManagerImpl::resetToDefaultsOfSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        MSRELog(0, 800025, "Cannot reset to defaults for empty SDK Name");
        return;
    }
    dispatchSyncOnSerialQueue([&] {
        if (activatedSnapshotsBySDKName_.erase(SDKName) == 0) {
            MSRELog(0, 800026, "Cannot reset to defaults for unregistered SDK name", {SDKName});
            return;
        }
        taskManager_->resetToDefaultsForSDKName(SDKName);
        MSRELog(8, 800027, "Reset all experiments to default. SDK name", {SDKName});
    });
}

void MSREManagerImpl::reset() {
    dispatchAsyncOnSerialQueue([](MSREManagerImpl& self) {
        self.taskManager_->reset();
        self.activatedSnapshotsBySDKName_.clear();
        self.pendingSnapshotsBySDKName_.clear();
        self.launchedSnapshotsBySDKName_.clear();
    });
}

void MSREManagerImpl::clearAndDelete() {
    dispatchAsyncOnSerialQueue([](MSREManagerImpl& self) {
        self.taskManager_->clearAndDelete();
        self.activatedSnapshotsBySDKName_.clear();
        self.pendingSnapshotsBySDKName_.clear();
        self.launchedSnapshotsBySDKName_.clear();
    });
}

// ---- task-manager delegate --------------------------------------------------------------

bool MSREManagerImpl::taskManagerShouldFetchExperiments(MSRETaskManager&) {
    // The clients are read on their own queue; their delegates are asked
    // outside it, so that a delegate may look elsewhere without holding it.
    std::vector<std::shared_ptr<MSREClient>> clients;
    dispatchSyncOnSerialQueue([&] {
        for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
    });
    for (const auto& client : clients) {
        auto delegate = client->delegate();
        if (!delegate) continue;
        if (delegate->shouldFetchExperimentsForClient(*client).value_or(true)) return true;
    }
    return false;
}

void MSREManagerImpl::taskManagerDidStart(MSRETaskManager&, const std::vector<MSRESnapshot>& activated,
                                          const std::vector<MSRESnapshot>& pending,
                                          const std::vector<MSRESnapshot>& launched) {
    dispatchAsyncOnSerialQueue([activated, pending, launched](MSREManagerImpl& self) {
        for (const MSRESnapshot& snapshot : activated)
            self.activatedSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
        for (const MSRESnapshot& snapshot : pending)
            self.pendingSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
        for (const MSRESnapshot& snapshot : launched)
            self.launchedSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), snapshot);
    });
}

void MSREManagerImpl::taskManagerDidFinishFetching(MSRETaskManager&,
                                                   const std::vector<MSRESnapshot>& snapshots,
                                                   const std::map<std::string, MSRError>& errors) {
    if (snapshots.empty() && errors.empty()) {
        MSRELog(3, 800020, "No pending snapshots to notify the clients");
        return;
    }
    dispatchAsyncOnSerialQueue([snapshots, errors](MSREManagerImpl& self) {
        std::vector<MSRESnapshot> taken;
        for (const MSRESnapshot& fetched : snapshots) {
            MSRESnapshot copy = fetched.copy();
            auto client = self.registeredClientsBySDKName_.find(copy.SDKName());
            if (client != self.registeredClientsBySDKName_.end()) {
                auto delegate = client->second->delegate();
                if (delegate && delegate->receivesNewSnapshots()) {
                    copy.setManuallyActivated(true);
                    taken.push_back(copy);
                }
            }
            self.pendingSnapshotsBySDKName_.insert_or_assign(copy.SDKName(), std::move(copy));
        }
        for (const auto& [name, error] : errors) {
            auto client = self.registeredClientsBySDKName_.find(name);
            if (client == self.registeredClientsBySDKName_.end()) continue;
            if (auto delegate = client->second->delegate())
                delegate->clientDidReceiveFetchError(*client->second, error);
        }
        if (!taken.empty()) self.taskManager_->upsertPendingSnapshots(taken);
    });
}

void MSREManagerImpl::taskManagerDidUpsertPendingSnapshots(MSRETaskManager&,
                                                           const std::vector<MSRESnapshot>& snapshots) {
    std::vector<std::shared_ptr<MSREClient>> clients;
    dispatchSyncOnSerialQueue([&] {
        for (const MSRESnapshot& snapshot : snapshots) {
            auto client = registeredClientsBySDKName_.find(snapshot.SDKName());
            if (client != registeredClientsBySDKName_.end()) clients.push_back(client->second);
        }
    });
    for (const auto& client : clients) {
        auto delegate = client->delegate();
        if (!delegate || !delegate->receivesNewSnapshots()) {
            MSRELog(0, 800021,
                    "Cannot notify new snapshot for SDK because the delegate does not implement "
                    "-clientDidReceiveNewSnapshot:",
                    {client->SDKName()});
            continue;
        }
        std::shared_ptr<dispatch::Queue> queue = delegate->queue();
        if (!queue) queue = dispatch::MainQueue::shared();
        queue->async([client, weakDelegate = std::weak_ptr<MSREExperimentObserverDelegate>(delegate)] {
            if (auto held = weakDelegate.lock()) held->clientDidReceiveNewSnapshot(*client);
        });
    }
}

// ---- registration with the engine ---------------------------------------------------------

void MSRRegisterExperiments() {
    MSRComponentRegistry::registerMaker<MSREManager>(
        [](const MSRComponentContext&) -> std::shared_ptr<MSREManager> {
            return MSREManagerImpl::sharedInstance();
        });
}
