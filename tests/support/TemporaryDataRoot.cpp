#include "tests/support/TemporaryDataRoot.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/foundation/FileSystem.h"

namespace fs = std::filesystem;

namespace {

void removeRoot(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
    // The keychain stand-in keeps its folder beside the data root.
    fs::remove_all(path.string() + ".keychain", ignored);
}

// The roots alive in this process. A death test's child ends with exit()
// while its fixture's root is still alive, and no destructor removes it:
// the process's end does. Roots made by another process (the parent of a
// forked child) are that process's to remove.
struct LiveRoots {
    std::mutex mutex;
    std::map<fs::path, pid_t> roots;
};

LiveRoots& liveRoots() {
    static LiveRoots* live = [] {
        auto* made = new LiveRoots;  // used by the exit handler, after static objects may be gone
        std::atexit([] {
            LiveRoots& all = liveRoots();
            std::lock_guard lock(all.mutex);
            for (const auto& [path, owner] : all.roots)
                if (owner == ::getpid()) removeRoot(path);
        });
        return made;
    }();
    return *live;
}

}  // namespace

TemporaryDataRoot::TemporaryDataRoot(std::string_view label) {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() / ("calvaro-" + std::string(label) + "-" + std::to_string(::getpid()) +
                                         "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::owner_all);
    LiveRoots& live = liveRoots();
    std::lock_guard lock(live.mutex);
    live.roots[path_] = ::getpid();
}

TemporaryDataRoot::~TemporaryDataRoot() {
    if (homeSet_) foundation::FileSystem::setHome(previousHome_);
    removeRoot(path_);
    LiveRoots& live = liveRoots();
    std::lock_guard lock(live.mutex);
    live.roots.erase(path_);
}

const fs::path& TemporaryDataRoot::useAsHome(const fs::path& relative) {
    home_ = relative.empty() ? path_ : path_ / relative;
    fs::create_directories(home_);
    if (!homeSet_) previousHome_ = foundation::FileSystem::home();
    homeSet_ = true;
    foundation::FileSystem::setHome(home_);
    return home_;
}
