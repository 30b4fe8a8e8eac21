// A configuration of about 3 MB, fetched again at every other start so that
// it arrives while the application logs, then ends on SIGINT or SIGKILL at
// random moments of that logging. An orderly end stores every event handed
// over before it, whatever arrived just before (the configuration's answer
// and an upload queued ahead of the events wait for them); a kill keeps
// every acknowledged event; and the last start uploads each event once.
//
// CALVARO_KILL_ROUNDS=N runs N rounds of each end instead of 4. The moments
// are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace orderly_end_after_configuration {

using tools::DriverProcess;
using Steady = std::chrono::steady_clock;

// Settings the engine keeps but does not use, 3000 of 1 KiB, far inside the
// bounds of a configuration; uploads wait 1000 s after the newest event
// unless the driver runs in debug mode, and the daily shares pass what the
// rounds log.
MSRPBMeasurementConfig configurationOfThreeMegabytes(int64_t version) {
    std::map<std::string, std::string> settings{{"measurement.upload.initial_upload_delay_time", "1000"},
                                                {"measurement.upload.max_events_per_day", "1000000"},
                                                {"measurement.upload.max_public_events_per_day", "1000000"}};
    for (int i = 0; i < 3000; ++i) settings["measurement.e2e.padding_" + std::to_string(i)] = std::string(1024, 'p');
    return tools::MeasurementCollector::makeConfig(kDriverApp, version, settings);
}

// The time of the last fetch forgotten, as by a stale configuration: the
// next start asks for it again at its first upload, a second after its first
// event in debug mode, while it still logs.
bool forgetTheFetchTime(const std::filesystem::path& home) {
    sqlite3* db = nullptr;
    const bool done =
        sqlite3_open(measurementDatabase(home).c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, "UPDATE app_metadata SET remote_config_timestamp = NULL", nullptr, nullptr, nullptr) ==
            SQLITE_OK;
    sqlite3_close(db);
    return done;
}

class OrderlyEndAfterConfigurationTest : public DriverTest {
  protected:
    OrderlyEndAfterConfigurationTest() : DriverTest("orderlyend") {}
    void SetUp() override {
        DriverTest::SetUp();
        seedRandom(random);
    }

    size_t configurationFetches() const {
        size_t fetches = 0;
        for (const auto& request : collector.requests())
            fetches += request.path.rfind(tools::MeasurementCollector::kConfigPathPrefix, 0) == 0;
        return fetches;
    }

    // Waits for the driver's first handled event, then up to `most`
    // seconds more, drawn at random: a moment of its logging.
    void waitForARandomMomentOfLogging(DriverProcess& driver, double most) {
        ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kHandled; }, 120))
            << consoleTail();
        const auto moment =
            Steady::now() + std::chrono::microseconds(std::uniform_int_distribution<int64_t>(
                                0, static_cast<int64_t>(most * 1'000'000))(random));
        while (Steady::now() < moment && !driver.ended()) driver.readUntil(nullptr, 0.005);
    }

    std::mt19937 random;
};

TEST_F(OrderlyEndAfterConfigurationTest, SignalsAndKillsDuringLoggingKeepEveryEventHandedOverOnce) {
    const int rounds = killRounds(4);
    int64_t next = 1;
    // The numbers each round must have stored: the whole round at a signal,
    // the acknowledged prefix at a kill (one logging thread).
    std::vector<std::pair<int64_t, int64_t>> kept;
    size_t fetchesExpected = 0;
    for (int round = 0; round < 2 * rounds; ++round) {
        const bool signalled = round % 2 == 0;
        SCOPED_TRACE((signalled ? "SIGINT round " : "SIGKILL round ") + std::to_string(round));
        if (signalled) {
            // Another version each time, so that the answer is whole, not 304.
            measurement.setConfig(kDriverApp, configurationOfThreeMegabytes(2 + round));
            if (round > 0) {
                ASSERT_TRUE(forgetTheFetchTime(root.path()));
            }
            ++fetchesExpected;
        }
        // Two threads at a signal, an event each 10 ms on each: 0.75-1.75 s
        // of logging, across the configuration's arrival. The driver takes
        // the signal once its calls are made, and ends as the application
        // does: every event handed over stored within the end's deadline.
        const int64_t count = signalled ? std::uniform_int_distribution<int64_t>(150, 350)(random) : 300;
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--first", std::to_string(next), "--count", std::to_string(count),
                                             "--threads", signalled ? "2" : "1", "--pace-us",
                                             signalled ? "10000" : "2000", "--end-on-signal"}));
        ASSERT_NO_FATAL_FAILURE(waitForARandomMomentOfLogging(driver, signalled ? 1.5 : 0.6));
        if (signalled) {
            const SignalledEnd end = endBySignal(driver, SIGINT);
            EXPECT_EQ(end.status, 128 + SIGINT) << "the end left events handed over unstored" << consoleTail();
            EXPECT_EQ(driver.handledCount(), count) << consoleTail();
            std::printf("  SIGINT round %d: %lld events, the end took %.2f s\n", round,
                        static_cast<long long>(count), std::chrono::duration<double>(end.took).count());
            kept.emplace_back(next, next + count - 1);
        } else {
            driver.kill();
            if (driver.highestHandled() >= next) kept.emplace_back(next, driver.highestHandled());
        }
        next += count;
    }
    // A start whose end came before its first upload asks for it as it ends,
    // or at the next start.
    std::printf("  the configuration was asked for %zu times in %zu starts that forgot it\n",
                configurationFetches(), fetchesExpected);
    EXPECT_GE(configurationFetches(), 1u) << "the configuration was never asked for";

    // The last start uploads every event kept, each once, and no event twice.
    auto isKept = [&](int64_t n) {
        for (const auto& [first, last] : kept)
            if (n >= first && n <= last) return true;
        return false;
    };
    size_t expected = 0;
    for (const auto& [first, last] : kept) expected += static_cast<size_t>(last - first + 1);
    DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "0"}));
    const bool arrived = measurement.waitUntil(
        [&](const auto& uploads) {
            return acceptedCount(uploads, [&](const auto& event) {
                       const auto n = event.intParam("n");
                       return event.name == "e2e_event" && n && isKept(*n);
                   }) >= expected;
        },
        300);
    EXPECT_TRUE(arrived) << consoleTail();
    EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    const auto [doubled, found] = doubledAndFound(isKept);
    EXPECT_EQ(doubled, 0u);
    EXPECT_EQ(found, expected);
}

}  // namespace orderly_end_after_configuration
