// A process killed with SIGKILL loses none of the events it had stored: the
// next start on the same data root uploads every one of them exactly once.
//
// "Stored" is made exact in two ways. The driver reports each event the
// engine has handled, and the engine tells its listeners only after the
// event's write transaction has ended; a single logging thread makes the
// stored events a prefix 1..K of the logged ones with K at least the highest
// reported number. And while the process may be killed, the collector holds
// every upload unanswered, so no upload of the killed process is ever
// accepted: its events (raw rows, or bundles of the upload in flight) must all
// come from the next start, exactly once.
//
// Uploads are at least once: a process killed after the collector accepted
// its upload, before it deleted the bundles, sends them again with the same
// (app instance id, bundle index), and the collector drops those repeats. A
// third road kills there; after the repeats are dropped every stored event
// must still have arrived exactly once.
//
// Each road runs 10 rounds; CALVARO_KILL_ROUNDS=N runs N (70 gives 210 kills).
// The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/DriverHarness.h"

namespace {

using tools::DriverProcess;

constexpr int64_t kNumbersPerRound = 1000000;

class KilledProcessTest : public DriverTest {
  protected:
    KilledProcessTest() : DriverTest("killed") {}
    void SetUp() override {
        DriverTest::SetUp();
        serveLargeDailyShares();
        seedRandom(random);
    }

    void TearDown() override {
        std::printf("%lld stored events of the killed drivers each arrived once\n",
                    static_cast<long long>(totalStored));
        DriverTest::TearDown();
    }

    // How a round's driver is killed.
    enum class KillPoint {
        kWhileLogging,  // after a random number of handled events, logging still going on
        kAfterLogging,  // a random moment within 1.5 s after the last event: before, during or after bundling
        kUploadInFlight,  // a random moment within 20 ms after its upload reached the collector
        kUploadAccepted,  // a random moment within 20 ms after the collector accepted its upload
    };

    // One round: a driver logs from `first` on and is killed at a random
    // point; a second start on the same data root must then deliver every
    // stored event once.
    void runRound(int round, KillPoint point) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int64_t first = int64_t(round + 1) * kNumbersPerRound;
        const size_t uploadsBefore = measurement.uploads().size();
        const bool accepting = point == KillPoint::kUploadAccepted;
        measurement.setUploadsHeld(!accepting);
        int64_t stored = 0;
        {
            const bool whileLogging = point == KillPoint::kWhileLogging;
            const int64_t count =
                whileLogging ? kNumbersPerRound - 1 : std::uniform_int_distribution<int64_t>(1, 1500)(random);
            DriverProcess driver(
                CALVARO_EVENT_DRIVER,
                debugArguments({"--first", std::to_string(first), "--count", std::to_string(count),
                                "--pace-us", whileLogging ? "200" : "0"}));
            auto handled = [&](int64_t target) {
                return driver.readUntil([&](const auto&) { return driver.handledCount() >= target; }, 60);
            };
            int64_t delayMicros = 0;
            if (whileLogging) {
                ASSERT_TRUE(handled(std::uniform_int_distribution<int64_t>(1, 1500)(random)))
                    << "the driver stopped after " << driver.handledCount() << " events"
                    << consoleTail();
                delayMicros = std::uniform_int_distribution<int64_t>(0, 3000)(random);
            } else {
                ASSERT_TRUE(handled(count)) << "the driver stopped after " << driver.handledCount() << " of "
                                            << count << " events, exit status " << driver.waitForEnd(5)
                                            << consoleTail();
                if (accepting) {
                    ASSERT_TRUE(measurement.waitUntil(
                        [&](const auto& u) {
                            for (size_t i = uploadsBefore; i < u.size(); ++i)
                                if (u[i].accepted()) return true;
                            return false;
                        },
                        30))
                        << "the driver never uploaded" << consoleTail();
                    delayMicros = std::uniform_int_distribution<int64_t>(0, 20000)(random);
                } else if (point == KillPoint::kUploadInFlight) {
                    ASSERT_TRUE(
                        measurement.waitUntil([&](const auto& u) { return u.size() > uploadsBefore; }, 30))
                        << "the driver never uploaded" << consoleTail();
                    delayMicros = std::uniform_int_distribution<int64_t>(0, 20000)(random);
                } else {
                    delayMicros = std::uniform_int_distribution<int64_t>(0, 1500000)(random);
                }
            }
            // Not waiting for work: this picks the moment of the kill.
            std::this_thread::sleep_for(std::chrono::microseconds(delayMicros));
            driver.kill();
            stored = driver.highestHandled() - first + 1;
        }
        collector.releaseHeldReplies();
        measurement.setUploadsHeld(false);
        if (!accepting) {
            EXPECT_EQ(measurement.acceptedEventCount(), acceptedSoFar)
                << "an upload of the killed process was accepted";
        }

        // The next start: a marker logged after the start is uploaded with (or after) the stored events.
        DriverProcess next(CALVARO_EVENT_DRIVER,
                           debugArguments({"--count", "0", "--marker", std::to_string(round)}));
        ASSERT_TRUE(waitOnDriver(next, 30, [&] {
            const auto uploads = measurement.uploads();
            return acceptedCount(std::span(uploads).subspan(uploadsBefore), [&](const auto& event) {
                       return event.name == "e2e_marker" && event.intParam("n") == round;
                   }) > 0;
        })) << "the next start uploaded nothing" << consoleTail();
        ASSERT_EQ(next.exitAndWait(kDriverExitHang), 0)
            << "stored events were left after the next start" << consoleTail();

        // Every stored event once; beyond them only a gap-free run of events
        // that were written but not yet reported when the kill came.
        std::map<int64_t, int> counts;
        for (const auto& event : measurement.acceptedEvents()) {
            auto n = event.intParam("n");
            if (event.name == "e2e_event" && n && *n >= first && *n < first + kNumbersPerRound)
                ++counts[*n - first + 1];
        }
        acceptedSoFar = measurement.acceptedEventCount();
        for (int64_t n = 1; n <= stored; ++n) {
            ASSERT_EQ(counts[n], 1) << "stored event " << n << " of " << stored << " arrived " << counts[n]
                                    << " times" << consoleTail();
        }
        int64_t expected = 1;
        for (const auto& [n, count] : counts) {
            ASSERT_EQ(n, expected++) << "event " << n << " arrived although an earlier one did not";
            ASSERT_EQ(count, 1) << "event " << n << " arrived " << count << " times";
        }
        totalStored += stored;
    }

    std::mt19937 random;
    size_t acceptedSoFar = 0;
    int64_t totalStored = 0;
};

TEST_F(KilledProcessTest, KilledWhileLoggingLosesNoStoredEvent) {
    for (int round = 0; round < killRounds(10); ++round) {
        runRound(round, KillPoint::kWhileLogging);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(totalStored, 0);
}

TEST_F(KilledProcessTest, KilledAroundItsUploadLosesNoStoredEvent) {
    for (int round = 0; round < killRounds(10); ++round) {
        runRound(round, round % 2 ? KillPoint::kUploadInFlight : KillPoint::kAfterLogging);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(totalStored, 0);
}

TEST_F(KilledProcessTest, KilledAfterItsUploadWasAcceptedRepeatsOnlyWhatIsDropped) {
    for (int round = 0; round < killRounds(10); ++round) {
        runRound(round, KillPoint::kUploadAccepted);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(totalStored, 0);
    std::printf("%zu repeated bundles (%zu events) dropped by (app instance id, bundle index)\n",
                measurement.repeatedBundleCount(), measurement.repeatedEventCount());
}

}  // namespace
