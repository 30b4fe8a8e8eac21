// `calvaro` told to end while the analytics worker cannot run (the worker's
// thread stopped from outside, as by a long task the end cannot wait out),
// with the events of a solved exercise handed over behind it: the end lets
// the work go at its deadline, exits non-zero and says on standard error how
// many handed-over events it left behind.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// The threads of `pid` whose name is `name` (as the kernel keeps it: its
// first 15 bytes).
std::vector<pid_t> endLeftBehindThreadsNamed(pid_t pid, const std::string& name) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm == name.substr(0, 15)) found.push_back(static_cast<pid_t>(std::stol(task.path().filename())));
    }
    return found;
}

// Waits until `file` holds `text`, while `pid` runs; false after `bound`.
bool endLeftBehindWaitFor(const fs::path& file, const std::string& text, pid_t pid, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (firstStartFileText(file).find(text) == std::string::npos) {
        siginfo_t info{};
        if (std::chrono::steady_clock::now() > deadline ||
            waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(EndLeftBehindProcess, AnEndThatLeavesHandedOverEventsBehindSaysHowMany) {
    const TemporaryDataRoot root("end-left-behind");
    const FirstStartRound paths(root.path() / "round");
    const fs::path script = paths.folder / "solve.txt", out = paths.folder / "out.txt";
    // The pause after the first snapshot is where the worker is stopped: a
    // generous one, the test stops it as soon as it sees the snapshot and
    // the worker's thread.
    std::ofstream(script) << "snapshot ready\nwait 20\ntap toolbarRemoveButton\ntap #aTextField\ntype 3\n"
                             "tap bTextField\ntype 2\ntap calculateButton\nsnapshot solved\nwait 600\n";
    const pid_t pid = spawnCalvaroInGroup(paths.home, script);
    ASSERT_GT(pid, 0);
    if (!endLeftBehindWaitFor(out, "=== snapshot 1: ready ===", pid, std::chrono::seconds(120))) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        FAIL() << "never ready" << paths.said();
    }
    // The worker is stopped once the engine's start is done (its last line
    // said), not in the middle of it, which the first screen may wait on.
    if (!endLeftBehindWaitFor(paths.folder / "err.txt", "I-MSR023220", pid, std::chrono::seconds(120))) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        FAIL() << "the engine never started" << paths.said();
    }
    std::vector<pid_t> workers;
    for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         workers.size() != 1 && std::chrono::steady_clock::now() < giveUp;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        workers = endLeftBehindThreadsNamed(pid, "app.calvaro.analytics.measurement.worker");
    bool stopped = workers.size() == 1 && ptrace(PTRACE_SEIZE, workers[0], nullptr, nullptr) == 0 &&
                   ptrace(PTRACE_INTERRUPT, workers[0], nullptr, nullptr) == 0;
    int threadStatus = 0;
    stopped = stopped && waitpid(workers[0], &threadStatus, __WALL) == workers[0] && WIFSTOPPED(threadStatus);
    const bool solved = stopped && endLeftBehindWaitFor(out, "=== snapshot 2: solved ===", pid, std::chrono::seconds(120));
    kill(pid, SIGTERM);
    // The stopped thread is reaped here, its tracer, or the process's own
    // end would never be reported.
    int status = -1;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);;) {
        if (stopped) waitpid(workers[0], &threadStatus, __WALL | WNOHANG);
        int processStatus = 0;
        if (waitpid(pid, &processStatus, WNOHANG) == pid) {
            status = WIFEXITED(processStatus) ? WEXITSTATUS(processStatus) : 128 + WTERMSIG(processStatus);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            if (stopped) waitpid(workers[0], &threadStatus, __WALL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(stopped) << workers.size() << " workers" << paths.said();
    ASSERT_TRUE(solved) << paths.said();
    EXPECT_NE(status, 0) << paths.said();
    EXPECT_NE(status, -1) << paths.said();
    const std::string said = firstStartFileText(paths.folder / "err.txt");
    const std::string tail = " events handed over to analytics were left behind, not stored";
    const size_t at = said.find(tail);
    ASSERT_NE(at, std::string::npos) << paths.said();
    const size_t number = said.rfind(' ', at - 1) + 1;
    EXPECT_GE(std::stoll(said.substr(number, at - number)), 1) << paths.said();
}

}  // namespace
