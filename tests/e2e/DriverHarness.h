#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/security/Compression.h"
#include "platform/web/GroupClock.h"
#include "tests/e2e/KillSeed.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"
#include "tools/eventdriver/DriverProcess.h"

inline constexpr const char* kDriverApp = "1:1000000000:ios:0e2e";

// The events of the accepted ones of `uploads` that `wanted` picks. Over
// what the collector hands a waitUntil predicate, under its lock.
inline size_t acceptedCount(std::span<const tools::CollectedUpload> uploads,
                            const std::function<bool(const tools::CollectedEvent&)>& wanted) {
    size_t found = 0;
    for (const auto& upload : uploads) {
        if (!upload.accepted()) continue;
        for (const auto& bundle : upload.bundles)
            for (const auto& event : bundle.events) found += wanted(event) ? 1 : 0;
    }
    return found;
}

// Reads the driver's reports until `done` answers true, for `seconds` of the
// driver's own time (its wall clock less what its threads waited for a
// core), and never more than GroupDeadline::kWallTimes as long by the wall
// clock: a crowded core stretches the wait, not the driver's work. Answers
// whether `done` was met; false as soon as the driver has gone without it.
inline bool waitOnDriver(tools::DriverProcess& driver, double seconds, const std::function<bool()>& done) {
    web::GroupDeadline deadline(seconds, driver.pid(), false);
    while (!done()) {
        if (driver.ended()) return done();
        const int left = deadline.millisecondsLeft(250);
        if (left == 0) return done();
        driver.readUntil(nullptr, left / 1000.0);
    }
    return true;
}

// Reads the driver's reports until `done` answers true for one, on the
// driver's own clock as waitOnDriver does; false once the driver has gone or
// the deadline passed without it.
inline bool readOnDriver(tools::DriverProcess& driver,
                         const std::function<bool(const tools::DriverProcess::Report&)>& done, double seconds) {
    web::GroupDeadline deadline(seconds, driver.pid(), false);
    for (;;) {
        if (driver.readUntil(done, deadline.millisecondsLeft(250) / 1000.0)) return true;
        if (driver.ended() || deadline.passed()) return false;
    }
}

// `unit` repeated to `bytes`, gzipped as another program would: a queued
// row that inflates far past what it stores. Each is compressed once per
// binary, whichever rows share it.
inline const std::vector<uint8_t>& gzippedRepeat(const std::vector<uint8_t>& unit, size_t bytes) {
    static std::map<std::pair<std::vector<uint8_t>, size_t>, std::vector<uint8_t>> made;
    std::vector<uint8_t>& gzipped = made[{unit, bytes}];
    if (gzipped.empty()) {
        // Doubled by copies of what is there: a byte at a time is slow under
        // the sanitizers.
        std::vector<uint8_t> plain(std::max(bytes, unit.size()));
        std::copy(unit.begin(), unit.end(), plain.begin());
        for (size_t filled = unit.size(); filled < plain.size(); filled *= 2)
            std::copy_n(plain.begin(), std::min(filled, plain.size() - filled), plain.begin() + filled);
        gzipped = *security::gzip(plain);
    }
    return gzipped;
}

// How long a driver asked to exit, or ending of itself, may take by the wall
// clock: its end takes seconds of its own, and a crowded core stretches that
// many times over; only a hung driver comes near it.
inline constexpr double kDriverExitHang = 300;

// The rounds a kill test runs: CALVARO_KILL_ROUNDS when it is a positive
// number, else `byDefault`.
inline int killRounds(int byDefault) {
    const char* rounds = std::getenv("CALVARO_KILL_ROUNDS");
    const int wanted = rounds ? std::atoi(rounds) : 0;
    return wanted > 0 ? wanted : byDefault;
}

// How long an end on a signal may take on the driver's own clock (its wall
// clock less what its threads waited for a core), and many times that on the
// wall clock: only a hung end comes near it.
inline constexpr double kSignalledEndHang = 60;

