// A served program that builds a text of 1 MiB when it loads and searches it
// on every event with a short pattern that drives RE2 from its DFA to its
// NFA, whose scan of a mebibyte would hold the worker queue for seconds per
// event. The budget refuses each scan before it starts: the process starts,
// stores and uploads every event and ends as quickly as without the program,
// stays small, and its log names the stop.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/ServedProgramTest.h"
#include "tests/support/Sanitizer.h"

namespace {

constexpr const char* kPatternProgram = R"(
(let "big" "k") (assign "big" "ab") (assign "k" 0)
(loop (lt $k 19) (assign "k" (add $k 1)) false (list (assign "big" (add $big $big))))
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (if (ne (call $e "getEventName" (array)) "e2e_event") (list (return 0)))
      (call $e "setParamValue" (array "found" (call $big "search" (array "[ab]*a[ab]{1000}[ab]{1000}c"))))
      (return 0))
    (object "type" "edit")))
)";

class PatternProgramRoadTest : public ServedProgramTest {
  protected:
    PatternProgramRoadTest() : ServedProgramTest("pattern", kPatternProgram) {}
};

// What a start with its events may cost at most in the process's CPU time:
// twenty times what the same start costs without the program, measured
// beside it (a tenth of a second alone, a few tenths under
// AddressSanitizer), a tenth of the half minute the scans took. A crowded
// machine makes both dearer, not their ratio. The end on a signal keeps its
// own limit.
constexpr double kPatternRunTimes = 20;
// How long the start may take by the wall clock: only a hung start comes near it.
constexpr double kPatternRunHangSeconds = 300;

TEST_F(PatternProgramRoadTest, EachScanIsRefusedAndEveryEventArrives) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    const size_t firstRun = measurement.acceptedEventCount();

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                debugArguments({"--first", "1", "--count", "5", "--marker", "9", "--end-on-signal"}));
    ASSERT_TRUE(waitOnDriver(driver, kPatternRunHangSeconds, [&] { return driver.markersHandled() >= 1; }))
        << consoleTail();
    const std::chrono::nanoseconds cost = cpuTimeOf(driver.pid());
    const auto handled = Clock::now() - started;
    const double usual = usualStartCpuSeconds({"--first", "1", "--count", "5", "--marker", "9"});
    EXPECT_GE(cost.count(), 0) << "unread";
    EXPECT_GT(usual, 0) << "unread";
    EXPECT_LT(std::chrono::duration<double>(cost).count(), kPatternRunTimes * calibrationCpuSeconds(usual))
        << usual << " s without the program" << consoleTail();
    auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
    };
    ASSERT_TRUE(waitOnDriver(driver, 90, [&] { return arrived(measurement.uploads()); })) << consoleTail();
    const int64_t peak = peakResidentBytes(driver.pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakLimit);
    // SIGTERM ends the run as it ends the application, in order.
    const SignalledEnd end = endBySignal(driver);
    ASSERT_EQ(end.status, 128 + SIGTERM) << consoleTail();
    expectEndWithinItsLimit(end, consoleTail());
    std::printf("events handled after %.2f s, %.2f s of CPU, peak %.1f MiB\n",
                std::chrono::duration<double>(handled).count(), std::chrono::duration<double>(cost).count(),
                static_cast<double>(peak) / (1 << 20));

    // Every event arrived as it was logged: no scan ran to set "found".
    std::vector<std::optional<int64_t>> numbers;
    std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
    for (size_t i = firstRun; i < events.size(); ++i) {
        if (events[i].name != "e2e_event") continue;
        numbers.push_back(events[i].intParam("n"));
        EXPECT_EQ(events[i].param("found"), nullptr);
    }
    EXPECT_EQ(numbers, (std::vector<std::optional<int64_t>>{1, 2, 3, 4, 5})) << consoleTail();
    const std::string console = tools::consoleTail(root.path(), 400);
    for (const char* expected : {"23223", "instruction budget"})
        EXPECT_NE(console.find(expected), std::string::npos) << expected << "\n" << consoleTail();
}

}  // namespace
