// The hash key, seen from outside the process: two processes hash one text
// differently (a key made one constant, or drawn from anything the server
// could know, fails it); under a filter that answers getrandom with ENOSYS
// the key comes from the random device and programs run; with no device
// either, a program is refused with its own code and log line and the
// editor runs on. Each child is this binary again, run with one test and the
// mode in its environment; its output is printed when a row fails.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tests/core/MonitorHarness.h"
#include "tests/interpreter/InterpreterTestSupport.h"

extern char** environ;

namespace {

constexpr const char* kChildMode = "CALVARO_HASH_KEY_CHILD";
// Far above a child's work (a start and one small program), on any machine.
constexpr int kChildSeconds = 120;

struct ChildRun {
    int status = -1;
    std::string output;  // its stdout and stderr together
};

// Runs this binary's child test in `mode`, its output read to its end.
ChildRun runChild(const std::string& mode) {
    ChildRun run;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    // Its own process group, so that a child past its bound is ended whole.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        if (std::string(*entry).rfind(std::string(kChildMode) + "=", 0) != 0) environment.emplace_back(*entry);
    environment.push_back(std::string(kChildMode) + "=" + mode);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=HashKeyChild.Run";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        run.output = "posix_spawn failed";
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kChildSeconds);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting{pipeEnds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) == 0) {
            kill(-child, SIGKILL);
            run.output += "\n[the child passed its bound of " + std::to_string(kChildSeconds) + " s]";
            break;
        }
        const ssize_t got = read(pipeEnds[0], buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    waitpid(child, &run.status, 0);
    return run;
}

// The value of the child's line "name=value", empty when it printed none.
std::string reported(const ChildRun& run, const std::string& name) {
    const std::string key = "\n" + name + "=";
    const size_t at = ("\n" + run.output).find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() - 1;
    return run.output.substr(from, run.output.find('\n', from) - from);
}

bool exitedCleanly(const ChildRun& run) { return WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0; }

// Every later call of the system calls named answers with its errno: what
// a seccomp filter of a container or sandbox does.
bool denySystemCalls(const std::vector<std::pair<int, int>>& denied) {
    std::vector<sock_filter> program;
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (auto [call, error] : denied) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

const char* const kRulesTop = R"((let "n") (assign "n" (object "a" 1 "b" 2)))";
const char* const kRulesBody = R"((call $e "setParamValue" (array "seen" (get $n "b"))) (return 1))";

// The child: what its mode asks, with the answers printed as name=value.
TEST(HashKeyChild, Run) {
    const char* mode = std::getenv(kChildMode);
    if (!mode) GTEST_SKIP() << "runs only as the child of the HashKeyProcess rows";
    const std::string asked(mode);
    // The monitor is made before any filter, and captures what is logged.
    MonitorHarness monitor;
    if (asked == "no-getrandom") {
        ASSERT_TRUE(denySystemCalls({{SYS_getrandom, ENOSYS}}));
    } else if (asked == "no-random-at-all") {
        // The device is one that is not there: a filter on every open would
        // also stop the sanitizers' own reads at the end.
        ASSERT_TRUE(denySystemCalls({{SYS_getrandom, ENOSYS}}));
        MSRPText::HashKeySource source = MSRPText::HashKeySource::system();
        source.device = "/nonexistent/calvaro-random";
        MSRPText::setHashKeySourceForTesting(std::move(source));
    }
    std::printf("\nhash=%016llx\n", static_cast<unsigned long long>(MSRPText::hashOf("calvaro.analytics")));
    MSRPInterpreterEventEditing editing;
    MSRError error;
    const bool loaded = editing.loadProgram(callbackProgram(kRulesTop, kRulesBody), &error);
    std::printf("loaded=%d\nerror=%d\nreason=%s\n", loaded ? 1 : 0, static_cast<int>(error.code()),
                editing.failureReason().c_str());
    // The editor runs on either way.
    MSRError eventError;
    const bool edited = editing.handleEvent(MSRPEvent("e", 1, {{"p", int64_t{1}}}), &eventError);
    std::printf("edited=%d\n", edited ? 1 : 0);
    for (const std::string& line : monitor.takeLines()) std::printf("logged=%s\n", line.c_str());
    std::printf("done=1\n");
    std::fflush(stdout);
}

TEST(HashKeyProcess, TwoProcessesHashOneTextDifferently) {
    const ChildRun first = runChild("system");
    const ChildRun second = runChild("system");
    ASSERT_TRUE(exitedCleanly(first) && reported(first, "done") == "1") << first.output;
    ASSERT_TRUE(exitedCleanly(second) && reported(second, "done") == "1") << second.output;
    ASSERT_FALSE(reported(first, "hash").empty()) << first.output;
    EXPECT_NE(reported(first, "hash"), reported(second, "hash"))
        << "two processes hashed a text alike: their key is not drawn per process";
}

TEST(HashKeyProcess, WithoutGetrandomTheDeviceGivesTheKey) {
    const ChildRun first = runChild("no-getrandom");
    const ChildRun second = runChild("no-getrandom");
    for (const ChildRun* run : {&first, &second}) {
        ASSERT_TRUE(exitedCleanly(*run)) << "status " << run->status << "\n" << run->output;
        EXPECT_EQ(reported(*run, "loaded"), "1") << run->output;
        EXPECT_EQ(reported(*run, "edited"), "1") << run->output;
    }
    EXPECT_NE(reported(first, "hash"), reported(second, "hash")) << first.output << "\n" << second.output;
}

TEST(HashKeyProcess, WithoutAnyRandomBytesProgramsAreRefusedAndTheEditorRunsOn) {
    const ChildRun run = runChild("no-random-at-all");
    ASSERT_TRUE(exitedCleanly(run)) << "status " << run.status << "\n" << run.output;
    EXPECT_EQ(reported(run, "loaded"), "0") << run.output;
    EXPECT_EQ(reported(run, "error"), std::to_string(MSRPInterpreterEventEditing::kEditingErrorNoHashKey))
        << run.output;
    EXPECT_EQ(reported(run, "reason"), "no hash key") << run.output;
    EXPECT_EQ(reported(run, "edited"), "0") << run.output;
    EXPECT_NE(reported(run, "logged").find("refused"), std::string::npos) << run.output;
    EXPECT_EQ(reported(run, "done"), "1") << run.output;
}

}  // namespace
