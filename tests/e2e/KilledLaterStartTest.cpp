// A later start of `calvaro` that begins a new session (the last one ended
// two hours ago) and, every other stretch of rounds, finds the application
// and the OS updated, killed with SIGKILL at a moment of its first second:
// the next start leaves exactly one "_s" of that session and one "_au" and
// one "_ou", whether the kill came before the measurement dictionary was
// written, between its write and the events' commit, or after both.
//
// The moments are aimed on any machine: a fifth of the rounds kill at a
// random moment of the first second; a fifth stop the start's process group
// as soon as it first touches the engine's folder (inotify tells), a fifth as
// soon as the dictionary says the new session, a fifth as soon as it says the
// new version, and kill it there or up to 5 ms later; a fifth kill as soon as
// the database holds the last of the start's events: the update's "_au", or
// the session's "_s" when nothing was updated. What the dictionary and the database hold after
// the kill tells on which side of each write it came; rounds go on until
// every side was seen, within a budget.
//
// The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using LaterStartClock = std::chrono::steady_clock;

// A write of the dictionary: it is written anew and moved into place.
constexpr uint32_t kDictionaryWrites = IN_MOVED_TO | IN_CLOSE_WRITE;

constexpr int kLaterStartLeastRounds = 20;
constexpr int kLaterStartMostRounds = 80;
// Rounds stop being started past this; every round started is checked.
constexpr auto kLaterStartBudget = std::chrono::seconds(400);

// Where a kill came, for one event: before the dictionary recorded it,
// between that write and the event's commit, after both.
enum LaterStartSide { kBeforeWrite, kBetween, kAfterBoth, kSides };
constexpr std::array<const char*, kSides> kSideNames{"before the dictionary's write", "between it and the commit",
                                                      "after both"};

class KilledLaterStartTest : public testing::Test {
  protected:
    enum Aim { kRandom, kAtFirstTouch, kAtSession, kAtVersion, kAtLastCommit, kAims };

