// The event driver on a data root whose database was damaged, or left with a
// torn log, between two runs. The server drops a bundle whose (app instance
// id, bundle index) it has accepted, so a database started afresh must not
// number its bundles from 1 again; and a log whose last frame a kill tore is
// no damage: the next run goes on with every table as it was.

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
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using tools::DriverProcess;

class DamagedDatabaseProcessTest : public DriverTest {
  protected:
    DamagedDatabaseProcessTest() : DriverTest("damaged-db") {}

    fs::path databaseFile() const { return measurementDatabase(root.path()); }

    // A run (in debug mode, which uploads a second after the newest event)
    // that logs `count` events from `first`; then every event of every run
    // has arrived exactly once, none dropped as a repeat.
    void runAndExpectEachEventOnce(int64_t first, int64_t count) {
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", std::to_string(first),
                                                                   "--count", std::to_string(count)}));
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
            << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        runs.emplace_back(first, count);
        std::map<int64_t, int> seen;
        for (const auto& event : measurement.acceptedEvents()) {
            if (auto n = event.intParam("n"); event.name == "e2e_event" && n) ++seen[*n];
        }
        for (const auto& [from, events] : runs) {
            for (int64_t n = from; n < from + events; ++n) ASSERT_EQ(seen[n], 1) << "event " << n << consoleTail();
        }
        EXPECT_EQ(measurement.repeatedBundleCount(), 0u) << measurement.repeatedEventCount() << " events";
    }

    // The first column of the first row of `sql`; -1 when nothing reads.
    int64_t stored(const std::string& sql) const { return storedCount(root.path(), sql); }

    std::vector<std::pair<int64_t, int64_t>> runs;
};

TEST_F(DamagedDatabaseProcessTest, BundlesOfADatabaseStartedAfreshAreNotTakenForRepeats) {
    runAndExpectEachEventOnce(1, 1000);
    std::mt19937 random(std::random_device{}());
    const std::pair<const char*, std::function<void(const fs::path&)>> damages[] = {
        {"its first page overwritten with random bytes",
         [&](const fs::path& file) {
             std::string page(4096, '\0');
             for (char& byte : page) byte = static_cast<char>(random());
             std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).write(page.data(), page.size());
         }},
        {"replaced by a file that is not a database",
         [](const fs::path& file) { std::ofstream(file, std::ios::trunc) << "not a database\n"; }},
        {"cut to zero length", [](const fs::path& file) { fs::resize_file(file, 0); }},
    };
    int64_t first = 1;
    for (const auto& [title, damage] : damages) {
        SCOPED_TRACE(title);
        damage(databaseFile());
        runAndExpectEachEventOnce(first += 1000000, 500);
        if (HasFatalFailure()) return;
    }
}

TEST_F(DamagedDatabaseProcessTest, ALogWhoseLastFrameATornWriteEndsKeepsEveryTable) {
    runAndExpectEachEventOnce(1, 300);
    // Rows beyond what waits to be sent, committed into a log that stays
    // unchecked-pointed, as a killed process leaves it; then the header of
    // one more frame without its page: a kill between SQLite's two writes.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    EXPECT_EQ(sqlite3_exec(db, "INSERT INTO purchase_transactions VALUES ('receipt-1')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const fs::path log = databaseFile().string() + "-wal";
    std::ifstream in(log, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(bytes.size(), 32u);
    std::ofstream(log, std::ios::binary | std::ios::app)
        << std::string("\0\0\0\2\0\0\0\x40", 8) + bytes.substr(16, 8) + std::string(8, '\x5a');

    runAndExpectEachEventOnce(1000001, 200);
    EXPECT_FALSE(fs::exists(databaseFile().string() + ".damaged-1")) << consoleTail();
    EXPECT_EQ(stored("SELECT count(*) FROM purchase_transactions WHERE fingerprint = 'receipt-1'"), 1);
    EXPECT_EQ(stored("SELECT lifetime_count FROM events WHERE name = 'e2e_event'"), 500);
}

}  // namespace
