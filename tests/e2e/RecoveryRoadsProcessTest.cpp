// The recovery roads of a start, each met by the event driver as a user's
// device would meet it, and killed at random moments:
// - a transaction larger than the page cache that a kill cut before its
//   commit (the drop at open and the deletion of stale events of a start over
//   more raw events than the writers keep): the next start keeps the database
//   where it is, and every stored event arrives once;
// - the salvage of a database set aside for a damaged frame of its log, killed
//   again and again while it runs: every stored event arrives once in the end;
// - one raw event past the most the writers keep costs a start about what the
//   most does, measured in the driver's own processor time.
//
// CALVARO_KILL_ROUNDS=N runs N rounds of each kill road; the moments come
// from a printed seed (CALVARO_KILL_SEED replays them).

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

// Runs `sql` on the file at `path`, as another program would between two runs.
void recoveryRunSQL(const fs::path& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

// Replaces the contents of `folder` with those of `from`.
void recoveryRestore(const fs::path& from, const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
    fs::copy(from, folder, fs::copy_options::recursive);
}

class RecoveryRoadsProcessTest : public DriverTest {
  protected:
    RecoveryRoadsProcessTest() : DriverTest("recovery") {}

    void SetUp() override {
        DriverTest::SetUp();
        serveLargeDailyShares();
        seedRandom(random);
    }

    fs::path databaseFile() const { return measurementDatabase(root.path()); }

    // A start that runs until the events from `first` to first + count - 1
    // and its marker have arrived, then ends; each of those events must have
    // arrived once.
    void startUntilEachArrivedOnce(int64_t first, int64_t count, int marker) {
        auto ours = [&](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name == "e2e_event" && n && *n >= first && *n < first + count;
        };
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--count", "0", "--marker", std::to_string(marker)}));
        ASSERT_TRUE(measurement.waitUntil(
            [&](const auto& uploads) {
                return acceptedCount(uploads, ours) >= static_cast<size_t>(count) &&
                       acceptedCount(uploads, [&](const auto& event) {
                           return event.name == "e2e_marker" && event.intParam("n") == marker;
                       }) > 0;
            },
            300))
            << "the start uploaded " << acceptedCount(measurement.uploads(), ours) << " of " << count
            << " events" << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        expectEachAcceptedOnce(ours, static_cast<size_t>(count));
    }

    // Copies set aside beside the database ("<name>.damaged-<n>"), and
    // scratch copies read from them.
    size_t copiesBeside() const {
        size_t copies = 0;
        for (const auto& entry : fs::directory_iterator(measurementFolder(root.path()))) {
            const std::string name = entry.path().filename().string();
            const size_t at = name.find(".damaged-");
            if (at == std::string::npos) continue;
            copies += name.find(".reading") != std::string::npos ||
                      name.find_first_not_of("0123456789", at + 9) == std::string::npos;
        }
        return copies;
    }

    // What each drop at open the console tells of says: rows dropped, rows
    // kept and rows copied.
    std::vector<std::array<int64_t, 3>> dropsAtOpen() const {
        std::vector<std::array<int64_t, 3>> drops;
        std::ifstream in(root.path() / "console.log");
        const std::string said = "Rows dropped, rows kept, rows copied";
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(said);
            if (line.find("I-MSR012085") == std::string::npos || at == std::string::npos) continue;
            std::array<int64_t, 3> counts{-1, -1, -1};
            std::istringstream numbers(line.substr(at + said.size()));
            for (int64_t& count : counts) {
                while (numbers && !std::isdigit(numbers.peek())) numbers.get();
                numbers >> count;
            }
            drops.push_back(counts);
        }
        return drops;
    }

    std::mt19937 random;
};

// The bytes of the files in `folder`.
uintmax_t recoveryFolderBytes(const fs::path& folder) {
    uintmax_t bytes = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) bytes += entry.is_regular_file(ec) ? entry.file_size(ec) : 0;
    return bytes;
}

