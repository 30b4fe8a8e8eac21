#pragma once

// One start of `calvaro` that solves an exercise (so the history, and with it
// the whole preferences file, is written) up to its snapshot, measured there
// and ended by a signal: what the tests of costly preferences files share.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/ProcessCpu.h"
#include "tests/support/TemporaryDataRoot.h"

// The bytes process `pid` has read so far through read calls (rchar: what
// it read of files, whatever the page cache held); -1 when unknown.
inline long long solvingStartReadBytes(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    while (std::getline(io, line))
        if (line.rfind("rchar:", 0) == 0) return std::stoll(line.substr(6));
    return -1;
}

// The most memory the process ever held (VmHWM), in kB; 0 when unknown.
inline long solvingStartPeakKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

struct SolvingStart {
    long peakKilobytes = 0;
    long long readBytes = -1;  // what it had read by then (solvingStartReadBytes)
    bool shown = false;    // the script's snapshot was written
    bool reached = false;  // what the start waited for after the first screen
    int status = -1;
    double seconds = 0;     // from the spawn to the snapshot
    double cpuSeconds = 0;  // the CPU time the process had used by the snapshot
};

// The start over `home`, its script and outputs in `folder`; given up after
// `bound`. `until`, when given, is what the start must reach after its first
// screen before its peak is read (a file read later in the start).
inline SolvingStart solveOnceAndStop(const std::filesystem::path& folder, const std::filesystem::path& home,
                                     std::chrono::seconds bound, const std::function<bool()>& until = {}) {
    SolvingStart run;
    const std::filesystem::path script = folder / "solve.txt", out = folder / "out.txt";
    std::ofstream(script) << "tap toolbarRemoveButton\ntap #aTextField\ntype 3\ntap bTextField\ntype 2\n"
                             "tap calculateButton\nsnapshot shown\nwait 600\n";
    std::filesystem::remove(out);
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = spawnCalvaroInGroup(home, script);
    if (pid <= 0) return run;
    auto running = [pid] {
        siginfo_t info{};
        return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    const auto deadline = began + bound;
    while (!(run.shown = firstStartFileText(out).find("=== snapshot 1: shown ===") != std::string::npos) &&
           std::chrono::steady_clock::now() < deadline && running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.cpuSeconds = std::chrono::duration<double>(cpuTimeOf(pid)).count();
    while (until && run.shown && !(run.reached = until()) && std::chrono::steady_clock::now() < deadline &&
           running())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    run.peakKilobytes = solvingStartPeakKilobytes(pid);
    run.readBytes = solvingStartReadBytes(pid);
    kill(-pid, SIGTERM);
    run.status = waitForCalvaro(pid, std::chrono::seconds(60));
    return run;
}

// Starts of Calvaro over one preferences file, in a home of their own.
class PreferencesFileStartTest : public testing::Test {
  protected:
    explicit PreferencesFileStartTest(std::string_view label) : root(label) {}
    std::filesystem::path home() const { return root.path() / "home"; }
    std::filesystem::path preferences() const { return home() / "Library/Preferences/org.calvaro.Calvaro.plist"; }
    std::string said() const { return "\n" + firstStartFileText(root.path() / "err.txt"); }

    // A fresh home whose preferences file is `file`.
    void freshHome(const std::string& file) {
        std::filesystem::remove_all(home());
        std::filesystem::create_directories(preferences().parent_path());
        std::filesystem::permissions(home(), std::filesystem::perms::owner_all);
        std::ofstream(preferences(), std::ios::binary | std::ios::trunc) << file;
    }

    TemporaryDataRoot root;
};