    void SetUp() override {
        // One first start, run to its end, that every round starts from.
        const FirstStartRound seed(root.path() / "seed");
        seedHome = seed.home;
        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(seed.home, seed.once), std::chrono::seconds(60)), 0)
            << seed.said();
        ASSERT_EQ(storedEventCount(seed.home, "_s"), 1) << seed.said();
        ASSERT_EQ(storedDictionaryValue(seed.home, "session_number"), std::optional<std::string>("1"));
        seedVersion = storedDictionaryValue(seed.home, "app_version").value_or("");
        ASSERT_FALSE(seedVersion.empty()) << seed.said();
        ASSERT_NE(seedVersion, "0.9");
    }

    // The round's data root: the seed's, its last session ended two hours
    // ago and, with `updated`, the versions of an older application and OS.
    void prepare(const FirstStartRound& paths, bool updated) {
        copyDataRoot(seedHome, paths.home);
        ASSERT_TRUE(changeStoredDictionaryValue(paths.home, "last_engagement_end", [](const std::string& value) {
            char text[64];
            std::snprintf(text, sizeof text, "%.6f", std::stod(value) - 7200);
            return std::string(text);
        }));
        if (!updated) return;
        ASSERT_TRUE(changeStoredDictionaryValue(paths.home, "app_version", [](const std::string&) { return "0.9"; }));
        ASSERT_TRUE(changeStoredDictionaryValue(paths.home, "os_version", [](const std::string&) { return "5.0.0"; }));
    }

    // Stops the start's process group once `reached` holds, checked at each
    // of the `watched` events of the engine's folder (every 2 ms when none).
    bool stopWhen(pid_t start, const fs::path& home, const std::function<bool()>& reached, uint32_t watched) {
        return stopCalvaroWhen(start, measurementFolder(home), reached, watched);
    }

    void runRound(int round) {
        const Aim aim = static_cast<Aim>(round % kAims);
        const bool updated = (round / kAims) % 2 == 0;
        SCOPED_TRACE(testing::Message() << "aim " << aim << (updated ? ", updated" : ""));
        const FirstStartRound paths(root.path() / ("round-" + std::to_string(round)));
        const fs::path& home = paths.home;
        auto said = [&] { return paths.said(); };
        prepare(paths, updated);
        if (HasFatalFailure()) return;
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);

        const pid_t start = spawnCalvaroInGroup(home, paths.waiting);
        ASSERT_GT(start, 0);
        auto dictionarySays = [&](const char* suffix, const std::string& value) {
            return [&home, suffix, value] { return storedDictionaryValue(home, suffix) == value; };
        };
        bool aimed = true;
        if (aim == kRandom) {
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1000000)(random)));
        } else if (aim == kAtFirstTouch) {
            aimed = stopWhen(start, home, [] { return true; }, IN_OPEN | IN_CREATE | IN_MODIFY);
        } else if (aim == kAtLastCommit) {
            // "_au" is handed over after "_s": once it is stored, so is "_s".
            aimed = stopWhen(
                start, home,
                [&] { return updated ? storedEventCount(home, "_au") >= 1 : storedEventCount(home, "_s") >= 2; }, 0);
        } else if (aim == kAtVersion && updated) {
            aimed = stopWhen(start, home, dictionarySays("app_version", seedVersion), kDictionaryWrites);
        } else {
            aimed = stopWhen(start, home, dictionarySays("session_number", "2"), kDictionaryWrites);
        }
        // Every other stretch of aimed rounds lets the start go on for up to 5 ms.
        if (aim != kRandom && (round / (2 * kAims)) % 2 == 1) {
            kill(-start, SIGCONT);
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 5000)(random)));
        }
        kill(-start, SIGKILL);
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << "the start ended before its kill"
                                                                                  << said();
        EXPECT_TRUE(aimed) << "the moment aimed at never came" << said();

        // Which side of each write the kill came on.
        const int64_t sessionsKilled = storedEventCount(home, "_s");
        const bool sessionKept = storedDictionaryValue(home, "session_number") == std::optional<std::string>("2");
        EXPECT_FALSE(sessionsKilled == 2 && !sessionKept) << "a session stored before its dictionary" << said();
        ++sessionSides[sessionKept ? (sessionsKilled == 2 ? kAfterBoth : kBetween) : kBeforeWrite];
        if (updated) {
            const int64_t updatesKilled = storedEventCount(home, "_au");
            const bool versionKept = storedDictionaryValue(home, "app_version") == seedVersion;
            EXPECT_FALSE(updatesKilled == 1 && !versionKept) << "an update stored before its dictionary" << said();
            ++updateSides[versionKept ? (updatesKilled == 1 ? kAfterBoth : kBetween) : kBeforeWrite];
        }

        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(home, paths.once), std::chrono::seconds(60)), 0)
            << "the next start failed" << said();
        EXPECT_EQ(storedEventCount(home, "_f"), 1) << said();
        EXPECT_EQ(storedEventCount(home, "_s"), 2) << "sessions begun, of two wanted" << said();
        EXPECT_EQ(storedDictionaryValue(home, "session_number"), std::optional<std::string>("2")) << said();
        EXPECT_EQ(storedEventCount(home, "_au"), updated ? 1 : 0) << said();
        EXPECT_EQ(storedEventCount(home, "_ou"), updated ? 1 : 0) << said();
    }

    bool everySideSeen() const {
        for (int side = 0; side < kSides; ++side) {
            if (sessionSides[side] == 0 || updateSides[side] == 0) return false;
        }
        return true;
    }

    TemporaryDataRoot root{"killed-later-start"};
    fs::path seedHome;
    std::string seedVersion;
    std::mt19937 random{killSeed()};
    std::array<int, kSides> sessionSides{}, updateSides{};
};

// A first start killed at a moment of its first second and a half, or as
// soon as its dictionary says its first session, or as soon as its first open
// is stored: the next start leaves the first open's engagement ("_e" at the
// first open's time) once, with one "_f" and one "_s".
class KilledFirstOpenEngagementTest : public testing::Test {
  protected:
    enum Aim { kRandom, kAtSession, kAtFirstOpen, kAims };

    // The first open's "_e": the one logged at its time (none while the
    // database does not exist yet).
    static int64_t firstOpenEngagements(const fs::path& home) {
        return std::max<int64_t>(0, storedCount(home,
                                                "SELECT count(*) FROM raw_events WHERE name = '_e' AND timestamp = "
                                                "(SELECT timestamp FROM raw_events WHERE name = '_f')"));
    }