// A driver ended by `signal` (SIGTERM unless given): its exit status, the
// time from the signal to the moment its end was done, as it reports it,
// whether the end let work go at its deadline, and the CPU time it used in
// between, by its own report. The end counts to that moment, not to the
// reaping: what the process does on its way out after it (its static
// objects, a sanitizer's leak check) is no part of the end and takes what
// the machine gives it.
struct SignalledEnd {
    int status = -1;
    std::chrono::steady_clock::duration took{};
    bool reported = false;
    std::optional<double> letGoAt;                 // the end's deadline, when it let its work go there
    std::chrono::nanoseconds cpu{};                // the end's CPU time; known when reported
    std::chrono::steady_clock::duration reaped{};  // from the signal, for the printed figures
    double ownSeconds = -1;                        // from the signal to the end, on the driver's own clock
};
inline SignalledEnd endBySignal(tools::DriverProcess& driver, int signal = SIGTERM) {
    SignalledEnd end;
    const std::chrono::nanoseconds cpuBefore = cpuTimeOf(driver.pid());
    web::GroupDeadline deadline(kSignalledEndHang, driver.pid(), false);
    const auto signalled = std::chrono::steady_clock::now();
    if (::kill(driver.pid(), signal) != 0) return end;
    while (!driver.ended()) {
        const int left = deadline.millisecondsLeft(250);
        if (left == 0) break;
        driver.readUntil(nullptr, left / 1000.0);
    }
    end.ownSeconds = kSignalledEndHang - deadline.secondsLeft();
    // Reaps a driver that has gone; kills one that has not.
    end.status = driver.waitForEnd(driver.ended() ? kDriverExitHang : 0);
    end.reaped = std::chrono::steady_clock::now() - signalled;
    end.reported = driver.endReported().has_value() && driver.cpuAtEnd().has_value() && cpuBefore.count() >= 0;
    end.took = end.reported ? *driver.endReported() - signalled : end.reaped;
    end.letGoAt = driver.letGoAtEnd();
    if (end.reported) end.cpu = *driver.cpuAtEnd() - cpuBefore;
    return end;
}

// The end was done without waiting on held work, and without hanging; prints
// what it took. An end held by work that does not stop (a program not
// stopped, a queue that waits on what the end cannot finish) runs into its
// deadline, which the driver keeps on its own clock as the application does,
// and lets the work go there: a crowded core stretches the end's wall time
// and its CPU time, never its own, so an end that fits is never let go for
// the crowd's sake, and one that is held is let go whatever the machine.
inline void expectEndWithinItsLimit(const SignalledEnd& end, const std::string& context = {}) {
    EXPECT_TRUE(end.reported) << context;
    EXPECT_FALSE(end.letGoAt.has_value()) << "the end waited on work still running until its deadline of "
                                          << end.letGoAt.value_or(0) << " s" << context;
    EXPECT_LT(end.ownSeconds, kSignalledEndHang) << "the end hung" << context;
    std::printf("  the end took %.2f s, %.2f s of its own, %.2f s of CPU (%.2f s to the reaping)\n",
                std::chrono::duration<double>(end.took).count(), end.ownSeconds,
                std::chrono::duration<double>(end.cpu).count(), std::chrono::duration<double>(end.reaped).count());
}

// What the driver may hold at most: under AddressSanitizer its shadow and its
// quarantine of freed blocks come on top.
inline constexpr int64_t kPeakLimit = (kUnderAddressSanitizer ? int64_t{1536} : int64_t{300}) << 20;

// The most memory the process ever held (VmHWM), in bytes; 0 when unknown.
inline int64_t peakResidentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    }
    return 0;
}

