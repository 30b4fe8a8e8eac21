// A burst of events meets a served program that stays within every bound of
// one event and still spends a while on each (a text mapped to upper case and
// a count, three quarters of the instruction budget): the program's time per
// batch is what stops it, and a signal ends the driver as it ends the
// application, in under 2 s, with every event it was handed stored (edited or
// not) for a later run to upload. An end whose deadline passes is orderly all
// the same when every event is stored.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include "tests/e2e/ServedProgramTest.h"

namespace {

// Each event has a text of 64 KiB, built at load, mapped to upper case (4
// instructions a byte), then counts to 40,000 (at most 12 instructions a
// turn): about 750,000 instructions of the budget of 1,000,000.
constexpr const char* kSlowProgram = R"(
(let "text" "k") (assign "text" "x") (assign "k" 0)
(loop (lt $k 16) (assign "k" (add $k 1)) false (list (assign "text" (add $text $text))))
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (let "i" "upper") (assign "i" 0)
      (assign "upper" (call $text "toUpperCase" (array)))
      (loop (lt $i 40000) (assign "i" (add $i 1)) false (list))
      (call $e "setParamValue" (array "cased" 1))
      (return 0))
    (object "type" "edit")))
)";

constexpr int64_t kBurst = 200;
// The program's time per batch the driver gets: a fifth of a millisecond, a
// twentieth of what one event's run takes here (750,000 instructions at 5 ns
// or more each), so that the first run of every batch is stopped at its
// batch's time on any machine, however the burst falls into batches, and no
// event is edited.
constexpr const char* kSecondsPerBatch = "0.0002";

class EditingBurstRoadTest : public ServedProgramTest {
  protected:
    EditingBurstRoadTest() : ServedProgramTest("burst", kSlowProgram) {}
};

TEST_F(EditingBurstRoadTest, EveryEventOfABurstIsStoredBeforeTheSignalledEnd) {
    ASSERT_NO_FATAL_FAILURE(bringTheConfigurationHome());
    const size_t firstRun = measurement.acceptedEventCount();

    // The signal comes while the program still has most of the burst before
    // it, or once every event is handled (the program's time per batch
    // bounds that wait).
    const struct {
        const char* name;
        bool waitForAll;
    } runs[] = {{"signalled during the burst", false}, {"signalled once all are handled", true}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        const int64_t first = 1 + (&run - runs) * kBurst;
        // Not in debug mode, as an application runs: no debug lines at the end.
        tools::DriverProcess driver(
            CALVARO_EVENT_DRIVER,
            driverArguments({"--first", std::to_string(first), "--count", std::to_string(kBurst), "--threads",
                             "4", "--end-on-signal", "--editing-seconds-per-batch", kSecondsPerBatch}));
        // During the burst: every event handed over and the engine at work
        // on them (its start, which a slow machine may still be busy with
        // once the calls return, is not the end's to wait for).
        ASSERT_TRUE(readOnDriver(driver,
            [&](const auto&) {
                return run.waitForAll ? driver.handledCount() == kBurst
                                      : driver.allLogged() && driver.handledCount() >= 1;
            },
            90))
            << consoleTail();
        const int64_t peak = peakResidentBytes(driver.pid());
        // Orderly: what the driver was handed is stored before it goes.
        const SignalledEnd end = endBySignal(driver);
        EXPECT_EQ(end.status, 128 + SIGTERM) << consoleTail();
        expectEndWithinItsLimit(end, consoleTail());
        EXPECT_EQ(driver.handledCount(), kBurst) << consoleTail();
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, kPeakLimit);
    }

    // The next run uploads them; its marker calls for the upload.
    tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1000"}));
    // Beside the first run's two.
    auto arrived = [&](const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_event"; }) >=
                   2 + 2 * kBurst &&
               acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
    };
    ASSERT_TRUE(waitOnDriver(driver, 120, [&] { return arrived(measurement.uploads()); })) << consoleTail();
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();

    const std::multiset<int64_t> numbers = acceptedEventNumbers(firstRun);
    // Each once, as logged: a run that finished an edit ran past its batch's
    // time.
    std::multiset<int64_t> expected;
    for (int64_t n = 1; n <= 2 * kBurst; ++n) expected.insert(n);
    EXPECT_EQ(numbers, expected);
    const std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
    EXPECT_EQ(std::count_if(events.begin() + static_cast<std::ptrdiff_t>(firstRun), events.end(),
                            [](const auto& event) { return event.name == "e2e_event" && event.param("cased"); }),
              0);
    // Stopped by the batch's time, never by the budget of one event.
    const std::string console = tools::consoleTail(root.path(), 100000);
    auto lines = [&](const std::string& saying) {
        size_t found = 0;
        for (size_t at = console.find(saying); at != std::string::npos; at = console.find(saying, at + 1))
            ++found;
        return found;
    };
    std::printf("\"time per batch\" %zu times, \"application end\" %zu times\n", lines("time per batch"),
                lines("application end"));
    EXPECT_GE(lines("time per batch"), 1u) << consoleTail();
    EXPECT_EQ(lines("instruction budget"), 0u) << consoleTail();
}

class SignalledEndTest : public DriverTest {
  protected:
    SignalledEndTest() : DriverTest("signalled-end") {}
};

// Work that outlasts the end's deadline is let go; with every event stored,
// the end is orderly and says so.
TEST_F(SignalledEndTest, AnEndPastItsDeadlineIsOrderlyWhenEveryEventIsStored) {
    constexpr int64_t kEvents = 20;
    tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                driverArguments({"--count", std::to_string(kEvents), "--end-on-signal",
                                                 "--hold-worker-at-end"}));
    ASSERT_TRUE(readOnDriver(driver, [&](const auto&) { return driver.handledCount() == kEvents; }, 90))
        << consoleTail();
    const SignalledEnd end = endBySignal(driver);
    EXPECT_EQ(end.status, 128 + SIGTERM) << consoleTail();
    EXPECT_TRUE(end.reported) << consoleTail();
    // What the rows of an orderly end look for.
    EXPECT_TRUE(end.letGoAt.has_value()) << consoleTail();
    EXPECT_NE(consoleTail().find("every event it was handed is stored"), std::string::npos) << consoleTail();
}

}  // namespace
