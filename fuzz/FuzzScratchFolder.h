#pragma once

// A folder of the target's own for the files it writes and reads back.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzz {

// Made on first use and removed at exit. Every write is fsynced: a folder in
// memory keeps the runs quick.
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path& folder = []() -> const std::filesystem::path& {
        char inMemory[] = "/dev/shm/calvaro-fuzz-XXXXXX";
        char onDisk[] = "/tmp/calvaro-fuzz-XXXXXX";
        const char* made = ::mkdtemp(inMemory);
        if (!made) made = ::mkdtemp(onDisk);
        if (!made) std::abort();
        static const std::filesystem::path path(made);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        });
        return path;
    }();
    return folder;
}

}  // namespace fuzz
