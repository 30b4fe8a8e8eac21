// What the engine stored, put past its bound between two runs by something
// else (another program, a restored backup, a disk fault), costs a start
// nothing: it is dropped once with its own code, and the run goes on, its
// events uploaded and the server's configuration stored.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

// What a start may hold: a usual one holds about 25 MB (65 MB under the
// sanitizers, whose shadow and quarantine come on top).
constexpr int64_t kStartPeakLimit = kUnderAddressSanitizer ? 200'000'000 : 100'000'000;

class StoredBlobsProcessTest : public DriverTest {
  protected:
    StoredBlobsProcessTest() : DriverTest("stored-blobs") {}

    // Runs `statement` with `blob` bound to its one parameter, as another
    // program would, between two runs.
    void writeBlob(const std::string& statement, const std::vector<uint8_t>& blob) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(measurementDatabase(root.path()).c_str(), &db), SQLITE_OK);
        sqlite3_stmt* prepared = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, statement.c_str(), -1, &prepared, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_bind_blob64(prepared, 1, blob.data(), blob.size(), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(prepared), SQLITE_DONE) << sqlite3_errmsg(db);
        sqlite3_finalize(prepared);
        sqlite3_close(db);
    }

    // The version of the stored configuration; -1 when none reads.
    int64_t storedConfigurationVersion() const {
        sqlite3* db = nullptr;
        int64_t version = -1;
        if (sqlite3_open_v2(measurementDatabase(root.path()).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT remote_config_data FROM stored_config", -1, &statement,
                                   nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) == SQLITE_BLOB) {
                const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 0));
                const std::vector<uint8_t> stored(bytes, bytes + sqlite3_column_bytes(statement, 0));
                if (auto config = MSRPBMeasurementConfig::initWithBuffer(stored))
                    version = MSRPBGetInt64(*config, MSRConfigSlot::kVersion);
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return version;
    }
};

TEST_F(StoredBlobsProcessTest, AStoredConfigurationPastItsBoundIsDroppedOnceAndTheServersStored) {
    logAndEnd(1, 3);
    // 100 MiB where the configuration lies, fetched just now as far as the
    // row says.
    writeBlob("UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = " +
                  std::to_string(dispatch::Clock::now()),
              std::vector<uint8_t>(size_t{100} << 20, 0x5a));
    measurement.setConfig(kDriverApp,
                          tools::MeasurementCollector::makeConfig(
                              kDriverApp, 7, {{"measurement.upload.initial_upload_delay_time", "1000"}}));

    const int64_t peak = fetchTheConfiguration();
    std::printf("  a start over a stored configuration of 100 MiB peaked at %lld MiB\n",
                static_cast<long long>(peak >> 20));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kStartPeakLimit) << consoleTail();
    EXPECT_EQ(consoleLinesWith(29031), 1u) << consoleTail();
    EXPECT_EQ(storedConfigurationVersion(), 7) << consoleTail();

    // Gone for good: the next start finds the server's configuration and
    // says nothing more of the dropped one.
    logAndEnd(200, 3);
    EXPECT_EQ(consoleLinesWith(29031), 1u) << consoleTail();
    EXPECT_EQ(storedConfigurationVersion(), 7) << consoleTail();
}

TEST_F(StoredBlobsProcessTest, AQueuedRowInflatingPastABundleIsDroppedAndTheOtherEventsUploadOnce) {
    // Events left queued by a run killed while its upload waited for an
    // answer.
    measurement.setUploadsHeld(true);
    {
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "1", "--count", "50"}));
        ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= 50; }, 120))
            << consoleTail();
        ASSERT_TRUE(measurement.waitUntil([](const auto& uploads) { return !uploads.empty(); }, 120))
            << consoleTail();
        ::kill(driver.pid(), SIGKILL);
        driver.waitForEnd(kDriverExitHang);
    }
    collector.releaseHeldReplies();
    measurement.setUploadsHeld(false);
    ASSERT_GT(storedCount(root.path(), "SELECT count(*) FROM queue"), 0);
    ASSERT_EQ(measurement.acceptedEventCount(), 0u);
    // The oldest queued row: 240 MB shaped as a bundle of events, 4,000
    // elements of 60,000 zero bytes each, a quarter of a megabyte gzipped. Its
    // head reads as a bundle; only its whole size gives it away.
    std::vector<uint8_t> inflated;
    inflated.reserve(240'012'000);
    for (int element = 0; element < 4'000; ++element) {
        inflated.insert(inflated.end(), {0x12, 0xe0, 0xd4, 0x03});  // an event of 60,000 bytes
        inflated.resize(inflated.size() + 60'000, 0);
    }
    const std::vector<uint8_t> bomb = *security::gzip(inflated);
    inflated = {};
    writeBlob(
        "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) VALUES ("
        "(SELECT IFNULL(MIN(rowid), 1) - 1 FROM queue), " +
            std::to_string(dispatch::Clock::now()) + ", ?, 0, 0)",
        bomb);

    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100", "--count", "5"}));
    auto ourEvent = [](const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && ((*n >= 1 && *n <= 50) || (*n >= 100 && *n < 105));
    };
    auto allArrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, ourEvent) >= 55;
    };
    EXPECT_TRUE(measurement.waitUntil(allArrived, 120)) << consoleTail();
    const int64_t peak = endWithinPeak(driver, kStartPeakLimit);
    std::printf("  a start over a queued row inflating to 240 MB peaked at %lld MiB\n",
                static_cast<long long>(peak >> 20));

    expectEachAcceptedOnce(ourEvent, 55);
    EXPECT_EQ(consoleLinesWith(12078), 1u) << consoleTail();
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue"), 0) << consoleTail();
}

}  // namespace
