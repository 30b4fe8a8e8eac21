#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
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
    std::error_code ec;
    fs::path dir = path.parent_path();
    if (!dir.empty()) {
        fs::create_directories(dir, ec);
        if (ec) {
            if (error) *error = "cannot create " + dir.string() + ": " + ec.message();
            return false;
        }
    }
    // A unique temporary name per process and call, so two writers of the
    // same file never share a temporary file.
    fs::path temp = path;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);

    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error, "cannot create " + temp.string());
        return false;
    }
    bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
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