// Stored events behind more raw events than the writers keep, stale ones
// that no run wrote: the start drops the oldest past 1,000,000 at open (by
// row for 200,000 of them, by copying the million kept for 1,500,000) and
// deletes the stale rest, in transactions far larger than the page cache.
// Each round kills a start at a random moment while its log grows; the next
// start must keep the database where it is (no copy set aside, nothing
// logged as damage), upload every stored event once, and leave no more on
// the disk than the database it started with.
TEST_F(RecoveryRoadsProcessTest, ATransactionKilledBeforeItsCommitLeavesTheDatabaseWhereItIs) {
    constexpr int64_t kStored = 300;
    storeAndKill(1, kStored);
    if (HasFatalFailure()) return;
    // The stale rows go at the next start's deletion of stale data, which
    // the first start did for the day: it is made due again.
    {
        const fs::path settings = measurementFolder(root.path()) / "app.calvaro.analytics.measurement.plist";
        std::ifstream in(settings);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        in.close();
        const std::string key = "<key>/zevure/measurement/last_delete_stale</key>";
        ASSERT_NE(text.find(key), std::string::npos) << text;
        const size_t at = text.find("<real>", text.find(key));
        text.replace(at, text.find("</real>", at) + 7 - at, "<real>0</real>");
        std::ofstream(settings, std::ios::trunc) << text;
    }
    TemporaryDataRoot stored("recovery-stored");
    fs::copy(root.path(), stored.path(), fs::copy_options::recursive);
    const fs::path log = databaseFile().string() + "-wal";

    for (const int64_t junk : {int64_t{1200000}, int64_t{2500000}}) {
        SCOPED_TRACE(std::to_string(junk) + " stale raw events");
        recoveryRestore(stored.path(), root.path());
        recoveryRunSQL(databaseFile(),
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                           std::to_string(junk) +
                           ") INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, "
                           "is_realtime) SELECT i - 3000000, 'junk', 1000, (SELECT metadata_fingerprint FROM "
                           "raw_events LIMIT 1), x'0a090a025f6f1203617070', 0 FROM n");
        if (HasFatalFailure()) return;
        TemporaryDataRoot saved("recovery-saved");
        fs::copy(root.path(), saved.path(), fs::copy_options::recursive);
        const uintmax_t savedBytes = recoveryFolderBytes(measurementFolder(saved.path()));

        int cutOpen = 0;
        const int rounds = killRounds(3);
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            recoveryRestore(saved.path(), root.path());
            measurement.clear();
            {
                DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0"}));
                // The moment: once the log has grown past a random size, while
                // a large transaction writes into it.
                const uintmax_t grown = std::uniform_int_distribution<uintmax_t>(1, 12)(random) << 20;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
                std::error_code ec;
                while (std::chrono::steady_clock::now() < deadline && !driver.ended() &&
                       (fs::file_size(log, ec) < grown || ec)) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));  // picks the moment of the kill
                }
                ASSERT_FALSE(driver.ended()) << consoleTail();
                ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the log never grew" << consoleTail();
                driver.kill();
            }
            // What the kill left, as SQLite reads it: the cut transaction is not there.
            cutOpen += storedCount(root.path(), "SELECT count(*) FROM raw_events WHERE name = 'junk'") > 0;
            startUntilEachArrivedOnce(1, kStored, round);
            if (HasFatalFailure()) return;
            EXPECT_EQ(copiesBeside(), 0u) << consoleTail();
            EXPECT_EQ(consoleLinesWith(34023) + consoleLinesWith(34026), 0u) << consoleTail();
            EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM raw_events WHERE name = 'junk'"), 0);
            const uintmax_t left = recoveryFolderBytes(measurementFolder(root.path()));
            EXPECT_LE(left, savedBytes + (uintmax_t{16} << 20)) << "bytes left beside the database";
            std::printf("  %lld stale raw events, round %d: %.1f MiB on the disk before, %.1f MiB after\n",
                        static_cast<long long>(junk), round, static_cast<double>(savedBytes) / (1 << 20),
                        static_cast<double>(left) / (1 << 20));
        }
        std::printf("%d of %d kills cut a start before it had dropped the rows it drops\n", cutOpen, rounds);
    }
}

