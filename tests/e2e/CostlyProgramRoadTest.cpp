// Served programs whose work once went uncharged (the cost fuzzer's seeds):
// long text comparisons inside array searches and a switch, a shared array
// expanded into an event, parameter names of a mebibyte, a number read from
// mebibytes of blanks without end, a pattern of mebibytes compiled on every
// event. Each meets the events of a start and a burst of 200 ended by a
// signal: the process handles them at the cost they have without the
// program, stays small, ends in order within a second of CPU time after the
// signal, and every event it was handed arrives, edited or as it was logged.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "tests/e2e/ServedProgramTest.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TestPaths.h"

namespace {

// A seed of the cost fuzzer, read once and kept for the process.
const char* costlyProgramText(const std::string& file) {
    static std::map<std::string, std::string> texts;
    auto [at, added] = texts.try_emplace(file);
    if (added) {
        std::ifstream in(calvaro::test::sourcePath("fuzz/seeds/program_cost/" + file), std::ios::binary);
        at->second.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return at->second.c_str();
}

// What the events of a start may cost in the process's CPU time: twenty
// times what the same start costs without a program, measured beside it (a
// tenth of a second either way alone, a few tenths under AddressSanitizer),
// and a tenth of what the programs took when their work went uncharged
// (half a minute). A crowded machine makes both dearer, not their ratio.
constexpr double kCostlyStartTimes = 20;
// How long a start may take by the wall clock: only a hung start comes near it.
constexpr double kCostlyStartHangSeconds = 300;

constexpr int64_t kCostlyBurst = 200;
constexpr int64_t kCostlyStartEvents = 5;
constexpr int64_t kCostlyBurstFirst = 11;

class CostlyProgramRoadTest : public ServedProgramTest, public testing::WithParamInterface<const char*> {
  protected:
    CostlyProgramRoadTest() : ServedProgramTest("costly", costlyProgramText(GetParam())) {}

    // SIGTERM to a driver that is still running: it ends as the
    // application does, in order and within a second of its CPU time.
    void signalAndExpectOrderlyEnd(tools::DriverProcess& driver) {
        const SignalledEnd end = endBySignal(driver);
        EXPECT_EQ(end.status, 128 + SIGTERM) << consoleTail();
        expectEndWithinItsLimit(end, consoleTail());
    }
};

TEST_P(CostlyProgramRoadTest, EveryEventArrivesAndTheProcessStaysQuickAndSmall) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    const size_t firstRun = measurement.acceptedEventCount();

    // A start: a few events and a marker, handled at the cost a start has.
    {
        using Clock = std::chrono::steady_clock;
        const auto started = Clock::now();
        tools::DriverProcess driver(
            CALVARO_EVENT_DRIVER,
            debugArguments({"--first", "1", "--count", std::to_string(kCostlyStartEvents), "--marker", "9",
                            "--end-on-signal"}));
        ASSERT_TRUE(waitOnDriver(driver, kCostlyStartHangSeconds, [&] { return driver.markersHandled() >= 1; }))
            << consoleTail();
        const std::chrono::nanoseconds cost = cpuTimeOf(driver.pid());
        const auto handled = Clock::now() - started;
        const double usual = usualStartCpuSeconds(
            {"--first", "1", "--count", std::to_string(kCostlyStartEvents), "--marker", "9"});
        EXPECT_GE(cost.count(), 0) << "unread";
        EXPECT_GT(usual, 0) << "unread";
        EXPECT_LT(std::chrono::duration<double>(cost).count(), kCostlyStartTimes * calibrationCpuSeconds(usual))
            << usual << " s without the program" << consoleTail();
        auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
        };
        ASSERT_TRUE(waitOnDriver(driver, 90, [&] { return arrived(measurement.uploads()); })) << consoleTail();
        const int64_t peak = peakResidentBytes(driver.pid());
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, kPeakLimit) << consoleTail();
        std::printf("%s: a start's events handled in %.2f s, %.2f s of CPU, peak %.1f MiB\n", GetParam(),
                    std::chrono::duration<double>(handled).count(), std::chrono::duration<double>(cost).count(),
                    static_cast<double>(peak) / (1 << 20));
        ASSERT_NO_FATAL_FAILURE(signalAndExpectOrderlyEnd(driver));
    }

    // A burst, not in debug mode, ended by a signal once it is logged and the
    // engine is at work on it (its start, which a busy machine may still be
    // busy with once the calls return, is not the end's to wait for): every
    // event handed over is stored before the end.
    {
        tools::DriverProcess driver(
            CALVARO_EVENT_DRIVER,
            driverArguments({"--first", std::to_string(kCostlyBurstFirst), "--count", std::to_string(kCostlyBurst),
                             "--threads", "4", "--end-on-signal"}));
        ASSERT_TRUE(
            readOnDriver(driver, [&](const auto&) { return driver.allLogged() && driver.handledCount() >= 1; }, 300))
            << consoleTail();
        const int64_t peak = peakResidentBytes(driver.pid());
        ASSERT_NO_FATAL_FAILURE(signalAndExpectOrderlyEnd(driver));
        EXPECT_EQ(driver.handledCount(), kCostlyBurst) << consoleTail();
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, kPeakLimit) << consoleTail();
        std::printf("%s: a burst's peak %.1f MiB\n", GetParam(), static_cast<double>(peak) / (1 << 20));
    }

    // The next run uploads what the burst stored.
    tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1000"}));
    auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_event"; }) >=
                   2 + kCostlyStartEvents + kCostlyBurst &&
               acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 2;
    };
    ASSERT_TRUE(waitOnDriver(driver, 120, [&] { return arrived(measurement.uploads()); })) << consoleTail();
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();

    // Each event once, edited or as logged.
    const std::multiset<int64_t> numbers = acceptedEventNumbers(firstRun);
    std::multiset<int64_t> expected;
    for (int64_t n = 1; n <= kCostlyStartEvents; ++n) expected.insert(n);
    for (int64_t n = kCostlyBurstFirst; n < kCostlyBurstFirst + kCostlyBurst; ++n) expected.insert(n);
    EXPECT_EQ(numbers, expected) << consoleTail();
}

// One program of each kind of work that went uncharged; the fuzzer's other
// seeds vary these.
INSTANTIATE_TEST_SUITE_P(Seeds, CostlyProgramRoadTest,
                         testing::Values("text_comparisons_in_searches.prog", "shared_array_expanded.prog",
                                         "parameter_names_of_a_mebibyte.prog", "blanks_to_number_without_end.prog",
                                         "pattern_of_four_mebibytes.prog"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             std::string camel;
                             bool upper = true;
                             for (char c : name) {
                                 if (c == '_') {
                                     upper = true;
                                 } else {
                                     camel.push_back(upper ? static_cast<char>(c - 'a' + 'A') : c);
                                     upper = false;
                                 }
                             }
                             return camel;
                         });

}  // namespace
