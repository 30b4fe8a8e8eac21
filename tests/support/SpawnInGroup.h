#pragma once

// A child process in a process group of its own, so that it and whatever it
// starts are ended together (`kill(-pid, ...)`), its standard output and error
// written to files.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/web/GroupClock.h"

extern char** environ;

namespace calvaro::test {

// `words[0]` with the rest as its arguments; the error file is appended to
// with `appendErrors`, else begun afresh. -1 when it could not be started.
inline pid_t spawnInGroup(std::vector<std::string> words, const std::filesystem::path& out,
                          const std::filesystem::path& err, bool appendErrors = false) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | (appendErrors ? O_APPEND : O_TRUNC), 0600);
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

// The exit status of the group leader `pid` (128 + the signal for one ended
// by it) within `limit` of the group's own time (its wall clock less what
// its processes waited for a core: a crowded machine stretches the wait, not
// the child's work), and never more than GroupDeadline::kWallTimes as long by
// the wall clock; -1 when it ran on, and is then killed as a group.
inline int waitForGroup(pid_t pid, std::chrono::seconds limit) {
    web::GroupDeadline deadline(static_cast<double>(limit.count()), pid, false);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -1;
        if (deadline.passed()) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace calvaro::test
