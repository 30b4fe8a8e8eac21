#pragma once

// A nearly full disk for the processes a test starts, a run of one under it,
// and the damaged file such a start meets. A loop or tmpfs mount of a small size needs privileges
// a test does not have, so the full disk is a limit on the size of every file
// a process writes (RLIMIT_FSIZE, with SIGXFSZ ignored): past it a write fails
// as on a full disk.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/collector/MeasurementCollector.h"

// Every file a process started within its life may write holds at most
// `bytes`: a driver started meanwhile keeps the limit, and a write past it
// fails.
class FileSizeLimitScope {
  public:
    explicit FileSizeLimitScope(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimitScope() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimitScope(const FileSizeLimitScope&) = delete;
    FileSizeLimitScope& operator=(const FileSizeLimitScope&) = delete;

  private:
    rlimit saved_{};
    sighandler_t previous_ = SIG_DFL;
};

// The driver's numbered events from `first` to first + count - 1.
inline auto numberedDriverEvents(int64_t first, int64_t count) {
    return [first, count](const tools::CollectedEvent& event) {
        const auto n = event.intParam("n");
        return event.name == "e2e_event" && n && *n >= first && *n < first + count;
    };
}

// Everything of the database at `file` into its main file, then receipts
// committed one at a time into a log that is kept, and its first frame's page
// damaged: SQLite would read none of them, so the next start finds the file
// damaged before it writes a byte, sets it aside and salvages it (its main
// file readable as it is).
inline void damageTheLogOfReceipts(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    std::vector<std::string> steps{"PRAGMA wal_checkpoint(TRUNCATE)", "PRAGMA wal_autocheckpoint=0"};
    for (int receipt = 1; receipt <= 3; ++receipt)
        steps.push_back("INSERT INTO purchase_transactions VALUES ('kept-" + std::to_string(receipt) + "')");
    for (const std::string& step : steps)
        ASSERT_EQ(sqlite3_exec(db, step.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << step;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db);
    std::fstream log(file.string() + "-wal", std::ios::in | std::ios::out | std::ios::binary);
    log.seekp(32 + 24 + 1000);
    log.write(std::string(32, '\x3c').data(), 32);
}

// What a run under a file limit came to: its exit status, and its standard
// output and error together.
struct LimitedRun {
    int status = -1;
    std::string output;
};

// Runs `program` with `arguments`, every file it writes limited to `bytes`
// (RLIM_INFINITY: no limit), its standard input empty and its output read
// through a pipe (a file would be held to the limit too). In its own process
// group, ended as a group past `timeoutSeconds`.
inline LimitedRun runWithFileLimit(const std::string& program, std::vector<std::string> arguments, rlim_t bytes,
                                   double timeoutSeconds) {
    LimitedRun run;
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return run;
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& word : arguments) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int empty = open("/dev/null", O_RDONLY);
        dup2(empty, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        if (bytes != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    pollfd readable{output[0], POLLIN, 0};
    while (pid > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(-pid, SIGKILL);
            run.output += "\n(the run did not end in time)\n";
            break;
        }
        if (poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
    }
    close(output[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}
