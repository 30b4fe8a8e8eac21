// The experiments answer as it arrives: the inflated body handed to the task
// manager's own handling (counted, decoded, its snapshots stored in the
// experiments database). The input is the answer, or a description of a
// large one (fuzz/AnswerCost.h); an arrival that costs more memory or CPU
// time than the answer's size allows aborts, as does any crash.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/reporters/MSREDatabase.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRAlarm.h"
#include "fuzz/AnswerCost.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/SilentMonitor.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/net/FakeNetwork.h"

namespace {

struct ExperimentsArrival {
    dispatch::ManualExecutor executor;
    std::shared_ptr<MSRETaskManager> taskManager;
};

// A task manager as a start makes it, over a data root of the target's own
// and a network that answers nothing.
ExperimentsArrival& arrival() {
    static ExperimentsArrival* made = [] {
        auto* arrival = new ExperimentsArrival();
        fuzz::installSilentMonitor();
        const std::filesystem::path home = fuzz::scratchFolder() / "home";
        std::filesystem::create_directories(home);
        foundation::FileSystem::setHome(home);
        auto queue = dispatch::SerialQueue::create("MSRExperimentWorkerQueue");
        arrival->taskManager = std::make_shared<MSRETaskManager>(
            queue, std::make_shared<MSRAlarm>(queue, "MSRExperimentAlarm"),
            std::make_shared<net::FakeNetwork>(), [] { return std::string("https://experiments.invalid"); },
            std::make_shared<MSRUserDefaults>(MSRETaskManager::kSuiteName),
            MSRSDKFilePath(MSREDatabase::kFileName), arrival->executor.clock().wallTime());
        arrival->taskManager->startTaskManager();
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
    ExperimentsArrival& state = arrival();
    fuzz::arriveAsMessage(MSRPBExperimentResponse::type(), "an experiments answer",
                          MSRETaskManager::kMaximumInflatedBytes, data, size,
                          [&](const net::Response& response, const std::vector<uint8_t>& body) {
                              MSRETaskManager& taskManager = *state.taskManager;
                              taskManager.workerQueue()->async([&taskManager, &response, &body] {
                                  taskManager.handleFetchingExperimentsResponse(response, body, std::nullopt);
                              });
                              state.executor.runUntilIdle();
                          });
    return 0;
}
