// Experiments with nothing replaced: the driver process fetches the
// collector's snapshot and stores it, and the next process activates it at
// its start and names its experiments in every uploaded bundle.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/support/TestPaths.h"

namespace {

using tools::DriverProcess;

constexpr const char* kMeasurementClient = "rov_idarurozaro";

// Rows of the experiments database in `table`, read as the sqlite3 shell reads them.
int rowCount(const std::filesystem::path& database, const std::string& table) {
    sqlite3* handle = nullptr;
    int count = -1;
    if (sqlite3_open_v2(database.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const std::string sql = "SELECT COUNT(*) FROM " + table + " WHERE sdk_name = ?";
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, kMeasurementClient, -1, SQLITE_STATIC);
            if (sqlite3_step(statement) == SQLITE_ROW) count = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return count;
}

class ExperimentsProcessTest : public DriverTest {
  protected:
    ExperimentsProcessTest() : DriverTest("e2e-experiments") {}

    // One driver run logging `count` events `paceSeconds` apart; returns once
    // all of them were accepted and the driver has ended in order. In debug
    // mode every event is uploaded at once, not an upload interval later.
    void run(int64_t first, int64_t count, double paceSeconds = 0) {
        auto arguments =
            driverArguments({"--debug", "--first", std::to_string(first), "--count", std::to_string(count),
                             "--pace-us", std::to_string(static_cast<int64_t>(paceSeconds * 1e6))});
        DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
            << consoleTail();
        auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
            int64_t seen = 0;
            for (const auto& upload : uploads)
                for (const auto& bundle : upload.bundles)
                    for (const auto& event : bundle.events)
                        if (auto n = event.intParam("n"); n && *n >= first && *n < first + count) ++seen;
            return seen == count;
        };
        ASSERT_TRUE(measurement.waitUntil(arrived, 90)) << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
};

TEST_F(ExperimentsProcessTest, FetchedSnapshotIsActiveInTheNextRunAndTravelsWithItsBundles) {
    measurement.setExperimentResponse(
        tools::MeasurementCollector::makeExperimentResponse(kMeasurementClient, {0, 5, 7}));
    // The first run's fetch comes 10 s after its start; its last event comes
    // seconds after the answer, and the run ends only once that is uploaded.
    run(1, 2, 15);
    ASSERT_TRUE(measurement.waitForExperimentRequests(1, 0)) << consoleTail();
    auto requests = measurement.experimentRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(requests[0].decoded);
    EXPECT_EQ(requests[0].sdkNames, std::vector<std::string>{kMeasurementClient});
    // Stored: waiting for the client, or already activated by it.
    const auto database = measurementFolder(root.path()) / "zevure_experimentation_database.sql";
    EXPECT_EQ(rowCount(database, "pending_snapshot_table") + rowCount(database, "activated_snapshot_table"),
              1)
        << consoleTail();

    measurement.clear();
    run(100, 3);
    const auto uploads = measurement.uploads();
    ASSERT_FALSE(uploads.empty());
    for (const auto& upload : uploads)
        for (const auto& bundle : upload.bundles)
            EXPECT_EQ(bundle.experimentIDs, (std::vector<int64_t>{5, 7})) << consoleTail();
    EXPECT_EQ(rowCount(database, "launched_snapshot_table"), 1);

    // protoc reads the experiment IDs of the recorded batch.
    const auto file = root.path() / "experiments-batch.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(uploads.front().body.data()),
               static_cast<std::streamsize>(uploads.front().body.size()));
    std::string decoded;
    const std::string command = "protoc --proto_path=" + CALVARO_PROTO_DIR +
                                " --decode=msr.MeasurementBatch measurement.proto < " + file.string() +
                                " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) decoded.append(buffer, got);
    ASSERT_EQ(pclose(pipe), 0) << decoded;
    EXPECT_NE(decoded.find("experiment_ids: 5\n"), std::string::npos) << decoded.substr(0, 2000);
    EXPECT_NE(decoded.find("experiment_ids: 7\n"), std::string::npos);
    EXPECT_EQ(decoded.find("experiment_ids: 0\n"), std::string::npos);
}

}  // namespace
