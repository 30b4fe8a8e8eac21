#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace foundation {

// One process at a time on a data root. Two processes writing the same
// databases and property lists would each overwrite what the other wrote, so
// whoever starts on a root takes an exclusive `flock` on "<root>/.calvaro.lock"
// before reading anything in it, and keeps it until the process ends (the
// kernel lets it go with the process, however it ends: a killed process
// leaves no stale lock behind).
class DataRootLock {
public:
    static constexpr const char* kFileName = ".calvaro.lock";

    struct Refusal {
        std::string message;            // names the root, and the holder when known
        std::optional<pid_t> holder;    // the process that holds the root
    };

    // Takes the root `root` (which must exist) for this process; taking a
    // root this process holds already succeeds. Never waits: when another
    // process holds it, the answer is a refusal that names that process, and
    // nothing in the root is touched.
    static std::optional<Refusal> acquire(const std::filesystem::path& root);

    // Whether this process holds `root`.
    static bool isHeld(const std::filesystem::path& root);
};

}  // namespace foundation
