// A first start of `calvaro` killed with SIGKILL at a random moment leaves a
// data root that the next start takes up as the same installation: once the
// database holds the first open, the measurement dictionary holds the app
// instance id and the first-open time, and the session the first open began.
// So the next start keeps the id, stores no second "_f" and, within the
// session's time, ends with exactly one session ("_s"): a session the
// dictionary kept but whose event the kill took is begun again.
//
// Half the rounds kill within the first 1.5 s of the start, wherever the
// start is by then; the other half within a second after the first open was
// stored, wherever the start is by then on this machine, so that kills land
// between the first open and the dictionary's coalesced write at any speed.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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
using FirstStartClock = std::chrono::steady_clock;

constexpr int kFirstStartRounds = 30;
// Rounds stop being started past this; every round started is checked.
constexpr auto kFirstStartBudget = std::chrono::seconds(300);

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text of the value stored under the dictionary key `suffix`, as the
// property-list file on disk says it; nothing when the file or key is missing.
std::optional<std::string> storedDictionaryValue(const fs::path& home, const std::string& suffix) {
    const std::string text = fileText(measurementFolder(home) / "app.calvaro.analytics.measurement.plist");
    const std::string key = "<key>/zevure/measurement/" + suffix + "</key>";
    const size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t open = text.find('>', text.find('<', at + key.size()));
    const size_t close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

// `calvaro --home HOME --script SCRIPT` in a process group of its own, its
// outputs in files beside the script.
pid_t spawnCalvaroInGroup(const fs::path& home, const fs::path& script) {
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
int waitForCalvaro(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = FirstStartClock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -1;
        if (FirstStartClock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int64_t storedEventCount(const fs::path& home, const std::string& name) {
    return storedCount(home, "SELECT count(*) FROM raw_events WHERE name = '" + name + "'");
}

class KilledFirstStartTest : public testing::Test {
  protected:
    // One first start on a fresh data root, killed `afterFirstOpen` within a
    // second after its first open was stored, else within 1.5 s of its start;
    // then the next start, to its end.
    void runRound(int round, bool afterFirstOpen) {
        const fs::path folder = root.path() / ("round-" + std::to_string(round));
        const fs::path home = folder / "home";
        fs::create_directories(home / "Library/Preferences");
        std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist") << kSettledPreferences;
        const fs::path waiting = folder / "waiting.txt";
        std::ofstream(waiting) << "wait 600\n";
        const fs::path once = folder / "once.txt";
        std::ofstream(once) << "snapshot a\n";
        auto said = [&] { return "\n" + folder.string() + "/err.txt:\n" + fileText(folder / "err.txt"); };

        const pid_t first = spawnCalvaroInGroup(home, waiting);
        ASSERT_GT(first, 0);
        auto killMoment = FirstStartClock::now();
        if (afterFirstOpen) {
            // Not waiting for work to finish: this finds where the kill's
            // random span begins.
            const auto deadline = killMoment + std::chrono::seconds(60);
            while (storedEventCount(home, "_f") < 1 && FirstStartClock::now() < deadline &&
                   waitpid(first, nullptr, WNOHANG) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            killMoment = FirstStartClock::now();
            killMoment += std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1000000)(random));
        } else {
            killMoment += std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, 1500000)(random));
        }
        std::this_thread::sleep_until(killMoment);
        kill(-first, SIGKILL);
        ASSERT_EQ(waitForCalvaro(first, std::chrono::seconds(30)), 128 + SIGKILL)
            << "the first start ended before its kill" << said();
        if (afterFirstOpen) {
            ASSERT_EQ(storedEventCount(home, "_f"), 1) << "the first open was never stored" << said();
        }
        const bool firstOpenStored = storedEventCount(home, "_f") > 0;
        const auto killedID = storedDictionaryValue(home, "app_instance_id");
        const auto killedFirstOpenTime = storedDictionaryValue(home, "first_open_timestamp_ms");
        if (firstOpenStored) {
            EXPECT_TRUE(killedID) << "the first open is stored, its app instance id is not" << said();
            EXPECT_TRUE(killedFirstOpenTime) << "the first open is stored, its time is not" << said();
        }

        ASSERT_EQ(waitForCalvaro(spawnCalvaroInGroup(home, once), std::chrono::seconds(60)), 0)
            << "the next start failed" << said();
        const auto nextID = storedDictionaryValue(home, "app_instance_id");
        ASSERT_TRUE(nextID) << said();
        if (killedID) {
            EXPECT_EQ(*killedID, *nextID) << "the next start made a new app instance id" << said();
        }
        if (killedFirstOpenTime) {
            EXPECT_EQ(storedDictionaryValue(home, "first_open_timestamp_ms"), killedFirstOpenTime) << said();
        }
        EXPECT_TRUE(storedDictionaryValue(home, "first_open_timestamp_ms")) << said();
        EXPECT_EQ(storedEventCount(home, "_f"), 1) << said();
        // One session, whether the kill came before the first session was
        // kept, between its keeping and its event's commit, or after.
        EXPECT_EQ(storedEventCount(home, "_s"), 1) << "sessions begun, of one wanted" << said();
        firstOpensKilled += firstOpenStored;
    }

    TemporaryDataRoot root{"killed-first-start"};
    std::mt19937 random{std::random_device{}()};
    int firstOpensKilled = 0;
};

TEST_F(KilledFirstStartTest, TheNextStartKeepsTheInstallationAndItsSession) {
    const auto began = FirstStartClock::now();
    int rounds = 0;
    while (rounds < kFirstStartRounds && FirstStartClock::now() - began < kFirstStartBudget) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        runRound(rounds, rounds % 2 == 1);
        ++rounds;
        if (HasFailure()) break;
    }
    std::printf("%d first starts killed, %d of them after their first open was stored\n", rounds,
                firstOpensKilled);
    EXPECT_GE(firstOpensKilled, rounds / 2);
}

}  // namespace
