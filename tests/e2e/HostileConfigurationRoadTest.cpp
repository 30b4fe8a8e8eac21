// Configurations a hostile server may send that read well and keep within
// every size bound, yet hold far more than any application uses: an
// experiments answer of 120,000 experiments, and an audience whose in-list
// filter holds 1,350,000 entries (a configuration of 4 MiB). Each is refused
// when it arrives, with a log text of its own; the runs after it start in
// their usual time, stay small, store every event of a burst that a signal
// ends, and upload them in bundles of the usual size.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/HostileRoad.h"
#include "tests/support/TestPaths.h"

namespace hostile_configuration {

using tools::DriverProcess;
using Steady = std::chrono::steady_clock;

constexpr int64_t kBurst = 200;
constexpr int64_t kFirstOfBurst = 1000;

double seconds(Steady::duration duration) { return std::chrono::duration<double>(duration).count(); }

// One snapshot of the measurement engine's own client holding `count`
// experiments without flags (each names its ID in every upload bundle once
// activated).
MSRPBExperimentResponse experimentsAnswer(int32_t count) {
    std::vector<MSRPBExperiment> experiments(static_cast<size_t>(count));
    for (int32_t id = 1; id <= count; ++id) MSRPBSetInt32(experiments[id - 1], MSRExperimentSlot::kExperimentID, id);
    return tools::MeasurementCollector::snapshotResponse("rov_idarurozaro", std::move(experiments));
}

class HostileConfigurationRoadTest : public DriverTest {
  protected:
    HostileConfigurationRoadTest() : DriverTest("hostileconfig") {}

    struct Start {
        Steady::duration firstStored{};  // from the process's start to its first event stored
        Steady::duration firstStoredCpu{};  // the CPU time the process had used by then
        int64_t peak = 0;
    };

    // A run storing one event (in `elsewhere`, when given, instead of the
    // test's data root) and ending once it is uploaded.
    Start start(int64_t number, const TemporaryDataRoot* elsewhere = nullptr) {
        std::vector<std::string> arguments = debugArguments({"--first", std::to_string(number), "--count", "1"});
        if (elsewhere) {
            arguments.insert(arguments.end(), {"--home", elsewhere->path().string(), "--log",
                                               (elsewhere->path() / "console.log").string()});
        }
        Start run;
        const auto began = Steady::now();
        DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
        // The waits only catch a hang: they count the driver's own time.
        EXPECT_TRUE(readOnDriver(driver, [](const auto& r) { return r.kind == DriverProcess::kHandled; }, 120))
            << consoleTail();
        run.firstStored = Steady::now() - began;
        run.firstStoredCpu = cpuTimeOf(driver.pid());
        auto arrived = [number](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [number](const auto& event) { return event.intParam("n") == number; }) >= 1;
        };
        EXPECT_TRUE(waitOnDriver(driver, 120, [&] { return arrived(measurement.uploads()); })) << consoleTail();
        run.peak = peakResidentBytes(driver.pid());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        return run;
    }

