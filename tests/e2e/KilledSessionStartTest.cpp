// A first start of `calvaro` killed with SIGKILL when its measurement
// dictionary already holds the session it began, and its database may not yet
// hold that session's "_s": the next start (within the session's time) begins
// that session again, so the data root ends with exactly one "_s", whether the
// kill came before the event's commit or after it.
//
// The moment is found on any machine: the test is told of every write of the
// dictionary (inotify), stops the first start's process group at once when
// the dictionary says session 1, and kills it there, or, every other round,
// lets it go on for up to 5 ms first. The database after the kill tells on
// which side of the event's commit it came; rounds go on until a few kills
// came before it.
//
// The moments are drawn from a printed seed; CALVARO_KILL_SEED=<seed> replays them.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/KillSeed.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;
using SessionKillClock = std::chrono::steady_clock;

// Rounds stop once this many kills came before the "_s" commit, or at the
// round or time budget; every round started is checked.
constexpr int kSessionKillsWanted = 4;
constexpr int kSessionKillRounds = 40;
constexpr auto kSessionKillBudget = std::chrono::seconds(300);

class KilledSessionStartTest : public testing::Test {
  protected:
    // One first start, stopped and killed as soon as its dictionary keeps
    // session 1; then the next start, to its end. Whether the kill came
    // before the "_s" was committed.
    bool runRound(int round) {
        const FirstStartRound paths(root.path() / ("round-" + std::to_string(round)));
        const fs::path &home = paths.home, &waiting = paths.waiting, &once = paths.once;
        auto said = [&] { return paths.said(); };
        // The folder is there before the start, so that its writes can be watched from the first.
        fs::create_directories(measurementFolder(home));
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);

        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(watch, 0);
        if (watch < 0) return false;
        inotify_add_watch(watch, measurementFolder(home).c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
        const pid_t first = spawnCalvaroInGroup(home, waiting);
        EXPECT_GT(first, 0);
        if (first <= 0) {
            close(watch);
            return false;
        }
        bool kept = false;
        const auto deadline = SessionKillClock::now() + std::chrono::seconds(60);
        while (!kept && SessionKillClock::now() < deadline && waitpid(first, nullptr, WNOHANG) == 0) {
            pollfd ready{watch, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
            if (storedDictionaryValue(home, "session_number") == std::optional<std::string>("1")) {
                kill(-first, SIGSTOP);
                kept = true;
            }
        }
        close(watch);
        // Every other round lets the start go on for up to 5 ms before the
        // kill, so that kills land on both sides of the event's commit.
        if (kept && round % 2 == 1) {
            kill(-first, SIGCONT);
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 5000)(random)));
        }
        kill(-first, SIGKILL);
        EXPECT_EQ(waitForCalvaro(first, std::chrono::seconds(30)), 128 + SIGKILL)
            << "the first start ended before its kill" << said();
        EXPECT_TRUE(kept) << "the dictionary never kept the first session" << said();
        if (!kept) return false;
        const int64_t storedWhenKilled = storedEventCount(home, "_s");
        EXPECT_EQ(storedDictionaryValue(home, "session_number"), std::optional<std::string>("1")) << said();

        EXPECT_EQ(waitForCalvaro(spawnCalvaroInGroup(home, once), std::chrono::seconds(60)), 0)
            << "the next start failed" << said();
        EXPECT_EQ(storedEventCount(home, "_f"), 1) << said();
        EXPECT_EQ(storedEventCount(home, "_s"), 1)
            << (storedWhenKilled == 0 ? "killed before the session's commit" : "killed after the session's commit")
            << said();
        EXPECT_EQ(storedDictionaryValue(home, "session_number"), std::optional<std::string>("1")) << said();
        return storedWhenKilled == 0;
    }

    TemporaryDataRoot root{"killed-session-start"};
    std::mt19937 random{killSeed()};
};

TEST_F(KilledSessionStartTest, TheNextStartBeginsAnUnrecordedSessionOnce) {
    const auto began = SessionKillClock::now();
    int rounds = 0;
    int beforeCommit = 0;
    while (beforeCommit < kSessionKillsWanted && rounds < kSessionKillRounds &&
           SessionKillClock::now() - began < kSessionKillBudget) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        beforeCommit += runRound(rounds);
        ++rounds;
        if (HasFailure()) break;
    }
    std::printf("%d first starts killed with their session kept, %d of them before its \"_s\" was committed\n",
                rounds, beforeCommit);
    EXPECT_GE(beforeCommit, 1) << "no kill came before the commit";
}

}  // namespace
