// What the engine stored does not hold its own work back, as a device meets
// it: a large stored configuration costs no event's commit (a kill during
// logging never sets the database aside), rows the upload read cannot use go in the pass that meets
// them (empty queue rows at the head, a table of unreadable raw events), and
// a campaign link opened while running survives a kill at any moment.
//
// CALVARO_KILL_ROUNDS=N runs N rounds of each killed row instead of its own
// count. The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed>
// replays them.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "platform/dispatch/Clock.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace stored_reads {

namespace fs = std::filesystem;
using tools::DriverProcess;

// A configuration of the driver's application of about 3 MB, far inside its
// bounds: settings the engine keeps but does not use. Uploads wait 1000 s
// after the newest event unless the driver runs in debug mode.
std::vector<uint8_t> configurationOfThreeMegabytes() {
    std::map<std::string, std::string> settings{{"measurement.upload.initial_upload_delay_time", "1000"}};
    for (int i = 0; i < 3000; ++i)
        settings["measurement.e2e.padding_" + std::to_string(i)] = std::string(1024, 'p');
    return *tools::MeasurementCollector::makeConfig(kDriverApp, 2, settings).protoBuffer();
}

// Runs `statements` on the database under `home` (with `blob` bound to the
// first parameter, when given) as another program would, with the engine
// gone; whether each ran to its end.
bool changeDatabase(const fs::path& home, const std::vector<std::string>& statements,
                    const std::vector<uint8_t>* blob = nullptr) {
    sqlite3* db = nullptr;
    bool done = sqlite3_open(measurementDatabase(home).c_str(), &db) == SQLITE_OK;
    for (const std::string& sql : statements) {
        sqlite3_stmt* statement = nullptr;
        done = done && sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK;
        if (done && blob && sqlite3_bind_parameter_count(statement) > 0)
            sqlite3_bind_blob64(statement, 1, blob->data(), blob->size(), SQLITE_STATIC);
        if (done) done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return done;
}

// The copies of the database a start set aside as damaged.
size_t copiesSetAside(const fs::path& home) {
    size_t copies = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(measurementFolder(home), ec))
        copies += entry.path().filename().string().find(".damaged-") != std::string::npos;
    return copies;
}

// The rows of the driver's numbered events among the raw events.
constexpr const char* kOurRows = "SELECT count(*) FROM raw_events WHERE name = 'e2e_event'";

class StoredReadsProcessTest : public DriverTest {
  protected:
    StoredReadsProcessTest() : DriverTest("storedreads") {}
    void SetUp() override {
        DriverTest::SetUp();
        seedRandom(random);
    }

    // A first run that leaves `count` events stored and unsent (uploads wait
    // 1000 s), so that the database and its raw-event metadata exist.
    void storeUnsent(int64_t first, int64_t count) {
        DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments({"--first", std::to_string(first),
                                                                    "--count", std::to_string(count)}));
        ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.allLogged(); }, 120)) << consoleTail();
        while (driver.highestHandled() < first + count - 1 &&
               driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kHandled; }, 60)) {
        }
        driver.kill();
        ASSERT_EQ(storedCount(root.path(), kOurRows), count);
    }

    // A start in debug mode that logs `count` events from `first` and must
    // upload them, and every event stored before, within `seconds`: answers
    // whether it did, and ends the start.
    bool uploadsAtThisStart(int64_t first, int64_t count, const std::function<bool(int64_t)>& wanted,
                            size_t expected, double seconds) {
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", std::to_string(first),
                                                                   "--count", std::to_string(count)}));
        const bool arrived = measurement.waitUntil(
            [&](const auto& uploads) {
                return acceptedCount(uploads, [&](const auto& event) {
                           const auto n = event.intParam("n");
                           return event.name == "e2e_event" && n && wanted(*n);
                       }) >= expected;
            },
            seconds);
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        return arrived;
    }

    std::mt19937 random;
};

// With the configuration beside the daily counts, a kill during logging left
// a log of pages rewritten in place that the next start called damage.
TEST_F(StoredReadsProcessTest,
       KillsDuringLoggingUnderALargeStoredConfigurationKeepEveryAcknowledgedEventOnce) {
    const std::vector<uint8_t> configuration = configurationOfThreeMegabytes();
    ASSERT_FALSE(MSRPBWireRefusalOf(configuration, MSRPBMessageID::MeasurementConfig));
    ASSERT_GT(configuration.size(), size_t{3} << 20);
    measurement.setConfig(kDriverApp, *MSRPBMeasurementConfig::initWithBuffer(configuration));
    ASSERT_NO_FATAL_FAILURE(storeUnsent(1, 1));
    const std::string now = std::to_string(dispatch::Clock::now());
    ASSERT_TRUE(changeDatabase(
        root.path(), {"UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = " + now},
        &configuration));

    // One logging thread: an acknowledged (handled) event is one of the
    // first the round logged.
    int64_t next = 2;
    std::vector<std::pair<int64_t, int64_t>> acknowledged{{1, 1}};
    const int64_t count = 300;
    const int rounds = killRounds(6);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments({"--first", std::to_string(next),
                                                                    "--count", std::to_string(count)}));
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kHandled; }, 120))
            << consoleTail();
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 100'000)(random)));
        driver.kill();
        acknowledged.emplace_back(next, driver.highestHandled());
        next += count;
    }
    EXPECT_EQ(copiesSetAside(root.path()), 0u) << "a start set the database aside" << consoleTail();

    // The last start uploads every acknowledged event once, and nothing twice.
    size_t expected = 1;
    for (const auto& [first, last] : acknowledged) expected += static_cast<size_t>(last - first + 1);
    auto isAcknowledged = [&](int64_t n) {
        for (const auto& [first, last] : acknowledged)
            if (n >= first && n <= last) return true;
        return n == next;
    };
    EXPECT_TRUE(uploadsAtThisStart(next, 1, isAcknowledged, expected, 120)) << consoleTail();
    const auto [doubled, found] = doubledAndFound(isAcknowledged);
    EXPECT_EQ(doubled, 0u);
    EXPECT_EQ(found, expected);
}

