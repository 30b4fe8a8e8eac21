// Experiments through the engine: the snapshot the last run stored is
// activated by the engine's settings at start, and its IDs are in the
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
#include "platform/security/Compression.h"
#include "tests/core/MeasurementFixture.h"
#include "tests/support/SharedState.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"

namespace {

std::shared_ptr<MSRETaskManager> taskManagerOver(std::shared_ptr<net::Network> network,
                                                 std::string endpoint) {
    auto queue = dispatch::SerialQueue::create("MSRExperimentWorkerQueue");
    return std::make_shared<MSRETaskManager>(
        queue, std::make_shared<MSRAlarm>(queue, "MSRExperimentAlarm"), std::move(network),
        [endpoint] { return endpoint; }, std::make_shared<MSRUserDefaults>(MSRETaskManager::kSuiteName),
        MSRSDKFilePath(MSREDatabase::kFileName), dispatch::Clock::now());
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
