#include "tests/support/TemporaryDataRoot.h"

#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/foundation/FileSystem.h"

namespace fs = std::filesystem;

TemporaryDataRoot::TemporaryDataRoot(std::string_view label) {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() / ("calvaro-" + std::string(label) + "-" + std::to_string(::getpid()) +
                                         "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
    fs::permissions(path_, fs::perms::owner_all);
}

TemporaryDataRoot::~TemporaryDataRoot() {
    if (homeSet_) foundation::FileSystem::setHome(previousHome_);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    // The keychain stand-in keeps its folder beside the data root.
    fs::remove_all(path_.string() + ".keychain", ignored);
}

const fs::path& TemporaryDataRoot::useAsHome(const fs::path& relative) {
    home_ = relative.empty() ? path_ : path_ / relative;
    fs::create_directories(home_);
    if (!homeSet_) previousHome_ = foundation::FileSystem::home();
    homeSet_ = true;
    foundation::FileSystem::setHome(home_);
    return home_;
}
