// The whole event road with nothing replaced: events logged through the
// public interface by a driver process (real worker threads, a real SQLite
// file, the libcurl network component) arrive at the loopback collector.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "tests/e2e/DriverHarness.h"

namespace {

using tools::DriverProcess;

constexpr const char* kApp = kDriverApp;
constexpr int64_t kEvents = 10000;
constexpr int64_t kThreads = 4;

// Runs `command` through the shell; its standard output, and whether it exited with 0.
bool runCommand(const std::string& command, std::string& output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    return pclose(pipe) == 0;
}

// The engine runs with its defaults: the first upload run comes 15 s after
// the newest event, finds no configuration, fetches the collector's and then
// sends everything in 64 KiB batches, one after the other.
class EndToEndTest : public DriverTest {
  protected:
    EndToEndTest() : DriverTest("e2e") {}
};

TEST_F(EndToEndTest, TenThousandEventsFromFourThreadsArriveExactlyOnce) {
    auto arguments = driverArguments();
    arguments.insert(arguments.end(),
                     {"--count", std::to_string(kEvents), "--threads", std::to_string(kThreads)});
    DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
    ASSERT_TRUE(driver.readUntil([](const auto& r) { return r.kind == DriverProcess::kAllLogged; }, 60))
        << "the driver did not log its events" << consoleTail();

    auto distinctNumbers = [](const std::vector<tools::CollectedUpload>& uploads) {
        std::set<int64_t> numbers;
        for (const auto& upload : uploads) {
            if (!upload.accepted()) continue;
            for (const auto& bundle : upload.bundles)
                for (const auto& event : bundle.events)
                    if (auto n = event.intParam("n"); n && event.name == "e2e_event") numbers.insert(*n);
        }
        return numbers.size();
    };
    ASSERT_TRUE(
        measurement.waitUntil([&](const auto& uploads) { return distinctNumbers(uploads) == kEvents; }, 90))
        << distinctNumbers(measurement.uploads()) << " of " << kEvents << " events arrived"
        << consoleTail();
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0)
        << "the engine still held events after the upload" << consoleTail();

    // Exactly once: every number once among the accepted uploads, none twice.
    std::map<int64_t, int> seen;
    std::map<int64_t, int64_t> timeByNumber;
    for (const auto& event : measurement.acceptedEvents()) {
        if (event.name != "e2e_event") continue;
        auto n = event.intParam("n");
        ASSERT_TRUE(n) << "an event without its number";
        ++seen[*n];
        timeByNumber[*n] = event.timestampMillis;
    }
    ASSERT_EQ(seen.size(), size_t(kEvents));
    EXPECT_EQ(seen.begin()->first, 1);
    EXPECT_EQ(seen.rbegin()->first, kEvents);
    for (const auto& [n, count] : seen)
        ASSERT_EQ(count, 1) << "event " << n << " arrived " << count << " times";
    // Thread t logged t+1, t+1+4, ... one after the other: its events keep that order in time.
    for (int64_t n = 1 + kThreads; n <= kEvents; ++n) {
        ASSERT_LE(timeByNumber[n - kThreads], timeByNumber[n])
            << "event " << n << " is stamped before its predecessor";
    }

    // Every upload came gzip-compressed, decoded as a batch of our app and was accepted.
    auto uploads = measurement.uploads();
    ASSERT_FALSE(uploads.empty());
    for (const auto& upload : uploads) {
        EXPECT_TRUE(upload.wasGzip);
        EXPECT_TRUE(upload.decoded);
        EXPECT_TRUE(upload.accepted()) << upload.status;
        for (const auto& bundle : upload.bundles) EXPECT_EQ(bundle.zmpAppID, kApp);
    }
    size_t fetches = 0;
    for (const auto& request : collector.requests()) {
        if (request.path == std::string(tools::MeasurementCollector::kConfigPathPrefix) + kApp) ++fetches;
    }
    EXPECT_GE(fetches, 1u) << "the configuration was never fetched";

    // protoc reads a recorded batch with our proto files.
    const auto file = root.path() / "batch.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(uploads.front().body.data()),
               static_cast<std::streamsize>(uploads.front().body.size()));
    std::string decoded;
    ASSERT_TRUE(runCommand("protoc --proto_path=" + CALVARO_PROTO_DIR +
                           " --decode=msr.MeasurementBatch measurement.proto < " +
                               file.string() + " 2>&1",
                           decoded))
        << decoded;
    EXPECT_NE(decoded.find("name: \"e2e_event\""), std::string::npos) << decoded.substr(0, 2000);
    EXPECT_NE(decoded.find("zmp_app_id: \"" + std::string(kApp) + "\""), std::string::npos);
}

// A worker held up by a long task: the main thread's public calls do not
// wait for it one after the other (a road that does not move is waited for
// once, for a moment), and every event is stored once the worker runs again.
TEST_F(EndToEndTest, CallsDoNotWaitForAHeldWorkerAndEveryEventIsStoredAfterwards) {
    auto arguments = driverArguments();
    arguments.insert(arguments.end(), {"--count", std::to_string(kEvents), "--hold-worker"});
    DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
    int64_t callsMicros = -1;
    ASSERT_TRUE(driver.readUntil(
        [&](const auto& r) {
            if (r.kind == DriverProcess::kCallsTook) callsMicros = r.value;
            return r.kind == DriverProcess::kAllLogged;
        },
        120))
        << "the driver did not log its events" << consoleTail();
    std::printf("%lld public calls against a held worker took %.3f s\n", static_cast<long long>(kEvents),
                static_cast<double>(callsMicros) / 1e6);
    // Waiting its bound at each call would take minutes; the bound here only
    // tells that fault from a slow machine.
    EXPECT_GE(callsMicros, 0);
    EXPECT_LT(callsMicros, 20'000'000) << "the calls waited for the held worker again and again";
    ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= kEvents; }, 120))
        << driver.handledCount() << " of " << kEvents << " events stored" << consoleTail();
    EXPECT_EQ(driver.handledCount(), kEvents);
    // Stored is what counts here, not the upload that follows.
    driver.kill();
}

}  // namespace
