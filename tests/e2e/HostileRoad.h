#pragma once
// The road every hostile configuration is met on end to end, over the
// loopback collector serving it: a start, a burst ended by a signal, and the
// run that uploads the burst, with the peaks of each.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tools/assembler/ProgramAssembler.h"

namespace hostile_road {

using tools::DriverProcess;
using Steady = std::chrono::steady_clock;

inline constexpr int64_t kSignalledBurst = 200;
inline constexpr int64_t kBurstFirst = 1000;
// Waits for what any machine does in seconds: far past it, never reached.
inline constexpr double kGenerousSeconds = 120;

inline double secondsOf(Steady::duration duration) { return std::chrono::duration<double>(duration).count(); }

// The end of the driver's console with each line cut to 1 KiB: a line that
// carries a program's text whole must not flood the test's output.
inline std::string cutConsoleTail(const std::filesystem::path& root) {
    std::ifstream in(root / "console.log");
    std::vector<std::string> tail;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 1024) line = line.substr(0, 1024) + "... (" + std::to_string(line.size()) + " bytes)";
        tail.push_back(std::move(line));
        if (tail.size() > 40) tail.erase(tail.begin());
    }
    std::string text = "\n--- last lines of the engine's console ---\n";
    for (const auto& line : tail) text += line + "\n";
    return text;
}

// An editing program that loads in no time and registers one rule, its top-
// level function "f" holding `literals` copies of its last argument: as many
// entities as a test needs at little cost to run.
inline MSRPBProgram programOfLiterals(size_t literals) {
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(R"((function "f" (array) true)
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") (return 0)) (object "type" "edit")))
)",
                                                                                  "rules");
    ProgramAssembler::repeatLastArgument(*program, 0, literals);
    return *program;
}

// One audience numbered `id` whose filter on the driver's event compares the
// origin every event carries with `entries` one-letter entries (none when
// 0), complemented and dynamic, so that it runs for every event.
inline MSRPBAudience inListAudience(int32_t id, int32_t entries) {
    MSRPBAudience audience;
    MSRPBSetInt32(audience, MSRAudienceSlot::kAudienceID, id);
    if (entries == 0) return audience;
    std::vector<MSRPBValue> list;
    list.reserve(static_cast<size_t>(entries));
    for (int32_t i = 0; i < entries; ++i) list.emplace_back(std::string(1, static_cast<char>('a' + i % 26)));
    MSRPBStringFilter inList;
    MSRPBSetInt32(inList, MSRStringFilterSlot::kMatchType, 6);
    MSRPBSetArray(inList, MSRStringFilterSlot::kExpressionList, list);
    MSRPBFilter parameter;
    MSRPBSetMessage(parameter, MSRFilterSlot::kStringFilter, inList);
    MSRPBSetString(parameter, MSRFilterSlot::kParameterName, "_o");
    MSRPBSetBool(parameter, MSRFilterSlot::kComplement, true);
    MSRPBEventFilter filter;
    MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, 0);
    MSRPBSetString(filter, MSREventFilterSlot::kEventName, "e2e_event");
    MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, std::vector<MSRPBFilter>{parameter});
    MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
    MSRPBSetMessageArray(audience, MSRAudienceSlot::kEventFilters, std::vector<MSRPBEventFilter>{filter});
    return audience;
}

// The road every hostile configuration is met on, over a collector serving
// it: a start, a burst ended by a signal, and the run that uploads the burst.
class HostileRoadTest : public DriverTest {
  protected:
    using DriverTest::DriverTest;

    void TearDown() override {
        collector.stop();
        if (HasFailure()) std::printf("%s", tail().c_str());
    }
    std::string tail() const { return cutConsoleTail(root.path()); }

    // SIGTERM to a running driver: it ends as the application does, in
    // order, within its deadline (its CPU time to its report of that end).
    void signalAndExpectOrderlyEnd(DriverProcess& driver) {
        const SignalledEnd end = endBySignal(driver);
        EXPECT_EQ(end.status, 128 + SIGTERM) << tail();
        expectEndWithinItsLimit(end, tail());
    }

    // A start of a few events and a marker, all handled and the marker
    // uploaded; then the signalled end. Answers the run's peak.
    int64_t startAndEnd() {
        DriverProcess driver(CALVARO_EVENT_DRIVER,
                             debugArguments({"--first", "1", "--count", "5", "--marker", "9", "--end-on-signal"}));
        EXPECT_TRUE(waitOnDriver(driver, kGenerousSeconds, [&] { return driver.markersHandled() >= 1; })) << tail();
        EXPECT_TRUE(waitOnDriver(driver, kGenerousSeconds, [&] { return markerArrived(); })) << tail();
        const int64_t peak = peakResidentBytes(driver.pid());
        signalAndExpectOrderlyEnd(driver);
        return peak;
    }

