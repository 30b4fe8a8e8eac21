#pragma once

// Children that stop themselves after each file they put in place in one
// folder (tests/e2e/stops): a test sees every write of that folder's files
// with nothing run past it, however slow or crowded the machine, looks at
// the files, and kills the child there or lets it go on.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/TestPaths.h"

// While it lives, children started (posix_spawn, fork and exec) load the
// library that stops them after each rename into `folder`.
class StopsAfterRenameInto {
  public:
    explicit StopsAfterRenameInto(const std::filesystem::path& folder) {
        const char* preloaded = std::getenv("LD_PRELOAD");
        if (preloaded) before_ = preloaded;
        const std::string library = CALVARO_STOP_AFTER_RENAME_LIBRARY;
        setenv("LD_PRELOAD", (before_ ? library + ":" + *before_ : library).c_str(), 1);
        setenv("CALVARO_STOP_AFTER_RENAME_INTO", folder.c_str(), 1);
    }
    ~StopsAfterRenameInto() {
        unsetenv("CALVARO_STOP_AFTER_RENAME_INTO");
        if (before_) {
            setenv("LD_PRELOAD", before_->c_str(), 1);
        } else {
            unsetenv("LD_PRELOAD");
        }
    }
    StopsAfterRenameInto(const StopsAfterRenameInto&) = delete;
    StopsAfterRenameInto& operator=(const StopsAfterRenameInto&) = delete;

  private:
    std::optional<std::string> before_;
};

// Whether `pid` has stopped since it was last seen to: it is then stopped
// until someone continues it (SIGCONT). Asks for stops only, so that its
// end is left to whoever reaps it.
inline bool stoppedAfterRename(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG) == 0 && info.si_pid == pid;
}
