#pragma once

// What the kill tests of a first start share: `calvaro` spawned in a process
// group of its own, a bounded wait for it, and the measurement dictionary as
// the file on disk says it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/MeasurementDatabase.h"
#include "tests/e2e/SettledPreferences.h"
#include "tests/support/SpawnInGroup.h"
#include "tests/support/TestPaths.h"
#include "tools/collector/MeasurementCollector.h"

extern char** environ;

inline std::string firstStartFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A round's folder: a home with settled preferences, the script of a start
// that waits to be killed and that of one run to its end; the starts write
// their outputs beside them.
struct FirstStartRound {
    std::filesystem::path folder, home, waiting, once;

    explicit FirstStartRound(const std::filesystem::path& roundFolder)
        : folder(roundFolder), home(roundFolder / "home"), waiting(roundFolder / "waiting.txt"),
          once(roundFolder / "once.txt") {
        std::filesystem::create_directories(home / "Library/Preferences");
        std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist") << kSettledPreferences;
        std::ofstream(waiting) << "wait 600\n";
        std::ofstream(once) << "snapshot a\n";
    }
    // What the starts said on their error output, for a failure's message.
    std::string said() const { return "\n" + folder.string() + "/err.txt:\n" + firstStartFileText(folder / "err.txt"); }
};

// The measurement dictionary's file under `home`.
inline std::filesystem::path storedDictionaryFile(const std::filesystem::path& home) {
    return measurementFolder(home) / "app.calvaro.analytics.measurement.plist";
}

// The text of the value stored under the dictionary key `suffix`, as the
// property-list file on disk says it; nothing when the file or key is missing.
inline std::optional<std::string> storedDictionaryValue(const std::filesystem::path& home, const std::string& suffix) {
    const std::string text = firstStartFileText(storedDictionaryFile(home));
    const std::string key = "<key>/zevure/measurement/" + suffix + "</key>";
    const size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t open = text.find('>', text.find('<', at + key.size()));
    const size_t close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

// Replaces the text of the value stored under the key `suffix` by what
// `change` makes of it, as another program edits the file; false when the
// key is missing.
inline bool changeStoredDictionaryValue(const std::filesystem::path& home, const std::string& suffix,
                                        const std::function<std::string(const std::string&)>& change) {
    std::string text = firstStartFileText(storedDictionaryFile(home));
    const std::string key = "<key>/zevure/measurement/" + suffix + "</key>";
    const size_t at = text.find(key);
    if (at == std::string::npos) return false;
    const size_t open = text.find('>', text.find('<', at + key.size()));
    const size_t close = text.find("</", open);
    if (open == std::string::npos || close == std::string::npos) return false;
    text.replace(open + 1, close - open - 1, change(text.substr(open + 1, close - open - 1)));
    std::ofstream(storedDictionaryFile(home), std::ios::binary | std::ios::trunc) << text;
    return true;
}

// A copy of the data root `seed` (and of its keychain beside it) at `home`,
// for the owner only.
inline void copyDataRoot(const std::filesystem::path& seed, const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    fs::remove_all(home);
    fs::copy(seed, home, fs::copy_options::recursive);
    const fs::path keychain = seed.string() + ".keychain";
    if (fs::exists(keychain)) fs::copy(keychain, home.string() + ".keychain", fs::copy_options::recursive);
    fs::permissions(home, fs::perms::owner_all, fs::perm_options::replace);
}

// Stops the process group of `start` once `reached` holds, checked at each of
// the `watched` inotify events of `folder` (every 2 ms when none are); false
// when it never held within a minute or the start ended first.
inline bool stopCalvaroWhen(pid_t start, const std::filesystem::path& folder, const std::function<bool()>& reached,
                            uint32_t watched) {
    const int watch = watched == 0 ? -1 : inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watched != 0 && watch < 0) return false;
    if (watch >= 0) inotify_add_watch(watch, folder.c_str(), watched);
    bool stopped = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stopped && std::chrono::steady_clock::now() < deadline && waitpid(start, nullptr, WNOHANG) == 0) {
        if (watch >= 0) {
            pollfd ready{watch, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (reached()) {
            kill(-start, SIGSTOP);
            stopped = true;
        }
    }
    if (watch >= 0) close(watch);
    return stopped;
}

// `calvaro --home HOME --script SCRIPT [MORE...]` in a process group of its
// own, its outputs in files beside the script (out.txt, err.txt).
inline pid_t spawnCalvaroInGroup(const std::filesystem::path& home, const std::filesystem::path& script,
                                 const std::vector<std::string>& more = {}) {
    std::vector<std::string> words{CALVARO_EXECUTABLE, "--home", home.string(), "--script", script.string()};
    words.insert(words.end(), more.begin(), more.end());
    const std::filesystem::path folder = script.parent_path();
    return calvaro::test::spawnInGroup(std::move(words), folder / "out.txt", folder / "err.txt", true);
}

// The exit status (128 + the signal for one ended by it) within `limit` of
// the child's own time (see waitForGroup); -1 when it ran on, and is then
// killed as a group.
inline int waitForCalvaro(pid_t pid, std::chrono::seconds limit) { return calvaro::test::waitForGroup(pid, limit); }

// What one start under `paths` uploads to a collector of its own (in debug
// mode, a second after the newest event) once `settled` holds, an event was
// accepted and the database holds none left to upload, the start then ended
// by SIGTERM: the events accepted. Nothing when it did not get there within
// two minutes of its own time or did not end well.
inline std::optional<std::vector<tools::CollectedEvent>> uploadedByOneStart(const FirstStartRound& paths,
                                                                             const std::function<bool()>& settled,
                                                                             const std::vector<std::string>& more = {}) {
    tools::Collector collector;
    tools::MeasurementCollector measurement{collector};
    if (!collector.start()) return std::nullopt;
    setenv("CALVARO_MEASUREMENT_URL", collector.baseURL().c_str(), 1);
    std::vector<std::string> arguments{"-DEDIzuraroveDebugEnabled"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    const pid_t start = spawnCalvaroInGroup(paths.home, paths.waiting, arguments);
    unsetenv("CALVARO_MEASUREMENT_URL");
    if (start <= 0) return std::nullopt;
    bool uploaded = false;
    // Two minutes of the start's own time: a crowded core stretches the wait.
    web::GroupDeadline deadline(120, start, false);
    while (!uploaded && !deadline.passed() && waitpid(start, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uploaded = settled() && measurement.acceptedEventCount() > 0 &&
                   storedCount(paths.home, "SELECT (SELECT count(*) FROM raw_events) + "
                                           "(SELECT count(*) FROM queue)") == 0;
    }
    kill(-start, SIGTERM);
    const int status = waitForCalvaro(start, std::chrono::seconds(60));
    std::vector<tools::CollectedEvent> events = measurement.acceptedEvents();
    collector.stop();
    if (!uploaded || (status != 0 && status != 128 + SIGTERM)) return std::nullopt;
    return events;
}

// The raw events of `name` the database under `home` holds.
inline int64_t storedEventCount(const std::filesystem::path& home, const std::string& name) {
    return storedCount(home, "SELECT count(*) FROM raw_events WHERE name = '" + name + "'");
}