    // The peak of a start of a few events on a data root of its own (named
    // `rootName`, its configuration the usual one), ended once they are
    // uploaded: what a start holds without the served answer.
    int64_t usualStart(const char* rootName) {
        const TemporaryDataRoot elsewhere(rootName);
        std::vector<std::string> arguments =
            debugArguments({"--first", "1", "--count", "5", "--marker", "9"});
        arguments.insert(arguments.end(), {"--home", elsewhere.path().string(), "--log",
                                           (elsewhere.path() / "console.log").string()});
        DriverProcess driver(CALVARO_EVENT_DRIVER, arguments);
        EXPECT_TRUE(waitOnDriver(driver, kGenerousSeconds, [&] { return driver.markersHandled() >= 1; }));
        EXPECT_TRUE(waitOnDriver(driver, kGenerousSeconds, [&] { return markerArrived(); }));
        const int64_t peak = peakResidentBytes(driver.pid());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0);
        measurement.clear();
        return peak;
    }

    // A marker event has arrived at the collector.
    bool markerArrived() const {
        return acceptedCount(measurement.uploads(), [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
    }

    // Runs of the program on a numbered event that its bounds stopped, as
    // the console has them so far.
    size_t stoppedRuns() const {
        std::ifstream in(root.path() / "console.log");
        size_t stopped = 0;
        for (std::string line; std::getline(in, line);)
            stopped += line.find("Event editing failed. Event name: e2e_event") != std::string::npos;
        return stopped;
    }

    // A burst over four threads, not in debug mode, ended by SIGTERM once
    // every call is made and the engine is at work on the burst (its start,
    // which a slow machine may still be busy with once the calls return, is
    // not the end's to wait for): the whole burst is stored before the end,
    // and the next run uploads each of its events once. At work means a
    // first batch stored, or a first run stopped by its bounds: a batch of
    // 64 runs, each stopped only by its own bounds, takes a minute under
    // the sanitizer, and no longer than that one run to show in the console.
    // `more` adds to the driver's arguments. Answers the burst's peak.
    int64_t burstEndedBySignal(std::vector<std::string> more = {}) {
        int64_t peak = 0;
        {
            more.insert(more.begin(), {"--first", std::to_string(kBurstFirst), "--count",
                                       std::to_string(kSignalledBurst), "--threads", "4", "--end-on-signal"});
            const size_t stoppedBefore = stoppedRuns();
            DriverProcess driver(CALVARO_EVENT_DRIVER, driverArguments(more));
            const auto atWork = [&] {
                return driver.allLogged() && (driver.handledCount() >= 1 || stoppedRuns() > stoppedBefore);
            };
            const Steady::time_point began = Steady::now();
            // Under the sanitizers a run of a text program takes seconds: the
            // first one may end minutes after the burst, and the wait counts
            // the driver's own time.
            EXPECT_TRUE(waitOnDriver(driver, 3 * kGenerousSeconds, atWork)) << tail();
            std::printf("  at work on the burst after %.1f s\n", secondsOf(Steady::now() - began));
            peak = peakResidentBytes(driver.pid());
            signalAndExpectOrderlyEnd(driver);
            EXPECT_EQ(driver.handledCount(), kSignalledBurst) << tail();
        }
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "5000"}));
        auto inBurst = [](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name != "e2e_marker" && n && *n >= kBurstFirst && *n < kBurstFirst + kSignalledBurst;
        };
        EXPECT_TRUE(waitOnDriver(driver, kGenerousSeconds, [&] {
            return markerArrived() &&
                   acceptedCount(measurement.uploads(), inBurst) >= static_cast<size_t>(kSignalledBurst);
        })) << tail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << tail();
        std::multiset<int64_t> burst, expected;
        for (const auto& event : measurement.acceptedEvents())
            if (inBurst(event)) burst.insert(*event.intParam("n"));
        for (int64_t n = kBurstFirst; n < kBurstFirst + kSignalledBurst; ++n) expected.insert(n);
        EXPECT_EQ(burst, expected);
        return peak;
    }

    // Serves `program` as the driver's one program, in a configuration that
    // uploads a second after a start and keeps within the 4 MiB one may have.
    void serveProgram(const MSRPBProgram& program) {
        MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
            kDriverApp, 2, {{"measurement.upload.initial_upload_delay_time", "1000"}});
        MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{program});
        ASSERT_LE(config.protoBuffer().value_or(std::vector<uint8_t>{}).size(), size_t{4} << 20);
        measurement.setConfig(kDriverApp, config);
    }

    // A start, then a burst in which the program has all the time its batch
    // may take (each event runs it until one of its own bounds stops it, so
    // that the signal meets a run under way on any machine); the peaks of
    // both and of `fetching` are printed under `name` and must be small.
    void startBurstAndExpectSmall(const char* name, int64_t fetching) {
        const int64_t started = startAndEnd();
        const int64_t burst = burstEndedBySignal({"--editing-seconds-per-batch", "1000"});
        std::printf("%s: peaks %lld MiB fetching, %lld MiB starting, %lld MiB in the burst\n", name,
                    static_cast<long long>(fetching >> 20), static_cast<long long>(started >> 20),
                    static_cast<long long>(burst >> 20));
        expectSmall({fetching, started, burst});
    }

    static void expectSmall(std::initializer_list<int64_t> peaks) {
        for (const int64_t peak : peaks) {
            EXPECT_GT(peak, 0);
            EXPECT_LT(peak, kPeakLimit) << (peak >> 20) << " MiB";
        }
    }
};

}  // namespace hostile_road
