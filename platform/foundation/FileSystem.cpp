#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace foundation {
namespace fs = std::filesystem;

namespace {

std::mutex& homeMutex() {
    static std::mutex m;
    return m;
}

fs::path& configuredHome() {
    static fs::path home;
    return home;
}

fs::path defaultHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "calvaro";
    if (const char* user = std::getenv("HOME"); user && *user) return fs::path(user) / ".local/share/calvaro";
    return fs::temp_directory_path() / "calvaro";
}

void setError(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        ssize_t n = ::write(fd, contents.data(), contents.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        contents.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

fs::path FileSystem::home() {
    std::lock_guard lock(homeMutex());
    if (configuredHome().empty()) configuredHome() = defaultHome();
    return configuredHome();
}

void FileSystem::setHome(fs::path home) {
    std::lock_guard lock(homeMutex());
    configuredHome() = std::move(home);
}

fs::path FileSystem::libraryDirectory() {
    return home() / "Library";
}
fs::path FileSystem::preferencesDirectory() {
    return libraryDirectory() / "Preferences";
}
fs::path FileSystem::applicationSupportDirectory() {
    return libraryDirectory() / "Application Support";
}

bool FileSystem::writeAtomically(const fs::path& path, std::string_view contents, std::string* error) {
    static std::atomic<unsigned> counter{0};
    fs::path dir = path.parent_path();
    if (!dir.empty() && !createDirectories(dir, error)) return false;
    // A unique temporary name per process and call, so two writers of the
    // same file never share a temporary file.
    fs::path temp = path;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);

    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(error, "cannot create " + temp.string());
        return false;
    }
    // The umask could only take bits away; an explicit mode states the intent.
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    if (!ok) setError(error, "cannot write " + temp.string());
    if (::close(fd) != 0 && ok) {
        setError(error, "cannot close " + temp.string());
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        setError(error, "cannot rename to " + path.string());
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool FileSystem::createDirectories(const fs::path& path, std::string* error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return true;
    // Parents first, so that each folder made here gets its mode.
    fs::path parent = path.parent_path();
    if (!parent.empty() && parent != path && !createDirectories(parent, error)) return false;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        setError(error, "cannot create " + path.string());
        return false;
    }
    if (!fs::is_directory(path, ec)) {
        if (error) *error = "cannot create " + path.string() + ": not a folder";
        return false;
    }
    ::chmod(path.c_str(), 0700);
    return true;
}

bool FileSystem::restrictFile(const fs::path& path, std::string* error) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
    if (!S_ISREG(status.st_mode) || (status.st_mode & 0777) == 0600) return true;
    if (::chmod(path.c_str(), 0600) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

namespace {

// The first "<file>.damaged", "<file>.damaged-1"... that does not exist.
fs::path freeAsideName(const fs::path& file) {
    fs::path aside = file;
    aside += ".damaged";
    std::error_code ec;
    for (int n = 1; fs::exists(fs::symlink_status(aside, ec)); ++n) {
        aside = file;
        aside += ".damaged-" + std::to_string(n);
    }
    return aside;
}

}  // namespace

std::optional<fs::path> FileSystem::setAside(const fs::path& file) {
    fs::path aside = freeAsideName(file);
    std::error_code ec;
    fs::rename(file, aside, ec);
    if (ec) return std::nullopt;
    return aside;
}

std::optional<fs::path> FileSystem::keepAside(const fs::path& file, std::string_view bytes) {
    fs::path aside = freeAsideName(file);
    if (!writeAtomically(aside, bytes)) return std::nullopt;
    return aside;
}

bool FileSystem::readFile(const fs::path& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    contents = buffer.str();
    return true;
}

}  // namespace foundation