// A collector on a loopback port serving the configuration of kDriverApp, a
// fresh data root, and the event driver's arguments over both.
class DriverTest : public testing::Test {
  protected:
    explicit DriverTest(const char* label) : root(label) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
        measurement.setConfig(kDriverApp,
                              tools::MeasurementCollector::makeConfig(
                                  kDriverApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
    }

    // Serves a configuration whose daily shares pass what hundreds of rounds
    // on one data root log: past them the engine drops events, and a round
    // would fail for that alone.
    void serveLargeDailyShares() {
        measurement.setConfig(kDriverApp, tools::MeasurementCollector::makeConfig(
                                              kDriverApp, 1,
                                              {{"measurement.upload.initial_upload_delay_time", "1000"},
                                               {"measurement.upload.max_events_per_day", "1000000"},
                                               {"measurement.upload.max_public_events_per_day", "1000000"}}));
    }

    // The server's threads call into `measurement`, which goes first: they
    // end before it does. A failed test shows the end of the driver's
    // console and standard error, whichever assertion failed.
    void TearDown() override {
        collector.stop();
        if (HasFailure()) std::printf("%s", consoleTail().c_str());
    }

    std::vector<std::string> driverArguments(std::vector<std::string> more = {}) const {
        std::vector<std::string> all{"--home",   root.path().string(),
                                     "--url",    collector.baseURL(),
                                     "--app-id", kDriverApp,
                                     "--log",    (root.path() / "console.log").string()};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
    // Debug mode, switched on by its launch argument, uploads one second after
    // the newest event instead of waiting out the hour since the last upload,
    // which keeps a run short.
    std::vector<std::string> debugArguments(std::vector<std::string> more = {}) const {
        more.insert(more.begin(), "--debug");
        return driverArguments(std::move(more));
    }
    std::string consoleTail() const { return tools::consoleTail(root.path()); }

    // A run that brings the configuration and the experiments answer home:
    // both are fetched 10 s after a start, and its second event, logged
    // after that, is uploaded at once in debug mode. Answers its peak.
    int64_t fetchTheConfiguration() {
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                    debugArguments({"--first", "100", "--count", "2", "--pace-us", "15000000"}));
        auto bothArrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) {
                       const auto n = event.intParam("n");
                       return event.name == "e2e_event" && n && *n >= 100 && *n < 102;
                   }) >= 2;
        };
        // The wait only catches a hang: it counts the driver's own time.
        EXPECT_TRUE(waitOnDriver(driver, 300, [&] { return bothArrived(measurement.uploads()); })) << consoleTail();
        const int64_t peak = peakResidentBytes(driver.pid());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        return peak;
    }

    // What a start of the events `more` names (with a marker) costs without
    // what is served: the driver's CPU time once its marker is handled, on a
    // data root of its own, whose first fetch comes ten seconds after its
    // start; negative when unread. The calibration a start's cost is set
    // against, measured beside it: a crowded machine makes both dearer.
    double usualStartCpuSeconds(std::vector<std::string> more) {
        const TemporaryDataRoot elsewhere("usual-start");
        // Its uploads go nowhere: its events, numbered as the row's own,
        // would reach the row's collector whenever the kill below comes a
        // second late, as on a crowded core.
        more.insert(more.end(), {"--home", elsewhere.path().string(), "--log",
                                 (elsewhere.path() / "console.log").string(), "--url", "http://127.0.0.1:1"});
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments(std::move(more)));
        EXPECT_TRUE(waitOnDriver(driver, 120, [&] { return driver.markersHandled() >= 1; }));
        const double cpu = cpuSecondsOf(driver.pid());
        driver.kill();
        return cpu;
    }

    // The lines of the console so far that carry `code`.
    size_t consoleLinesWith(int64_t code) const {
        char tag[16];
        std::snprintf(tag, sizeof tag, "I-MSR%06lld", static_cast<long long>(code));
        std::ifstream in(root.path() / "console.log");
        size_t found = 0;
        for (std::string line; std::getline(in, line);) found += line.find(tag) != std::string::npos;
        return found;
    }

    // A run that stores `count` events from `first` while no upload is
    // accepted, and is killed once every one is stored.
    void storeAndKill(int64_t first, int64_t count, bool debug = true) {
        measurement.setUploadsHeld(true);
        {
            std::vector<std::string> arguments = {"--first", std::to_string(first), "--count", std::to_string(count)};
            tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                        debug ? debugArguments(arguments) : driverArguments(arguments));
            ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= count; }, 300))
                << "the driver stopped after " << driver.handledCount() << " events" << consoleTail();
            driver.kill();
        }
        collector.releaseHeldReplies();
        measurement.setUploadsHeld(false);
        measurement.clear();
    }

    // A start that logs a burst of 200 (from 100) and ends once `count`
    // events `ours` takes have arrived: the driver's processor time then;
    // with `peak`, its peak there, which must be under `peakLimit`.
    // With `inflated`, the bytes the run inflated in all, and with
    // `statements`, the SQLite statements it ran, by its report at its end
    // (-1 without one).
    double startUntilArrived(const std::function<bool(const tools::CollectedEvent&)>& ours, size_t count,
                             int64_t* peak = nullptr, int64_t peakLimit = kPeakLimit, int64_t* inflated = nullptr,
                             int64_t* statements = nullptr) {
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100", "--count", "200"}));
        // Only a hang reaches it: the wait counts the driver's own time.
        EXPECT_TRUE(waitOnDriver(driver, 300, [&] { return acceptedCount(measurement.uploads(), ours) >= count; }))
            << "arrived: " << acceptedCount(measurement.uploads(), ours) << " of " << count << consoleTail();
        const double cpu = cpuSecondsOf(driver.pid());
        if (peak) {
            *peak = endWithinPeak(driver, peakLimit);
        } else {
            EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        }
        if (inflated) *inflated = driver.inflatedAtEnd().value_or(-1);
        if (statements) *statements = driver.statementsAtEnd().value_or(-1);
        return cpu;
    }

    // A run that stores events 1 to 3 in a bundle that stays queued: its
    // upload is held, and the run is killed once the bundle is stored.
    void queueABundleOfThreeAndKill() {
        measurement.setUploadsHeld(true);
        {
            tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "1", "--count", "3"}));
            ASSERT_TRUE(waitOnDriver(driver, 120, [&] { return driver.handledCount() >= 3; })) << consoleTail();
            // The bundle's commit, looked for between the driver's reports.
            waitOnDriver(driver, 120, [&] { return storedCount(root.path(), "SELECT count(*) FROM queue") >= 1; });
            driver.kill();
        }
        collector.releaseHeldReplies();
        measurement.setUploadsHeld(false);
        measurement.clear();
        ASSERT_GE(storedCount(root.path(), "SELECT count(*) FROM queue"), 1) << consoleTail();
    }

    // A run of `count` events from `first` that ends once they are logged.
    void logAndEnd(int64_t first, int64_t count) {
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", std::to_string(first),
                                                                          "--count", std::to_string(count)}));
        ASSERT_TRUE(waitOnDriver(driver, 120, [&] { return driver.allLogged(); })) << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }

    // Ends `driver`, which must exit cleanly, after reading its peak, which
    // must be known and under `limit`. Answers the peak.
    int64_t endWithinPeak(tools::DriverProcess& driver, int64_t limit) {
        const int64_t peak = peakResidentBytes(driver.pid());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, limit) << consoleTail();
        return peak;
    }

    // The accepted events `ours` takes: `expected` of them, told apart by
    // their "n", each accepted once.
    void expectEachAcceptedOnce(const std::function<bool(const tools::CollectedEvent&)>& ours,
                                size_t expected) {
        std::map<int64_t, int> seen;
        for (const auto& event : measurement.acceptedEvents())
            if (ours(event)) ++seen[*event.intParam("n")];
        EXPECT_EQ(seen.size(), expected);
        for (const auto& [n, times] : seen) EXPECT_EQ(times, 1) << "event " << n;
    }

    // Of the accepted "e2e_event"s: how many numbers arrived more than once,
    // and how many numbers that `kept` holds arrived.
    std::pair<size_t, size_t> doubledAndFound(const std::function<bool(int64_t)>& kept) const {
        std::map<int64_t, int> seen;
        for (const auto& event : measurement.acceptedEvents())
            if (auto n = event.intParam("n"); event.name == "e2e_event" && n) ++seen[*n];
        size_t doubled = 0, found = 0;
        for (const auto& [n, times] : seen) {
            doubled += times > 1;
            found += kept(n);
        }
        return {doubled, found};
    }

    // The folder the keychain stand-in keeps beside the data root (removed
    // with the root).
    std::filesystem::path keychainFolder() const {
        std::filesystem::path home = root.path().lexically_normal();
        if (!home.has_filename()) home = home.parent_path();
        return home.parent_path() / (home.filename().string() + ".keychain");
    }

    // Seeds `random` afresh (or with CALVARO_KILL_SEED) and prints the seed,
    // so a failing run can be replayed.
    static void seedRandom(std::mt19937& random) { random.seed(killSeed()); }

    TemporaryDataRoot root;
    tools::Collector collector;
    tools::MeasurementCollector measurement{collector};
};