// Stored events in a database whose log holds a frame damaged after the
// events' commits, with transactions committed behind it: the start sets the
// file aside and salvages it. Starts are killed at random moments of the
// salvage until one is let finish; every stored event arrives once.
TEST_F(RecoveryRoadsProcessTest, ASalvageKilledAtManyMomentsUploadsEveryStoredEventOnce) {
    // Under the daily cap of public events a start keeps before its
    // configuration arrives (50,000).
    constexpr int64_t kStored = 40000;
    storeAndKill(1, kStored);
    if (HasFatalFailure()) return;
    // Everything into the main file; then three commits into a log that is
    // kept, and the page of the first damaged.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA wal_autocheckpoint=0;"
                               "INSERT INTO purchase_transactions VALUES ('receipt-1');"
                               "INSERT INTO purchase_transactions VALUES ('receipt-2');"
                               "INSERT INTO purchase_transactions VALUES ('receipt-3');",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close(db);
    }
    const fs::path log = databaseFile().string() + "-wal";
    {
        std::fstream file(log, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(32 + 24 + 2000);
        file.write(std::string(64, '\x5a').data(), 64);
    }
    const fs::path copy = databaseFile().string() + ".damaged-1";
    const fs::path scratch = copy.string() + ".reading";
    const fs::path mark = databaseFile().string() + ".salvage";
    int killed = 0;
    for (int round = 0; round < killRounds(8); ++round) {
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0"}));
        // The moment: a random time after the salvage began reading. A copy
        // no longer named for salvage is done with.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto salvaged = [&] { return fs::exists(copy) && !fs::exists(mark); };
        while (std::chrono::steady_clock::now() < deadline && !driver.ended() && !fs::exists(scratch) &&
               !salvaged()) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));  // picks the moment of the kill
        }
        if (!fs::exists(scratch)) {
            driver.kill();
            ASSERT_TRUE(salvaged()) << consoleTail();
            break;  // no salvage left to cut
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(random)));
        driver.kill();
        killed += fs::exists(mark);
    }
    EXPECT_GT(killed, 0) << "no salvage was cut";
    EXPECT_TRUE(fs::exists(copy)) << consoleTail();
    startUntilEachArrivedOnce(1, kStored, 1);
    EXPECT_FALSE(fs::exists(scratch)) << "the scratch copy is gone";
    EXPECT_FALSE(fs::exists(mark)) << "the salvage is done";
    EXPECT_EQ(copiesBeside(), 1u);
    std::printf("%d starts killed while they salvaged\n", killed);
}

// A start over 1,000,001 raw events against one over 1,000,000: the one row
// past the bound is deleted by itself, not by copying the million kept, so
// the start costs the driver about the same processor time up to its first
// stored event.
TEST_F(RecoveryRoadsProcessTest, OneRawEventPastTheBoundCostsAStartWhatTheBoundDoes) {
    logAndEnd(1, 3);
    if (HasFatalFailure()) return;
    const std::string now = std::to_string(dispatch::Clock::now());
    auto fill = [&](int64_t rows) {
        recoveryRunSQL(databaseFile(),
                       "DELETE FROM raw_events; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                       "WHERE i < " + std::to_string(rows) +
                           ") INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                           "SELECT 'junk', " + now +
                           ", 1, "
                           "x'0a090a025f6f1203617070', 0 FROM n");
    };
    TemporaryDataRoot atBound("recovery-bound"), pastBound("recovery-past");
    fill(1000000);
    fs::copy(root.path(), atBound.path(), fs::copy_options::recursive);
    recoveryRunSQL(databaseFile(), "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                                   "is_realtime) SELECT name, timestamp, metadata_fingerprint, data, 0 FROM "
                                   "raw_events LIMIT 1");
    fs::copy(root.path(), pastBound.path(), fs::copy_options::recursive);
    if (HasFatalFailure()) return;

    // Alternated, twice each; the least of each is its cost. Beside the
    // cost, what the start says it did: nothing at the bound, one row
    // dropped and none copied past it.
    double least[2] = {1e9, 1e9};
    for (int run = 0; run < 4; ++run) {
        const int past = run % 2;
        SCOPED_TRACE(past ? "1,000,001 raw events" : "1,000,000 raw events");
        recoveryRestore(past ? pastBound.path() : atBound.path(), root.path());
        const size_t before = dropsAtOpen().size();
        DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments({"--first", "10", "--count", "1"}));
        ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= 1; }, 600))
            << consoleTail();
        least[past] = std::min(least[past], cpuSecondsOf(driver.pid()));
        driver.kill();
        const std::vector<std::array<int64_t, 3>> drops = dropsAtOpen();
        ASSERT_EQ(drops.size(), before + past) << consoleTail();
        if (past) {
            EXPECT_EQ(drops.back()[0], 1) << "rows dropped" << consoleTail();
            EXPECT_EQ(drops.back()[2], 0) << "rows copied" << consoleTail();
        }
    }
    std::printf("processor time to the first stored event: %.2f s over 1,000,000 raw events, %.2f s over "
                "1,000,001\n",
                least[0], least[1]);
    EXPECT_GT(least[0], 0);
    EXPECT_LT(least[1], 2 * least[0]);
}

}  // namespace
