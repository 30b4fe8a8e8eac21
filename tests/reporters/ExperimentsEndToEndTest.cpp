// Experiments over the whole road: fetched from the loopback collector over
// libcurl, stored, activated at the next start, and their IDs in the engine's
// uploaded bundles as protoc reads them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/reporters/MSREDatabase.h"
#include "analytics/reporters/MSREManagerImpl.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "analytics/support/MSRAlarm.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/net/CurlNetwork.h"
#include "platform/security/Compression.h"
#include "tests/core/MeasurementFixture.h"
#include "tests/support/SharedState.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

// The engine's settings as the experiments see them; tells when a new
// snapshot arrived.
class SignallingSettings : public MSRExperimentClientDelegate {
  public:
    void clientDidReceiveNewSnapshot() override { newSnapshot.signal(); }
    void clientDidReceiveFetchError(const MSRError&) override {}
    bool shouldFetchExperimentsForClient() override { return true; }
    dispatch::TimedSemaphore newSnapshot;
};

std::shared_ptr<MSRETaskManager> taskManagerOver(std::shared_ptr<net::Network> network,
                                                 std::string endpoint) {
    auto queue = dispatch::SerialQueue::create("MSRExperimentWorkerQueue");
    return std::make_shared<MSRETaskManager>(
        queue, std::make_shared<MSRAlarm>(queue, "MSRExperimentAlarm"), std::move(network),
        [endpoint] { return endpoint; }, std::make_shared<MSRUserDefaults>(MSRETaskManager::kSuiteName),
        MSRSDKFilePath(MSREDatabase::kFileName), dispatch::Clock::now());
}

// Every queue of the manager has run what it was given.
void drain(MSREManagerImpl& manager) {
    manager.taskManager()->waitForQueuedWork();
    manager.queue()->sync([] {});
    manager.taskManager()->waitForQueuedWork();
}

TEST(ExperimentsLoopbackTest, SnapshotsAreFetchedStoredAndActivatedAtTheNextStart) {
    resetSharedState();
    TemporaryDataRoot root("experiments-loopback");
    root.useAsHome("home");
    tools::Collector collector;
    tools::MeasurementCollector measurement(collector);
    std::string error;
    ASSERT_TRUE(collector.start(0, &error)) << error;
    measurement.setExperimentResponse(
        tools::MeasurementCollector::makeExperimentResponse(kMSRExperimentsMeasurementSDKName, {0, 5, 7}));
    auto network = std::make_shared<net::CurlNetwork>();

    {
        auto manager = MSREManagerImpl::initWithTaskManager(taskManagerOver(network, collector.baseURL()));
        manager->start();
        auto settings = std::make_shared<SignallingSettings>();
        auto client = manager->registerSDKProperty(kMSRExperimentsMeasurementSDKName, 1, settings);
        ASSERT_TRUE(client);
        auto taskManager = manager->taskManager();
        taskManager->workerQueue()->async([taskManager] { taskManager->fetchExperiments(); });
        EXPECT_TRUE(settings->newSnapshot.wait(20)) << "no snapshot came";
        drain(*manager);
        // Fetched and stored, waiting for its client.
        EXPECT_TRUE(manager->experimentIDs().empty());
    }
    auto requests = measurement.experimentRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].decoded);
    EXPECT_EQ(requests[0].sdkNames, std::vector<std::string>{kMSRExperimentsMeasurementSDKName});

    // The next start: the settings activate what the last run left.
    auto manager = MSREManagerImpl::initWithTaskManager(taskManagerOver(network, collector.baseURL()));
    manager->start();
    auto settings = std::make_shared<SignallingSettings>();
    auto client = manager->registerSDKProperty(kMSRExperimentsMeasurementSDKName, 1, settings);
    MSRError activationError;
    EXPECT_TRUE(client->activateLatestSnapshot(&activationError));
    EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{5, 7}));
    auto own = manager->clientForSDKName(kMSRExperimentsMeasurementSDKName);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->valueForFlag("shared"), MSREFlagValue(int64_t{5}));
    EXPECT_EQ(own->valueForFlag("flag_0"), MSREFlagValue(int64_t{0}));
    EXPECT_EQ(client->flagValue("flag_7"), true);
    drain(*manager);
    collector.stop();
    resetSharedState();
}

// The engine with the experiments manager: the settings activate the
// snapshot stored by the last run, and every bundle names its experiments.
class ExperimentsInBundlesTest : public MeasurementFixture {
  protected:
    void SetUp() override {
        startInSetUp = false;
        MeasurementFixture::SetUp();
        MSRRemoteConfig::setMeasurementURL(std::string("http://127.0.0.1:9"));
        // What the last run fetched for the engine, waiting for activation.
        auto stored = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
        ASSERT_TRUE(stored);
        MSRPBExperimentResponse response =
            tools::MeasurementCollector::makeExperimentResponse(kMSRExperimentsMeasurementSDKName, {0, 5, 7});
        auto snapshots = MSRPBGetMessageArray<MSRPBSnapshot>(response, MSRExperimentResponseSlot::kSnapshots);
        ASSERT_TRUE(
            stored->upsertSnapshot(snapshots.at(0), MSREDatabase::kPendingTable, now() - 60, true, nullptr));
        stored.reset();

        experimentsNetwork_ = std::make_shared<net::FakeNetwork>();
        manager_ =
            MSREManagerImpl::initWithTaskManager(taskManagerOver(experimentsNetwork_, "http://127.0.0.1:9"));
        manager_->start();
        MSRComponentRegistry::registerInstance<MSREManager>(manager_);
        startEngine(options());
        database().updateRemoteConfigSuccessfulTimestamp(now(), nullptr);
        network().setResponder([](const net::FakeNetwork::Request& request) {
            net::FakeNetwork::Reply reply;
            if (request.method == "GET") reply.statusCode = net::kHTTPStatusNotModified;
            return reply;
        });
    }
    void TearDown() override {
        MeasurementFixture::TearDown();
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
    }

    std::shared_ptr<net::FakeNetwork> experimentsNetwork_;
    std::shared_ptr<MSREManagerImpl> manager_;
};

TEST_F(ExperimentsInBundlesTest, ActivatedExperimentIDsTravelInUploadedBundles) {
    EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{5, 7}));
    engine().logEvent("app", true, "level_up", {}, now(), true, false, true, {}, std::nullopt);
    runUntilIdle();
    engine().uploadData();
    runUntilIdle();
    std::vector<uint8_t> body;
    for (const auto& request : network().requests())
        if (request.method == "POST") body = request.payload;
    ASSERT_FALSE(body.empty()) << "nothing was uploaded";
    if (security::isGzip(body)) body = security::inflate(body).value_or(std::vector<uint8_t>{});

    // protoc reads the batch as the server would.
    const TemporaryDataRoot scratch("protoc");
    const auto in = scratch.path() / "batch.bin";
    const auto out = scratch.path() / "batch.txt";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    const std::string command = "protoc --decode=msr.MeasurementBatch --proto_path='" + CALVARO_PROTO_DIR +
                                "' measurement.proto < '" + in.string() + "' > '" + out.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::stringstream text;
    text << std::ifstream(out).rdbuf();
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        if (line.find("experiment_ids") != std::string::npos)
            lines.push_back(line.substr(line.find_first_not_of(' ')));
    EXPECT_EQ(lines, (std::vector<std::string>{"experiment_ids: 5", "experiment_ids: 7"})) << text.str();
}

}  // namespace
