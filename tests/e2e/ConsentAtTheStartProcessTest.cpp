// A consent denial made right after the start, with the engine's start
// coming after it (the driver holds it back, every run): an earlier run
// granted both storage types and uploaded 200 events; this one denies one of
// them and logs 800 events on two threads, and is ended by SIGINT once they
// are stored (an upload still under way is let go, its answer lost); the next
// start uploads what is left. No event logged after the denial goes out
// stamped granted, and each arrives once. Each type is denied through the
// facade's call and through the public interface, 2 rounds each by default;
// CALVARO_KILL_ROUNDS=100 makes 200 rounds of each type.

#include <signal.h>

#include "tests/e2e/ConsentAfterADenial.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"

namespace {

// copyDataRoot over an earlier copy and its keychain.
void copyDataRootAgain(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::remove_all(to.string() + ".keychain");
    copyDataRoot(from, to);
}

class ConsentAtTheStartProcessTest : public DriverTest {
  protected:
    ConsentAtTheStartProcessTest() : DriverTest("consent-at-the-start") {}

    // The data root of an earlier run that granted both storage types
    // through `call` and uploaded events 1 to 200.
    void seedTheEarlierRun(const std::filesystem::path& seed, const char* call) {
        std::filesystem::remove_all(root.path());
        std::filesystem::remove_all(root.path().string() + ".keychain");
        tools::DriverProcess driver(
            CALVARO_EVENT_DRIVER, debugArguments({call, "ad_storage=granted,analytics_storage=granted",
                                                  "--consent-behind-the-engine", "--first", "1", "--count", "200"}));
        // Only a hang reaches these: the first wait counts the driver's own
        // time, the end's takes seconds of a crowded core's minutes.
        ASSERT_TRUE(readOnDriver(driver, [](const auto& r) { return r.kind == tools::DriverProcess::kAllLogged; }, 120))
            << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        copyDataRootAgain(root.path(), seed);
    }
};

TEST_F(ConsentAtTheStartProcessTest, ADenialBeforeTheEnginesStartHoldsForEveryEventAfterIt) {
    serveLargeDailyShares();
    struct Case {
        const char* type;
        size_t mark;       // its place in the consent signals
        const char* call;  // how the application calls, in both runs
    };
    const Case cases[] = {
        {"analytics_storage", 3, "--facade-consent"},
        {"ad_storage", 2, "--facade-consent"},
        {"analytics_storage", 3, "--consent"},
        {"ad_storage", 2, "--consent"},
    };
    const int rounds = killRounds(2);
    const std::filesystem::path seed = root.path().string() + ".seed";
    for (const Case& c : cases) {
        seedTheEarlierRun(seed, c.call);
        if (HasFatalFailure()) return;
        int done = 0;
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(std::string(c.type) + " denied by " + c.call + ", round " + std::to_string(round));
            copyDataRootAgain(seed, root.path());
            measurement.clear();
            {
                tools::DriverProcess driver(
                    CALVARO_EVENT_DRIVER,
                    debugArguments({c.call, std::string(c.type) + "=denied", "--consent-ahead-of-the-engine",
                                    "--first", "1001", "--count", "800", "--threads", "2", "--end-on-signal"}));
                // Every event stored, whatever the machine's speed: the end
                // then has no more than an upload to let go.
                ASSERT_TRUE(driver.readUntil([&](const auto&) { return driver.handledCount() >= 800; }, 300))
                    << consoleTail();
                const SignalledEnd end = endBySignal(driver, SIGINT);
                ASSERT_EQ(end.status, 128 + SIGINT) << consoleTail();
            }
            {
                // Its marker's upload, in debug mode, does not wait out the
                // retry after an upload the end let go unanswered.
                tools::DriverProcess next(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1"}));
                // On the driver's own time: a sanitized start beside a
                // crowded machine's suites took more than 150 s of the wall.
                EXPECT_TRUE(waitOnDriver(next, 150, [&] {
                    return acceptedCount(measurement.uploads(),
                                         [](const auto& event) { return event.name == "e2e_marker"; }) > 0;
                })) << consoleTail();
                ASSERT_EQ(next.exitAndWait(kDriverExitHang), 0) << consoleTail();
            }
            // Of the events logged after the denial: those sent stamped
            // otherwise, those sent with the app instance id under a denial
            // of analytics storage, and each one's arrivals.
            const ConsentAfterADenial seen = consentAfterADenial(measurement.uploads(), c.mark, 1000);
            EXPECT_EQ(seen.notDenied, 0u) << seen.firstStamp;
            EXPECT_EQ(seen.withInstanceID, 0u);
            EXPECT_EQ(seen.arrived.size(), 800u) << consoleTail();
            EXPECT_EQ(seen.twice(), 0u);
            // The next case still runs: each shows its own failures.
            if (HasFailure()) break;
            ++done;
        }
        std::printf("  %s denied by %s: %d rounds held\n", c.type, c.call, done);
    }
    std::filesystem::remove_all(seed);
    std::filesystem::remove_all(seed.string() + ".keychain");
}

}  // namespace
