// A conditional user property that a kill leaves active has had its
// triggered event stored: the property, the trigger and the triggered event
// are committed together, so no kill between them keeps one without the
// other. Each round another framework sets a property right after the host's
// configuration, the trigger follows, and the process is killed at a random
// moment around it; a last start logs the trigger once more and uploads
// everything. Then every property held active (in the database, or in a copy
// a start set aside as damaged) must have had its triggered event arrive at
// the collector exactly once, and no other triggered event may arrive.
//
// CALVARO_KILL_ROUNDS=N runs N rounds instead of 100, shared among four rows.
// The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/support/TestPaths.h"

namespace {

using tools::DriverProcess;

class KilledConditionalPropertyTest : public DriverTest {
  protected:
    KilledConditionalPropertyTest() : DriverTest("killed-conditional") {}
    void SetUp() override {
        DriverTest::SetUp();
        seedRandom(random);
    }

    // The numbers of the properties held active, read as another program
    // reads the files: the database's, and those of the copies a start set
    // aside as damaged (what was committed there was committed all the same).
    // Each with the files that hold it active, for a failure's message.
    std::map<int64_t, std::string> activeProperties() const {
        const auto folder = measurementFolder(root.path());
        const std::string name = kMeasurementDatabaseName;
        std::map<int64_t, std::string> numbers;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            const std::string file = entry.path().filename().string();
            const bool copy = file.rfind(name + ".damaged-", 0) == 0 && file.find("-wal") == std::string::npos &&
                              file.find("-shm") == std::string::npos;
            if (file != name && !copy) continue;
            sqlite3* db = nullptr;
            if (sqlite3_open_v2(entry.path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
                sqlite3_stmt* statement = nullptr;
                if (sqlite3_prepare_v2(db,
                                       "SELECT CAST(substr(name, 5) AS INTEGER) FROM conditional_properties "
                                       "WHERE active = 1 AND name LIKE 'cup\\_%' ESCAPE '\\'",
                                       -1, &statement, nullptr) == SQLITE_OK) {
                    while (sqlite3_step(statement) == SQLITE_ROW) numbers[sqlite3_column_int64(statement, 0)] += " " + file;
                }
                sqlite3_finalize(statement);
            }
            sqlite3_close(db);
        }
        return numbers;
    }

    std::mt19937 random;
};

// The rounds are shared among four rows, each on a data root of its own, so
// that no row alone takes what a hundred starts take on a crowded core.
constexpr int kKilledConditionalShares = 4;

class KilledConditionalPropertyRows : public KilledConditionalPropertyTest, public testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Shares, KilledConditionalPropertyRows, testing::Range(0, kKilledConditionalShares));

TEST_P(KilledConditionalPropertyRows, KillsAroundTriggersLoseNoTriggeredEvent) {
    const int all = killRounds(100);
    const int rounds = all / kKilledConditionalShares + (GetParam() < all % kKilledConditionalShares ? 1 : 0);
    if (rounds == 0) GTEST_SKIP() << "no round left for this share";
    for (int round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--count", "0", "--marker", std::to_string(round),
                                             "--set-conditional", std::to_string(round), "--trigger"}));
        // Only a hang reaches it: the wait counts the driver's own time.
        ASSERT_TRUE(waitOnDriver(driver, 60, [&] { return driver.allLogged(); }))
            << "the driver never logged its trigger" << consoleTail();
        // Not waiting for work: this picks the moment of the kill, while the
        // trigger is being handled or soon after.
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 4000)(random)));
        driver.kill();
    }

    // The last start triggers what a kill left waiting and uploads it all.
    const int last = rounds + 1;
    DriverProcess next(CALVARO_EVENT_DRIVER,
                       debugArguments({"--count", "0", "--marker", std::to_string(last), "--trigger"}));
    ASSERT_TRUE(waitOnDriver(next, 60, [&] {
        return acceptedCount(measurement.uploads(), [&](const auto& event) {
                   return event.name == "e2e_marker" && event.intParam("n") == last;
               }) > 0;
    })) << "the last start uploaded nothing" << consoleTail();
    ASSERT_EQ(next.exitAndWait(kDriverExitHang), 0) << "stored events were left after the last start" << consoleTail();

    std::map<int64_t, int> triggered;
    for (const auto& event : measurement.acceptedEvents()) {
        if (event.name != "e2e_triggered") continue;
        auto n = event.intParam("n");
        ASSERT_TRUE(n) << "a triggered event without its number";
        ++triggered[*n];
    }
    const std::map<int64_t, std::string> active = activeProperties();
    std::string missing, unexplained;
    for (const auto& [n, files] : active)
        if (triggered[n] != 1) missing += " " + std::to_string(n) + "(" + std::to_string(triggered[n]) + " in" + files + ")";
    for (const auto& [n, count] : triggered)
        if (count > 0 && !active.count(n)) unexplained += " " + std::to_string(n);
    EXPECT_EQ(missing, "") << "active properties whose triggered event did not arrive once" << consoleTail();
    EXPECT_EQ(unexplained, "") << "triggered events of properties not active" << consoleTail();
    // A property set right after the configuration reaches the engine: only
    // a kill before its write loses it.
    EXPECT_GT(active.size(), size_t(rounds) / 2) << consoleTail();
    std::printf("%zu of %d properties active, %zu triggered events\n", active.size(), rounds, triggered.size());
}

}  // namespace