    // A burst over four threads, SIGTERM once every call is made: the end is
    // orderly, within its deadline, and stores the whole burst; the next run
    // uploads it, each event once. Answers the burst's peak.
    int64_t burstEndedBySignal() {
        int64_t peak = 0;
        {
            DriverProcess driver(CALVARO_EVENT_DRIVER,
                                 driverArguments({"--first", std::to_string(kFirstOfBurst), "--count",
                                                  std::to_string(kBurst), "--threads", "4", "--end-on-signal"}));
            // Every call made and the engine at work on the burst: its start,
            // which a busy machine may still be busy with once the calls
            // return, is not the end's to wait for.
            EXPECT_TRUE(
                readOnDriver(driver, [&](const auto&) { return driver.allLogged() && driver.handledCount() >= 1; }, 300))
                << consoleTail();
            peak = peakResidentBytes(driver.pid());
            const SignalledEnd end = endBySignal(driver);
            EXPECT_EQ(end.status, 128 + SIGTERM) << consoleTail();
            expectEndWithinItsLimit(end, consoleTail());
            EXPECT_EQ(driver.handledCount(), kBurst) << consoleTail();
        }
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "5000"}));
        auto arrived = [](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1 &&
                   acceptedCount(uploads, [](const auto& event) {
                       const auto n = event.intParam("n");
                       return event.name == "e2e_event" && n && *n >= kFirstOfBurst && *n < kFirstOfBurst + kBurst;
                   }) >= static_cast<size_t>(kBurst);
        };
        EXPECT_TRUE(waitOnDriver(driver, 120, [&] { return arrived(measurement.uploads()); })) << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        std::multiset<int64_t> burst;
        for (const auto& event : measurement.acceptedEvents()) {
            const auto n = event.intParam("n");
            if (event.name == "e2e_event" && n && *n >= kFirstOfBurst) burst.insert(*n);
        }
        std::multiset<int64_t> expected;
        for (int64_t n = kFirstOfBurst; n < kFirstOfBurst + kBurst; ++n) expected.insert(n);
        EXPECT_EQ(burst, expected);
        return peak;
    }

    // Every upload since `from` (in arrival order) is of the usual size and
    // names no experiment; answers the largest body.
    size_t largestUploadSince(size_t from) {
        const auto uploads = measurement.uploads();
        size_t largest = 0;
        for (size_t i = from; i < uploads.size(); ++i) {
            largest = std::max(largest, uploads[i].body.size());
            for (const auto& bundle : uploads[i].bundles) EXPECT_TRUE(bundle.experimentIDs.empty());
        }
        // 200 events take about 12 KB.
        EXPECT_LT(largest, size_t{64} << 10);
        return largest;
    }

    // The whole road once `serve` has the collector serve a hostile
    // configuration: refused with `code` in the log (and no other refusal's),
    // and the runs after it as usual.
    template <typename Serve>
    void expectRefusedAndHarmless(const char* code, Serve serve) {
        // The usual start, on a data root of its own, before it is served.
        const TemporaryDataRoot usualRoot("hostileusual");
        const Start usual = start(1, &usualRoot);
        serve();
        const int64_t fetching = fetchTheConfiguration();
        const std::string console = tools::consoleTail(root.path(), 4000);
        EXPECT_NE(console.find(code), std::string::npos) << consoleTail();
        EXPECT_EQ(console.find("I-MSR009004"), std::string::npos) << consoleTail();

        const size_t uploadsBefore = measurement.uploads().size();
        const Start after = start(200);
        // A usual start between two starts after the configuration: whatever
        // load slows both of those (a heavy neighbour) slows it as well.
        const Start usualAgain = start(2, &usualRoot);
        const Start afterAgain = start(201);
        const int64_t burstPeak = burstEndedBySignal();
        const size_t largest = largestUploadSince(uploadsBefore);
        const Steady::duration quickestAfter = std::min(after.firstStoredCpu, afterAgain.firstStoredCpu);
        const Steady::duration slowestUsual = std::max(usual.firstStoredCpu, usualAgain.firstStoredCpu);
        std::printf("first event stored %.2f s and %.2f s after the start (%.2f s and %.2f s without the "
                    "configuration), after %.2f s and %.2f s of CPU (%.2f s and %.2f s without); peaks: %lld MiB "
                    "fetching, %lld MiB starting, %lld MiB in the burst; largest upload %zu bytes\n",
                    seconds(after.firstStored), seconds(afterAgain.firstStored), seconds(usual.firstStored),
                    seconds(usualAgain.firstStored), seconds(after.firstStoredCpu), seconds(afterAgain.firstStoredCpu),
                    seconds(usual.firstStoredCpu), seconds(usualAgain.firstStoredCpu),
                    static_cast<long long>(fetching >> 20), static_cast<long long>(after.peak >> 20),
                    static_cast<long long>(burstPeak >> 20), largest);
        // What the configuration costs, it costs every start after it, in
        // the CPU time the start uses (the load of the machine's other work,
        // which comes and goes, stretches only its wall time). The quickest
        // start after it is set against the slowest usual one, with a margin
        // for the noise between them.
        EXPECT_GE(std::min(after.firstStoredCpu, afterAgain.firstStoredCpu).count(), 0) << "unread";
        EXPECT_GE(std::min(usual.firstStoredCpu, usualAgain.firstStoredCpu).count(), 0) << "unread";
        EXPECT_LT(quickestAfter, 2 * slowestUsual + std::chrono::seconds(3))
            << seconds(quickestAfter) << " s against " << seconds(slowestUsual) << " s";
        for (const int64_t peak : {fetching, after.peak, afterAgain.peak, burstPeak}) {
            EXPECT_GT(peak, 0);
            EXPECT_LT(peak, kPeakLimit);
        }
    }
};

TEST_F(HostileConfigurationRoadTest, AnAnswerOfTooManyExperimentsIsRefusedAndHoldsNothing) {
    expectRefusedAndHarmless("I-MSR820030",
                             [this] { measurement.setExperimentResponse(experimentsAnswer(120000)); });
    EXPECT_TRUE(measurement.waitForExperimentRequests(1, 0));
}

TEST_F(HostileConfigurationRoadTest, AnInListFilterOfTooManyEntriesIsRefusedAndHoldsNothing) {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
        kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
    MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences,
                         std::vector<MSRPBAudience>{hostile_road::inListAudience(1, 1350000)});
    const size_t bytes = config.protoBuffer().value_or(std::vector<uint8_t>{}).size();
    ASSERT_GT(bytes, size_t{3} << 20);
    ASSERT_LE(bytes, size_t{4} << 20) << "within the size a configuration may have";
    expectRefusedAndHarmless("I-MSR006045", [&] { measurement.setConfig(kDriverApp, config); });
}

}  // namespace hostile_configuration
