// A data root holding many rows, or large ones, that no run of the engine
// wrote (another program of the user, a restored or synced copy, a damaged
// disk) costs a start what the engine's own rows would: the junk is dropped
// once with its code, in a few statements, not one a row; the start's own
// events are stored, and a burst of 200 is stored and uploaded once, each
// start under 100 MB.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

using tools::DriverProcess;

// A usual start holds about 25 MB. Under the sanitizers their shadow comes
// on top, and their quarantine keeps up to 256 MiB of what was freed (twice
// over with its headers): a start that works a backlog frees much.
constexpr int64_t kManyRowsPeakLimit = kUnderAddressSanitizer ? 768'000'000 : 100'000'000;

// What a start over the junk may run in SQLite statements: a few thousand
// (5,047 over 1,200,000 raw events, 343 over three queued rows). Junk
// dropped a row at a time runs one for each row.
constexpr int64_t kJunkStartStatements = 20'000;

class ManyRowsProcessTest : public DriverTest {
  protected:
    ManyRowsProcessTest() : DriverTest("many-rows") {}

    std::filesystem::path experimentsDatabase() const {
        return measurementFolder(root.path()) / "zevure_experimentation_database.sql";
    }

    // A start over the data root as `fill` leaves it: a burst of 200 events,
    // each to arrive once; then a second start, which finds nothing more to
    // drop (`code` logged `lines` times by the first, none by the second).
    void startOverJunk(const char* what, int64_t code, size_t lines, const std::function<void()>& fill) {
        logAndEnd(1, 3);
        fill();
        if (HasFatalFailure()) return;
        auto ours = [](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name == "e2e_event" && n && *n >= 100 && *n < 300;
        };
        const auto started = std::chrono::steady_clock::now();
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100", "--count", "200"}));
        ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= 200; }, 120))
            << consoleTail();
        const double stored = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // The driver's own time: a crowded core stretches the uploads behind the rows, only a hang ends this.
        EXPECT_TRUE(waitOnDriver(driver, 120, [&] { return acceptedCount(measurement.uploads(), ours) >= 200; }))
            << consoleTail();
        const int64_t peak = endWithinPeak(driver, kManyRowsPeakLimit);
        const int64_t statements = driver.statementsAtEnd().value_or(-1);
        std::printf("  %s: the burst stored %.2f s after the start, peak %lld MiB, %lld SQLite statements\n", what,
                    stored, static_cast<long long>(peak >> 20), static_cast<long long>(statements));
        expectEachAcceptedOnce(ours, 200);
        EXPECT_EQ(consoleLinesWith(code), lines) << consoleTail();
        EXPECT_GE(statements, 0) << "the driver did not say what it ran";
        EXPECT_LE(statements, kJunkStartStatements) << consoleTail();

        logAndEnd(400, 3);
        EXPECT_EQ(consoleLinesWith(code), lines) << consoleTail();
    }
};

// Queued rows that inflate (each to 40 MiB of random bytes, as stored) but
// are no bundle: each is told from its head, deleted, never held beside
// another, and the three are said in one line.
TEST_F(ManyRowsProcessTest, QueuedRowsThatInflateToNoBundleAreDroppedOnce) {
    startOverJunk("3 queued rows inflating to 40 MiB", 12083, 1, [&] {
        std::mt19937_64 random(7);
        std::vector<uint8_t> bytes(size_t{40} << 20);
        for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            const uint64_t word = random();
            std::memcpy(bytes.data() + i, &word, 8);
        }
        const std::vector<uint8_t> row = *security::gzip(bytes, nullptr, security::GzipEffort::kFastest);
        const std::string now = std::to_string(dispatch::Clock::now());
        runSql(measurementDatabase(root.path()),
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3) "
               "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
               "SELECT i - 10, " + now + ", ?, 0, 0 FROM n",
               &row);
    });
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue"), 0) << consoleTail();
}

// A queued row stored as a text of 60 MiB beginning with a zero byte, whose
// length() SQLite gives as 0: dropped by its type, unread.
TEST_F(ManyRowsProcessTest, AQueuedTextBeginningWithAZeroByteIsDroppedUnread) {
    startOverJunk("a queued text of 60 MiB", 12082, 1, [&] {
        runSql(measurementDatabase(root.path()),
               "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) VALUES (-1, " +
                   std::to_string(dispatch::Clock::now()) + ", CAST(zeroblob(62914560) AS TEXT), 0, 0)");
    });
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue"), 0) << consoleTail();
}

// More raw events than the writers keep (maxEventsStored reaches 1,000,000):
// the oldest go before the file's check reads them, and the start's events
// are stored after them.
TEST_F(ManyRowsProcessTest, RawEventsPastWhatTheWritersKeepAreDroppedOnce) {
    startOverJunk("1,200,000 raw events", 12085, 1, [&] {
        const int64_t fingerprint =
            storedCount(root.path(), "SELECT metadata_fingerprint FROM raw_events_metadata LIMIT 1");
        runSql(measurementDatabase(root.path()),
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1200000) "
               "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
               "SELECT 'junk', " +
                   std::to_string(dispatch::Clock::now()) + ", " + std::to_string(fingerprint) +
                   ", x'0a090a025f6f1203617070', 0 FROM n");
    });
}

// Snapshot rows of 7.9 MiB, twelve in each table: each table keeps its
// newest within what one answer holds.
TEST_F(ManyRowsProcessTest, SnapshotRowsPastWhatATableHoldsAreDroppedOnce) {
    startOverJunk("3 x 12 snapshot rows of 7.9 MiB", 810011, 3, [&] {
        // A snapshot whose library name pads it to 8,283,750 bytes: its key
        // and a length of four varint bytes before the name.
        const int64_t name = 8'283'750 - 5;
        const char length[] = {static_cast<char>((name & 0x7f) | 0x80), static_cast<char>(((name >> 7) & 0x7f) | 0x80),
                               static_cast<char>(((name >> 14) & 0x7f) | 0x80), static_cast<char>(name >> 21)};
        char hex[9];
        std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", static_cast<uint8_t>(length[0]),
                      static_cast<uint8_t>(length[1]), static_cast<uint8_t>(length[2]),
                      static_cast<uint8_t>(length[3]));
        for (const char* table : {"pending_snapshot_table", "activated_snapshot_table", "launched_snapshot_table"}) {
            runSql(experimentsDatabase(),
                   std::string("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 12) "
                               "INSERT INTO ") +
                       table +
                       " (sdk_name, snapshotProto, timestamp, manually_activated) SELECT 'junk' || i, "
                       "CAST(x'0a" +
                       hex + "' || printf('%07d', i) || printf('%.*c', " + std::to_string(name - 7) +
                       ", 's') AS BLOB), " + std::to_string(dispatch::Clock::now()) + ", 1 FROM n");
        }
    });
}

// A million small pending snapshots: all but the newest that a table may
// hold go before the file's check reads them.
TEST_F(ManyRowsProcessTest, AMillionPendingSnapshotsAreDroppedOnce) {
    startOverJunk("1,000,000 pending snapshots", 810011, 1, [&] {
        runSql(experimentsDatabase(),
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000) "
               "INSERT INTO pending_snapshot_table (sdk_name, snapshotProto, timestamp, manually_activated) "
               "SELECT 'junk' || i, x'0a056a756e6b73', " +
                   std::to_string(dispatch::Clock::now()) + ", 1 FROM n");
    });
}

}  // namespace
