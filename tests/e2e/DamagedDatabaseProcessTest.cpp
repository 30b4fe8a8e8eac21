// The event driver on a data root whose database was damaged, or left with a
// torn log, between two runs. The server drops a bundle whose (app instance
// id, bundle index) it has accepted before, so a database started afresh must
// not number its bundles from 1 again; and a log whose last frame a kill tore
// is no damage: the next run goes on with every table as it was.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "tests/e2e/DriverHarness.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

class DamagedDatabaseProcessTest : public DriverTest {
  protected:
    DamagedDatabaseProcessTest() : DriverTest("damaged-db") {}

    // Debug mode uploads a second after the newest event, which keeps each
    // run short.
    std::vector<std::string> arguments(std::vector<std::string> more) const {
        more.insert(more.begin(), "--debug");
        return driverArguments(std::move(more));
    }
    fs::path databaseFile() const {
        return root.path() / "Library/Application Support/Zevure/Measurement/zevure-app-measurement.sql";
    }

    // A run that logs `count` events from `first` and ends once each is uploaded.
    void runDriver(int64_t first, int64_t count) {
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             arguments({"--first", std::to_string(first), "--count", std::to_string(count)}));
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
            << consoleTail();
        ASSERT_EQ(driver.exitAndWait(60), 0) << consoleTail();
        runs.emplace_back(first, count);
    }

    // Every event of every run accepted exactly once, none dropped as a repeat.
    void expectEachEventOnce() {
        std::map<int64_t, int> seen;
        for (const auto& event : measurement.acceptedEvents()) {
            if (auto n = event.intParam("n"); event.name == "e2e_event" && n) ++seen[*n];
        }
        for (const auto& [first, count] : runs) {
            for (int64_t n = first; n < first + count; ++n) ASSERT_EQ(seen[n], 1) << "event " << n << consoleTail();
        }
        EXPECT_EQ(measurement.repeatedBundleCount(), 0u)
            << measurement.repeatedEventCount() << " events dropped as repeats";
    }

    // The first column of the first row of `sql` on the database, as another
    // program reads it; -1 when nothing reads.
    int64_t stored(const std::string& sql) const {
        sqlite3* db = nullptr;
        int64_t value = -1;
        if (sqlite3_open_v2(databaseFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW)
                value = sqlite3_column_int64(statement, 0);
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return value;
    }

    bool anyCopySetAside() const {
        for (const auto& entry : fs::directory_iterator(databaseFile().parent_path())) {
            if (entry.path().filename().string().find(".damaged-") != std::string::npos) return true;
        }
        return false;
    }

    std::vector<std::pair<int64_t, int64_t>> runs;
};

TEST_F(DamagedDatabaseProcessTest, BundlesOfADatabaseStartedAfreshAreNotTakenForRepeats) {
    runDriver(1, 1000);
    std::mt19937 random(std::random_device{}());
    struct Damage {
        const char* title;
        std::function<void(const fs::path&)> apply;
    };
    const Damage damages[] = {
        {"its first page overwritten with random bytes",
         [&](const fs::path& file) {
             std::string page(4096, '\0');
             for (char& byte : page) byte = static_cast<char>(random());
             std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).write(page.data(), page.size());
         }},
        {"replaced by a file that is not a database",
         [](const fs::path& file) { std::ofstream(file, std::ios::binary | std::ios::trunc) << "not a database\n"; }},
        {"cut to zero length", [](const fs::path& file) { fs::resize_file(file, 0); }},
    };
    int64_t first = 1;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.title);
        ASSERT_TRUE(fs::exists(databaseFile()));
        damage.apply(databaseFile());
        first += 1000000;
        runDriver(first, 500);
        if (HasFatalFailure()) return;
        expectEachEventOnce();
    }
}

TEST_F(DamagedDatabaseProcessTest, ALogWhoseLastFrameATornWriteEndsKeepsEveryTable) {
    runDriver(1, 300);
    ASSERT_EQ(stored("SELECT lifetime_count FROM events WHERE name = 'e2e_event'"), 300);
    // Rows of tables beyond what waits to be sent, committed into the log by
    // a connection that leaves it unchecked-pointed, as a killed process does.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        EXPECT_EQ(sqlite3_exec(db,
                               "PRAGMA journal_mode=WAL; INSERT INTO purchase_transactions VALUES ('receipt-1');"
                               "INSERT INTO subscriptions VALUES ('subscription-1')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const fs::path log = databaseFile().string() + "-wal";
    ASSERT_GT(fs::exists(log) ? fs::file_size(log) : 0, 32u);
    // Then the header of one more frame without its page: a kill between
    // SQLite's two writes of a frame.
    std::ifstream in(log, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::string torn("\0\0\0\2\0\0\0\x40", 8);
    torn += bytes.substr(16, 8) + std::string(8, '\x5a');
    std::ofstream(log, std::ios::binary | std::ios::app) << torn;

    runDriver(1000001, 200);
    if (HasFatalFailure()) return;
    EXPECT_FALSE(anyCopySetAside()) << consoleTail();
    EXPECT_EQ(stored("SELECT count(*) FROM purchase_transactions WHERE fingerprint = 'receipt-1'"), 1);
    EXPECT_EQ(stored("SELECT count(*) FROM subscriptions WHERE subscription_id = 'subscription-1'"), 1);
    EXPECT_EQ(stored("SELECT lifetime_count FROM events WHERE name = 'e2e_event'"), 500);
    expectEachEventOnce();
}

}  // namespace
