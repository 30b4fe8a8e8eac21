// A first start of `calvaro` killed with SIGKILL when its measurement
// dictionary already holds the session it began, and its database may not yet
// hold that session's "_s": the next start (within the session's time) begins
// that session again, so the data root ends with exactly one "_s", whether the
// kill came before the event's commit or after it.
//
// The moment is found on any machine: the test is told of every write of the
// dictionary (inotify), stops the first start's process group at once when
// the dictionary says session 1, looks at the database while it is stopped,
// and kills it there, or, every other round, lets it go on for up to 5 ms
// first. Rounds go on until a few kills came before the commit.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/support/TemporaryDataRoot.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SessionKillClock = std::chrono::steady_clock;

// Rounds stop once this many kills came before the "_s" commit, or at the
// round or time budget; every round started is checked.
constexpr int kSessionKillsWanted = 4;
constexpr int kSessionKillRounds = 40;
constexpr auto kSessionKillBudget = std::chrono::seconds(300);
constexpr const char* kDictionaryFile = "app.calvaro.analytics.measurement.plist";

std::string sessionKillFileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The session number the dictionary on disk keeps; nothing before it has one.
std::optional<std::string> keptSessionNumber(const fs::path& home) {
    const std::string text = sessionKillFileText(measurementFolder(home) / kDictionaryFile);
    const std::string key = "<key>/zevure/measurement/session_number</key>";
    const size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t open = text.find('>', text.find('<', at + key.size()));
    const size_t close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

int64_t sessionKillEventCount(const fs::path& home, const std::string& name) {
    return storedCount(home, "SELECT count(*) FROM raw_events WHERE name = '" + name + "'");
}

// `calvaro --home HOME --script SCRIPT` in a process group of its own, its
// outputs in files beside the script.
pid_t spawnCalvaroForSessionKill(const fs::path& home, const fs::path& script) {
    std::vector<std::string> words{CALVARO_EXECUTABLE, "--home", home.string(), "--script", script.string()};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const fs::path folder = script.parent_path();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (folder / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (folder / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

// The exit status (128 + the signal for one ended by it) within `limit`;
// -1 when it ran on, and is then killed as a group.
int waitForSessionKillChild(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = SessionKillClock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -1;
        if (SessionKillClock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

class KilledSessionStartTest : public testing::Test {
  protected:
    // One first start, stopped and killed as soon as its dictionary keeps
    // session 1; then the next start, to its end. Whether the kill came
    // before the "_s" was committed.
    bool runRound(int round) {
        const fs::path folder = root.path() / ("round-" + std::to_string(round));
        const fs::path home = folder / "home";
        fs::create_directories(home / "Library/Preferences");
        // The folder is there before the start, so that its writes can be watched from the first.
        fs::create_directories(measurementFolder(home));
        fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist") << kSettledPreferences;
        const fs::path waiting = folder / "waiting.txt";
        std::ofstream(waiting) << "wait 600\n";
        const fs::path once = folder / "once.txt";
        std::ofstream(once) << "snapshot a\n";
        auto said = [&] { return "\n" + folder.string() + "/err.txt:\n" + sessionKillFileText(folder / "err.txt"); };

        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(watch, 0);
        if (watch < 0) return false;
        inotify_add_watch(watch, measurementFolder(home).c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
        const pid_t first = spawnCalvaroForSessionKill(home, waiting);
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
            if (keptSessionNumber(home) == std::optional<std::string>("1")) {
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
        EXPECT_EQ(waitForSessionKillChild(first, std::chrono::seconds(30)), 128 + SIGKILL)
            << "the first start ended before its kill" << said();
        EXPECT_TRUE(kept) << "the dictionary never kept the first session" << said();
        if (!kept) return false;
        const int64_t storedWhenKilled = sessionKillEventCount(home, "_s");
        EXPECT_EQ(keptSessionNumber(home), std::optional<std::string>("1")) << said();

        EXPECT_EQ(waitForSessionKillChild(spawnCalvaroForSessionKill(home, once), std::chrono::seconds(60)), 0)
            << "the next start failed" << said();
        EXPECT_EQ(sessionKillEventCount(home, "_f"), 1) << said();
        EXPECT_EQ(sessionKillEventCount(home, "_s"), 1)
            << (storedWhenKilled == 0 ? "killed before the session's commit" : "killed after the session's commit")
            << said();
        EXPECT_EQ(keptSessionNumber(home), std::optional<std::string>("1")) << said();
        return storedWhenKilled == 0;
    }

    TemporaryDataRoot root{"killed-session-start"};
    std::mt19937 random{std::random_device{}()};
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
