#pragma once

// What the bundling benchmarks share: the parameters of a typical event and
// an engine over a temporary data root with all its queues on a manual
// executor.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRMonitor.h"
#include "bench/support/BenchTemporaryFolder.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/FileSystem.h"
#include "platform/net/FakeNetwork.h"

namespace bench {

// Ten parameters of mixed kinds, as the application logs them.
inline MSRObjectDictionary typicalParameters(int i) {
    using foundation::Value;
    return {
        {"form", Value("logarithmic")}, {"steps", Value(12 + i % 7)},
        {"parameter_a", Value(2.5)},    {"parameter_b", Value(-1)},
        {"parameter_c", Value("1/2")},  {"parameter_d", Value(0.75 * (i % 5))},
        {"language", Value("de")},      {"screen", Value("CalculateViewController")},
        {"from_history", Value(false)}, {"duration_ms", Value(100 + i % 97)},
    };
}

// An engine over a temporary data root named after `label`, all queues on a
// manual executor; the root goes with the object, after the queues ran dry
// and the engine's objects, which write their last changes as they go.
struct Engine {
    explicit Engine(const std::string& label) : folder(label + "-bench"), root(folder.dataRoot()) {
        foundation::FileSystem::setHome(root);
        monitor = MSRMonitor::initWithLibraryVersion(110100);
        MSRMonitor::setShared(monitor);
        persistedConfig = MSRPersistedConfig::initWithSuiteName(MSRPersistedConfig::kSuiteName);
        MSRPersistedConfig::setSharedInstance(persistedConfig);
        MSRIdentity::setSharedInstanceForTesting(MSRIdentity::initWithPersistedConfig(persistedConfig));
        auto network = std::make_shared<MSRNetworkComponent>(std::make_shared<net::FakeNetwork>(), monitor);
        auto scheduler = std::make_shared<MSRScheduler>("app.calvaro.bench.worker", monitor);
        auto alarm =
            std::make_shared<MSRAlarm>(scheduler->workerQueue(), MSRMeasurement::kAlarmName, monitor);
        engine = MSRMeasurement::initWithDatabaseName(MSRMeasurement::kDatabaseName, persistedConfig, network,
                                                      scheduler, alarm, "1:1234567890:ios:0a1b2c3d4e5f", true,
                                                      false, std::nullopt, MSREManager::sharedInstance());
        executor.runUntilIdle();
    }
    ~Engine() {
        executor.runUntilIdle();
        engine.reset();
        MSRIdentity::resetSharedInstanceForTesting();
        MSRPersistedConfig::setSharedInstance(nullptr);
        MSRMonitor::setShared(nullptr);
        persistedConfig.reset();
        monitor.reset();
        folder.remove();
    }

    BenchTemporaryFolder folder;
    dispatch::ManualExecutor executor;
    std::filesystem::path root;
    std::shared_ptr<MSRMonitor> monitor;
    std::shared_ptr<MSRPersistedConfig> persistedConfig;
    std::shared_ptr<MSRMeasurement> engine;
};

// One round of raw events stored as the event road stores them, with their
// metadata, in one transaction.
inline void storeRawEvents(MSRDatabase& database, const MSRPBMeasurementBundle& metadata, int64_t fingerprint,
                           const std::vector<MSREvent>& events) {
    database.performTransaction([&] {
        for (const MSREvent& event : events) {
            if (!database.insertIfNotExistsRawEventMetadata(metadata, nullptr) ||
                !database.insertRawEvent(event, fingerprint, false, nullptr))
                return false;
        }
        return true;
    });
}

}  // namespace bench
