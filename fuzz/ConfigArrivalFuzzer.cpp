// The measurement configuration as it arrives: the fetch's answer handed to
// the engine's own completion (checked, stored and applied in one
// transaction), then the stored configuration read back as a start reads it.
// The input is the answer, or a description of a large one
// (fuzz/AnswerCost.h); an arrival that costs more memory or CPU time than
// the answer's size allows aborts, as does any crash.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/MSRConfigurationFetcher.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRAlarm.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRScheduler.h"
#include "fuzz/AnswerCost.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/SilentMonitor.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/net/FakeNetwork.h"

namespace {

// The application the seeds' configurations belong to.
constexpr const char* kAppID = "1:1234567890:ios:calvaro";

struct ConfigArrival {
    dispatch::ManualExecutor executor;
    std::shared_ptr<MSRMeasurement> engine;
};

void writePropertyList(const std::filesystem::path& path, const foundation::Value::Dictionary& entries) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        << foundation::propertyListXml(foundation::Value(entries)).value_or("");
}

// An engine as the application starts it, over a data root of the target's
// own and a network that answers nothing.
ConfigArrival& arrival() {
    static ConfigArrival* made = [] {
        auto* arrival = new ConfigArrival();
        fuzz::installSilentMonitor();
        const std::filesystem::path& root = fuzz::scratchFolder();
        foundation::FileSystem::setHome(root / "home");
        std::filesystem::create_directories(root / "home");
        writePropertyList(root / "resources" / "Info.plist",
                          {{"CFBundleIdentifier", foundation::Value("app.calvaro.fuzz")},
                           {"CFBundleShortVersionString", foundation::Value("2.1")}});
        writePropertyList(root / "resources" / "ZevureService-Info.plist",
                          {{"ZEVURE_APP_ID", foundation::Value(std::string(kAppID))}});
        auto persisted = MSRPersistedConfig::initWithSuiteName(MSRPersistedConfig::kSuiteName);
        MSRPersistedConfig::setSharedInstance(persisted);
        MSRIdentityEnvironment environment;
        environment.bundle = std::make_shared<foundation::Bundle>(root / "resources");
        MSRIdentity::setSharedInstanceForTesting(
            MSRIdentity::initWithPersistedConfig(persisted, environment));
        MSRIdentifiers::sharedInstance()->setOrigin("da");
        auto network =
            std::make_shared<MSRNetworkComponent>(std::make_shared<net::FakeNetwork>(), MSRMonitor::shared());
        auto scheduler =
            std::make_shared<MSRScheduler>("app.calvaro.fuzz.measurement.worker", MSRMonitor::shared());
        auto alarm = std::make_shared<MSRAlarm>(scheduler->workerQueue(), MSRMeasurement::kAlarmName,
                                                MSRMonitor::shared());
        arrival->engine = MSRMeasurement::initWithDatabaseName(
            MSRMeasurement::kDatabaseName, persisted, std::move(network), std::move(scheduler),
            std::move(alarm), kAppID, true, false, std::nullopt, MSREManager::sharedInstance());
        if (!arrival->engine) std::abort();
        arrival->executor.runUntilIdle();
        return arrival;
    }();
    return *made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)arrival();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ConfigArrival& state = arrival();
    fuzz::arriveAsMessage(
        MSRPBMeasurementConfig::type(), "a configuration", MSRConfigurationFetcher::kMaxRemoteConfigBytes,
        data, size, [&](const net::Response& response, const std::vector<uint8_t>& body) {
            MSRMeasurement& engine = *state.engine;
            engine.scheduler()->scheduleOnWorkerQueueBlockID(
                "ConfigArrivalFuzzer", [&engine, &response, &body] {
                    engine.networkRemoteConfigFetchCompletionHandler(response, body, std::nullopt);
                    // What the next start reads of it.
                    if (auto stored =
                            std::dynamic_pointer_cast<MSRDatabaseRemoteConfig>(engine.remoteConfigInstance()))
                        stored->reloadFromDatabase();
                });
            state.executor.runUntilIdle();
        });
    return 0;
}