    void runRound(int round) {
        const Aim aim = static_cast<Aim>(round % kAims);
        SCOPED_TRACE(testing::Message() << "aim " << aim);
        const FirstStartRound paths(root.path() / ("round-" + std::to_string(round)));
        const fs::path& home = paths.home;
        auto said = [&] { return paths.said(); };
        fs::create_directories(measurementFolder(home));
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        inotify_add_watch(watch, measurementFolder(home).c_str(), kDictionaryWrites);
        const pid_t start = spawnCalvaroInGroup(home, paths.waiting);
        ASSERT_GT(start, 0);
        bool aimed = true;
        if (aim == kRandom) {
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1500000)(random)));
        } else {
            aimed = false;
            const auto deadline = LaterStartClock::now() + std::chrono::seconds(60);
            while (!aimed && LaterStartClock::now() < deadline && waitpid(start, nullptr, WNOHANG) == 0) {
                pollfd ready{watch, POLLIN, 0};
                poll(&ready, 1, aim == kAtFirstOpen ? 2 : 50);
                char events[4096];
                while (read(watch, events, sizeof events) > 0) {
                }
                aimed = aim == kAtFirstOpen ? storedEventCount(home, "_f") >= 1
                                            : storedDictionaryValue(home, "session_number") == std::optional<std::string>("1");
            }
            kill(-start, SIGSTOP);
            if ((round / kAims) % 2 == 1) {
                kill(-start, SIGCONT);
                std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 5000)(random)));
            }
        }
        close(watch);
        kill(-start, SIGKILL);
        ASSERT_EQ(waitForCalvaro(start, std::chrono::seconds(30)), 128 + SIGKILL) << "the start ended before its kill"
                                                                                  << said();
        EXPECT_TRUE(aimed) << "the moment aimed at never came" << said();
        const bool firstOpenKilled = storedEventCount(home, "_f") == 1;
        EXPECT_EQ(firstOpenEngagements(home), firstOpenKilled ? 1 : 0) << "the first open stored apart from its engagement"
                                                                     << said();
        stored[firstOpenKilled] += 1;

        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(home, paths.once), std::chrono::seconds(60)), 0)
            << "the next start failed" << said();
        EXPECT_EQ(storedEventCount(home, "_f"), 1) << said();
        EXPECT_EQ(storedEventCount(home, "_s"), 1) << said();
        EXPECT_EQ(firstOpenEngagements(home), 1) << "the first open's engagement" << said();
    }

    TemporaryDataRoot root{"killed-first-open-engagement"};
    std::mt19937 random{killSeed()};
    std::array<int, 2> stored{};
};

TEST_F(KilledFirstOpenEngagementTest, TheNextStartLeavesTheFirstOpensEngagementOnce) {
    const auto began = LaterStartClock::now();
    const int rounds = killRounds(24);
    int done = 0;
    while (done < rounds && LaterStartClock::now() - began < kLaterStartBudget) {
        SCOPED_TRACE("round " + std::to_string(done));
        runRound(done);
        ++done;
        if (HasFailure()) break;
    }
    std::printf("%d first starts killed: %d before the first open was stored, %d after\n", done, stored[0], stored[1]);
    if (!HasFailure()) {
        EXPECT_TRUE(stored[0] > 0 && stored[1] > 0) << "a side of the first open's commit no kill came on";
    }
}

TEST_F(KilledLaterStartTest, TheNextStartLeavesOneSessionAndOneOfEachUpdate) {
    const auto began = LaterStartClock::now();
    const int least = killRounds(kLaterStartLeastRounds);
    int rounds = 0;
    while ((rounds < least || (!everySideSeen() && rounds < kLaterStartMostRounds)) &&
           LaterStartClock::now() - began < kLaterStartBudget) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        runRound(rounds);
        ++rounds;
        if (HasFailure()) break;
    }
    std::printf("%d later starts killed\n", rounds);
    for (int side = 0; side < kSides; ++side) {
        std::printf("  %-30s session %2d, update %2d\n", kSideNames[side], sessionSides[side], updateSides[side]);
    }
    if (!HasFailure()) {
        EXPECT_TRUE(everySideSeen()) << "a side of the writes no kill came on";
    }
}

}  // namespace