// The upload read took the oldest 100 rows and skipped an empty one without
// deleting it: 100 of them at the head stopped every upload for good.
TEST_F(StoredReadsProcessTest, EmptyQueueRowsAtTheHeadLetTheBundlesBehindThemGoAtThatStart) {
    ASSERT_NO_FATAL_FAILURE(storeUnsent(1, 20));
    const std::string now = std::to_string(dispatch::Clock::now());
    std::vector<std::string> empties;
    for (int i = 0; i < 100; ++i)
        empties.push_back(
            "INSERT INTO queue (data, bundle_end_timestamp, is_realtime, retry_count) VALUES (x'', " + now +
            ", 0, 0)");
    ASSERT_TRUE(changeDatabase(root.path(), empties));
    EXPECT_TRUE(uploadsAtThisStart(
        21, 5, [](int64_t n) { return n <= 25; }, 25, 60))
        << "the bundles behind the empty rows did not go" << consoleTail();
    expectEachAcceptedOnce([](const auto& event) { return event.name == "e2e_event"; }, 25);
    EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM queue"), 0);
}

// Each pass read the oldest 1,000 raw events, deleted the unreadable ones and
// ended without sending: 100,000 of them held a start's own events back for
// some 100 starts.
TEST_F(StoredReadsProcessTest, UnreadableRawEventsLetTheStartsOwnEventsGoAtThatStart) {
    ASSERT_NO_FATAL_FAILURE(storeUnsent(1, 1));
    // The unreadable rows take the stored event's place, under its metadata.
    ASSERT_TRUE(changeDatabase(
        root.path(), {"CREATE TEMP TABLE fingerprint AS SELECT metadata_fingerprint FROM raw_events LIMIT 1",
                      "DELETE FROM raw_events",
                      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 100000) "
                      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                      "SELECT 'e2e_event', CAST(strftime('%s', 'now') AS REAL), (SELECT metadata_fingerprint "
                      "FROM fingerprint), "
                      "x'ff', 0 FROM k"}));
    ASSERT_EQ(storedCount(root.path(), kOurRows), 100000);
    EXPECT_TRUE(uploadsAtThisStart(
        2, 5, [](int64_t n) { return n >= 2 && n <= 6; }, 5, 120))
        << "the start's own events waited behind the unreadable ones" << consoleTail();
    expectEachAcceptedOnce([](const auto& event) { return event.name == "e2e_event"; }, 5);
    EXPECT_EQ(storedCount(root.path(), kOurRows), 0);
}

// A link opened while running went to the worker only in memory: a kill in
// its first moments lost its campaign event.
TEST_F(StoredReadsProcessTest, ALinkOpenedWhileRunningArrivesOnceWhateverTheKill) {
    const int rounds = killRounds(12);
    for (int round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        DriverProcess driver(
            CALVARO_EVENT_DRIVER,
            driverArguments(
                {"--count", "0", "--open-link",
                 "https://calvaro.example/open?utm_source=e2e&utm_campaign=round_" + std::to_string(round)}));
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kLinkOpened; }, 60))
            << "the driver never opened its link" << consoleTail();
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1'000'000)(random)));
        driver.kill();
    }
    DriverProcess last(CALVARO_EVENT_DRIVER, debugArguments({"--count", "1"}));
    auto campaigns = [](const std::vector<tools::CollectedUpload>& uploads) {
        std::map<std::string, int> seen;
        for (const auto& upload : uploads) {
            if (!upload.accepted()) continue;
            for (const auto& bundle : upload.bundles)
                for (const auto& event : bundle.events)
                    if (const tools::CollectedParam* campaign = event.param("campaign");
                        event.name == "_cmp" && campaign && campaign->stringValue)
                        ++seen[*campaign->stringValue];
        }
        return seen;
    };
    EXPECT_TRUE(measurement.waitUntil(
        [&](const auto& uploads) { return campaigns(uploads).size() >= static_cast<size_t>(rounds); }, 120))
        << consoleTail();
    EXPECT_EQ(last.exitAndWait(kDriverExitHang), 0) << consoleTail();
    std::string wrong;
    std::map<std::string, int> seen;
    measurement.waitUntil(
        [&](const auto& uploads) {
            seen = campaigns(uploads);
            return true;
        },
        1);
    for (int round = 1; round <= rounds; ++round) {
        const int times = seen["round_" + std::to_string(round)];
        if (times != 1) wrong += " round_" + std::to_string(round) + "(" + std::to_string(times) + ")";
    }
    EXPECT_EQ(wrong, "") << "campaign links that did not arrive once" << consoleTail();
}

}  // namespace stored_reads
