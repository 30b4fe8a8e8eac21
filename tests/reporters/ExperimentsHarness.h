#pragma once

// The experiments feature in virtual time: a data root of its own, every
// queue on the monitor's manual executor, a scripted network (or a real one
// towards a loopback collector) and the fetch stamps in the test's own suite.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/reporters/MSREDatabase.h"
#include "analytics/reporters/MSREExperimentRequestBuilder.h"
#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/reporters/MSRESDKProperty.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRAlarm.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/FakeNetwork.h"
#include "platform/security/Compression.h"
#include "tests/core/MonitorHarness.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// A task manager delegate that always (or never) fetches and keeps the
// size of each fetched answer.
class RecordingTaskDelegate : public MSRETaskManagerDelegate {
  public:
    bool taskManagerShouldFetchExperiments(MSRETaskManager&) override {
        ++asked;
        return shouldFetch;
    }
    void taskManagerDidStart(MSRETaskManager&, const std::vector<MSRESnapshot>&,
                             const std::vector<MSRESnapshot>&, const std::vector<MSRESnapshot>&) override {}
    void taskManagerDidFinishFetching(MSRETaskManager&, const std::vector<MSRESnapshot>& snapshots,
                                      const std::map<std::string, MSRError>&) override {
        fetched.push_back(snapshots.size());
    }
    void taskManagerDidUpsertPendingSnapshots(MSRETaskManager&, const std::vector<MSRESnapshot>&) override {}

    bool shouldFetch = true;
    int asked = 0;
    std::vector<size_t> fetched;
};

class ExperimentsTest : public ::testing::Test {
  protected:
    ExperimentsTest() {
        resetSharedState();
        MSREManagerImpl::resetSharedInstance();
        root_.useAsHome("home");
        monitor_.monitor->setLogLevel(8);
        monitor_.monitor->setVerboseLoggingEnabled(true);
    }
    ~ExperimentsTest() override {
        // What the last test queued runs before its objects go.
        monitor_.settle();
        MSREManagerImpl::resetSharedInstance();
        resetSharedState();
    }

    dispatch::ManualExecutor& executor() { return *monitor_.executor; }
    double now() { return executor().clock().wallTime(); }
    void settle() { executor().runUntilIdle(); }

    // A task manager as a new process makes it, over `network` (the fake by
    // default) towards `endpoint`.
    std::shared_ptr<MSRETaskManager> makeTaskManager(std::shared_ptr<net::Network> network = nullptr,
                                                     std::string endpoint = "https://experiments.invalid") {
        auto queue = dispatch::SerialQueue::create("MSRExperimentWorkerQueue");
        return std::make_shared<MSRETaskManager>(
            queue, std::make_shared<MSRAlarm>(queue, "MSRExperimentAlarm"), network ? network : network_,
            [endpoint] { return endpoint; }, stamps_, MSRSDKFilePath(MSREDatabase::kFileName), now());
    }

    // The codes logged since the last call.
    std::vector<int64_t> codes() {
        std::vector<int64_t> found;
        for (const auto& line : monitor_.takeLines()) {
            auto at = line.find("I-MSR");
            if (at != std::string::npos) found.push_back(std::stoll(line.substr(at + 5, 6)));
        }
        return found;
    }
    static bool contains(const std::vector<int64_t>& codes, int64_t code) {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }

    static MSRPBFlag flag(const std::string& name, int64_t value) {
        return *MSRPBFlagWithNameAndValue(name, MSREFlagValue(value));
    }
    // A snapshot of `sdk` with one experiment per ID, each holding "flag_<id>"
    // and "shared" set to the ID.
    static MSRESnapshot snapshot(const std::string& sdk, const std::vector<int64_t>& ids) {
        std::vector<MSREExperiment> experiments;
        for (int64_t id : ids)
            experiments.push_back(*MSREExperiment::initWithExperimentID(
                id, {flag("flag_" + std::to_string(id), id), flag("shared", id)}));
        return *MSRESnapshot::initWithSDKName(sdk, experiments);
    }
    static std::vector<int64_t> ids(const MSRESnapshot& snapshot) {
        std::vector<int64_t> out;
        for (const auto& experiment : snapshot.experiments()) out.push_back(experiment.experimentID());
        return out;
    }
    static std::vector<uint8_t> gzipped(const NANOMessageBase& message) {
        return *security::gzip(*message.protoBuffer());
    }

    TemporaryDataRoot root_{"experiments"};
    MonitorHarness monitor_;
    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
    std::shared_ptr<MSRUserDefaults> stamps_ = std::make_shared<MSRUserDefaults>(MSRETaskManager::kSuiteName);
};
