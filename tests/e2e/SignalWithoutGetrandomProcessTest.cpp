// `calvaro` in a sandbox whose filter answers getrandom(2) with ENOSYS, as
// some containers do: SIGTERM still ends it in order (its script stopped,
// what it holds stored, its dictionary written), as it does with the call,
// and the identifiers it makes are drawn from the random device, not the
// zeros of a generator that never started.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

namespace fs = std::filesystem;

// Far above a start on any machine; only a hung child reaches them.
constexpr auto kUntilSnapshot = std::chrono::seconds(120);
constexpr auto kUntilEnd = std::chrono::seconds(60);

// A filter that answers getrandom with ENOSYS and lets every other call by.
std::vector<sock_filter> noGetrandomFilter() {
    return {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
}

// `calvaro --home HOME --script SCRIPT` in a process group of its own, under
// the filter when `filtered`; its outputs in out.txt and err.txt beside the
// script. Everything the child does between fork and exec is a system call.
pid_t spawnFiltered(const fs::path& home, const fs::path& script, bool filtered) {
    std::vector<std::string> words{CALVARO_EXECUTABLE, "--home", home.string(), "--script", script.string()};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string out = (script.parent_path() / "out.txt").string();
    const std::string err = (script.parent_path() / "err.txt").string();
    std::vector<sock_filter> program = noGetrandomFilter();
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (outFd < 0 || errFd < 0 || dup2(outFd, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0) _exit(126);
    if (filtered && (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0))
        _exit(125);
    execve(argv[0], argv.data(), environ);
    _exit(127);
}

TEST(SignalWithoutGetrandomProcess, SigtermEndsCalvaroInOrderWithOrWithoutTheCall) {
    const TemporaryDataRoot root("signal-without-getrandom");
    // The identifier every device would share if the bytes were all zero.
    const std::string zeroInstanceID = "00000000000040008000000000000000";
    std::vector<std::string> instanceIDs;
    for (const bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "without getrandom" : "with getrandom");
        const FirstStartRound paths(root.path() / (filtered ? "filtered" : "plain"));
        const fs::path script = paths.folder / "stopped.txt";
        std::ofstream(script) << "snapshot done\nwait 600\n";
        const pid_t pid = spawnFiltered(paths.home, script, filtered);
        ASSERT_GT(pid, 0);
        const auto giveUp = std::chrono::steady_clock::now() + kUntilSnapshot;
        bool shown = false;
        while (!(shown = firstStartFileText(paths.folder / "out.txt").find("=== snapshot 1: done ===") !=
                         std::string::npos) &&
               std::chrono::steady_clock::now() < giveUp && waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!shown) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            FAIL() << "no snapshot" << paths.said();
        }
        kill(pid, SIGTERM);
        const int status = waitForCalvaro(pid, kUntilEnd);
        const std::string err = firstStartFileText(paths.folder / "err.txt");
        EXPECT_EQ(status, 128 + SIGTERM) << paths.said();
        // The script player's own line: the signal reached the watcher, and
        // the application ended after the script, as at its last line.
        EXPECT_NE(err.find("line 2: stopped"), std::string::npos) << paths.said();
        EXPECT_EQ(err.find("the end took too long"), std::string::npos) << paths.said();
        const std::optional<std::string> id = storedDictionaryValue(paths.home, "app_instance_id");
        ASSERT_TRUE(id) << "the dictionary was not written" << paths.said();
        EXPECT_NE(*id, zeroInstanceID) << paths.said();
        instanceIDs.push_back(*id);
    }
    ASSERT_EQ(instanceIDs.size(), 2u);
    EXPECT_NE(instanceIDs[0], instanceIDs[1]);
}

}  // namespace
