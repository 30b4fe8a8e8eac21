// A prewarmed calvaro whose bundle declares scenes: the engine waits for the
// main scene's connection to start the session, and the launch connects the
// scene after the engine began to wait.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/MeasurementDatabase.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The bundle's resources, but for an Info.plist that declares scenes.
fs::path resourcesWithScenes(const fs::path& folder) {
    const fs::path source = calvaro::test::sourcePath("Calvaro/resources");
    fs::copy(source, folder, fs::copy_options::recursive);
    std::ifstream in(source / "Info.plist");
    std::stringstream plist;
    plist << in.rdbuf();
    std::string text = plist.str();
    const std::string manifest =
        "<key>UIApplicationSceneManifest</key><dict><key>UIApplicationSupportsMultipleScenes</key><false/></dict>";
    const auto at = text.rfind("</dict>");
    if (at != std::string::npos) text.insert(at, manifest);
    std::ofstream(folder / "Info.plist") << text;
    return folder;
}

struct SceneRun {
    int status = -1;
    std::string err;
};

// calvaro on `home` with `script`, `extra` added to its environment, ended
// as a group when it outlives a bound far above its need.
SceneRun runPrewarmable(const fs::path& dir, const fs::path& home, const fs::path& script,
                        const std::vector<std::string>& extra) {
    std::vector<std::string> words{CALVARO_EXECUTABLE, "--home", home.string(), "--script", script.string()};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e) variables.push_back(*e);
    variables.insert(variables.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    SceneRun run;
    if (failed) return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            run.err = "calvaro did not end within 120 s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream in(dir / "err.txt");
    std::stringstream err;
    err << in.rdbuf();
    run.err += err.str();
    return run;
}

struct StoredEvent {
    std::string name;
    double timestamp = 0;
};

// The stored events from row `after` on, in their order.
std::vector<StoredEvent> storedEventsAfter(const fs::path& home, int64_t after) {
    std::vector<StoredEvent> events;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(measurementDatabase(home).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, timestamp FROM raw_events WHERE rowid > ? ORDER BY rowid", -1,
                               &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(statement, 1, after);
            while (sqlite3_step(statement) == SQLITE_ROW)
                events.push_back({reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                                  sqlite3_column_double(statement, 1)});
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return events;
}

// Moves the end of the last engagement stored under `home` to 1970, so that
// the next start finds its session expired; false when no file holds it.
bool expireSession(const fs::path& home) {
    const std::string key = "<key>/zevure/measurement/last_engagement_end</key>";
    bool found = false;
    for (const auto& entry : fs::recursive_directory_iterator(home / "Library")) {
        if (entry.path().extension() != ".plist") continue;
        std::ifstream in(entry.path());
        std::stringstream read;
        read << in.rdbuf();
        std::string text = read.str();
        const auto at = text.find(key);
        if (at == std::string::npos) continue;
        const auto open = text.find('>', text.find('<', at + key.size()));
        const auto close = text.find("</", open);
        if (open == std::string::npos || close == std::string::npos) continue;
        text.replace(open + 1, close - open - 1, "1");
        std::ofstream(entry.path(), std::ios::trunc) << text;
        found = true;
    }
    return found;
}

std::string listed(const std::vector<StoredEvent>& events) {
    std::string text;
    for (const auto& event : events) text += event.name + "@" + std::to_string(event.timestamp) + " ";
    return text;
}

TEST(SceneWaitProcessTest, APrewarmedLaunchStartsItsSessionWhenTheSceneConnects) {
    TemporaryDataRoot root("scene-wait");
    const fs::path home = root.path() / "home";
    const fs::path resources = resourcesWithScenes(root.path() / "resources");
    const fs::path script = root.path() / "script.txt";
    std::ofstream(script) << "wait 0.3\n";
    const std::string bundle = "CALVARO_RESOURCES=" + resources.string();

    // The first open, without a prewarm, starts its session at once.
    const SceneRun first = runPrewarmable(root.path(), home, script, {bundle});
    ASSERT_EQ(first.status, 0) << first.err;
    const int64_t firstRows = storedCount(home, "SELECT MAX(rowid) FROM raw_events");
    ASSERT_GT(firstRows, 0) << first.err;

    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("prewarmed run " + std::to_string(run));
        const int64_t before = storedCount(home, "SELECT MAX(rowid) FROM raw_events");
        ASSERT_TRUE(expireSession(home)) << "no stored engagement";
        const SceneRun prewarmed = runPrewarmable(root.path(), home, script, {bundle, "ActivePrewarm=1"});
        ASSERT_EQ(prewarmed.status, 0) << prewarmed.err;
        // One session start, stamped with the engine's start as the wait
        // stamps it: before the screens the launch showed were seen. The
        // session reporter's own start would come after them.
        const auto events = storedEventsAfter(home, before);
        int starts = 0;
        double started = 0, firstScreen = 1e300;
        for (const auto& event : events) {
            if (event.name == "_s") ++starts, started = event.timestamp;
            if (event.name == "_vs") firstScreen = std::min(firstScreen, event.timestamp);
        }
        ASSERT_EQ(starts, 1) << listed(events) << prewarmed.err;
        EXPECT_LT(started, firstScreen) << "the session began by the session reporter, not the scene's wait: "
                                        << listed(events);
    }
}

}  // namespace
