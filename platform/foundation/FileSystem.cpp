#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

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
    // A new file of its own, never one found there (nor a link's target).
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temp = path;
        temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
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

size_t FileSystem::removeLeftTemporaryFiles(const fs::path& path) {
    const std::string prefix = path.filename().string() + ".tmp-";
    std::error_code ec;
    size_t removed = 0;
    for (fs::directory_iterator entry(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec), end;
         !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        // "<pid>-<counter>", as writeAtomically names them.
        const std::string rest = name.substr(prefix.size());
        const size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || dash + 1 == rest.size() ||
            rest.find_first_not_of("0123456789-") != std::string::npos || rest.find('-', dash + 1) != std::string::npos)
            continue;
        const long long pid = std::strtoll(rest.substr(0, dash).c_str(), nullptr, 10);
        if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) continue;
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        if (entry->is_regular_file(ignored) && fs::remove(entry->path(), ignored)) ++removed;
    }
    return removed;
}

namespace {

// Creates `path` and its parents by name, as a folder given by the user may
// well be reached through links.
bool createByName(const fs::path& path, std::string* error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return true;
    // Parents first, so that each folder made here gets its mode.
    fs::path parent = path.parent_path();
    if (!parent.empty() && parent != path && !createByName(parent, error)) return false;
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

}  // namespace

bool FileSystem::createDirectories(const fs::path& path, std::string* error) {
    const fs::path root = home().lexically_normal();
    const fs::path inside = path.lexically_normal().lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") return createByName(path, error);
    if (!createByName(root, error)) return false;
    int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        setError(error, "cannot open " + root.string());
        return false;
    }
    fs::path walked = root;
    for (const fs::path& part : inside) {
        if (part.empty() || part == ".") continue;
        walked /= part;
        const bool made = ::mkdirat(folder, part.c_str(), 0700) == 0;
        if (!made && errno != EEXIST) {
            setError(error, "cannot create " + walked.string());
            ::close(folder);
            return false;
        }
        const int next = ::openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(folder);
        if (next < 0) {
            if (error)
                *error = walked.string() + " is not a folder (a link or a file stands there); move it away";
            return false;
        }
        if (made) ::fchmod(next, 0700);
        folder = next;
    }
    ::close(folder);
    return true;
}

bool FileSystem::isPrivateFolder(const fs::path& folder, std::string* error) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        setError(error, "cannot use " + folder.string());
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        if (error)
            *error = folder.string() + " belongs to another user; give a folder of your own with --home DIR";
        return false;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        if (error)
            *error = folder.string() + " can be written by other users; make it yours alone with: chmod 700 '" +
                     folder.string() + "'";
        return false;
    }
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

// The copies set aside of `file`: "<file>.damaged" (number 0) and
// "<file>.damaged-<n>", by number.
std::vector<std::pair<long, fs::path>> asideCopies(const fs::path& file) {
    std::vector<std::pair<long, fs::path>> copies;
    const std::string prefix = file.filename().string() + ".damaged";
    std::error_code ec;
    for (fs::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = name.substr(prefix.size());
        if (rest.empty()) {
            copies.emplace_back(0, it->path());
        } else if (rest.size() > 1 && rest.size() < 12 && rest[0] == '-' &&
                   rest.find_first_not_of("0123456789", 1) == std::string::npos) {
            copies.emplace_back(std::stol(rest.substr(1)), it->path());
        }
    }
    std::sort(copies.begin(), copies.end());
    return copies;
}

// The name of a new copy: past the newest, so that the oldest is the one
// with the least number.
fs::path freeAsideName(const fs::path& file) {
    const auto copies = asideCopies(file);
    fs::path aside = file;
    aside += copies.empty() ? std::string(".damaged") : ".damaged-" + std::to_string(copies.back().first + 1);
    return aside;
}

// A file that keeps being damaged must not fill the disk with copies: the
// oldest beyond the newest few go.
void removeOldAsideCopies(const fs::path& file) {
    const auto copies = asideCopies(file);
    std::error_code ec;
    for (size_t i = 0; i + FileSystem::kMaxAsideCopies < copies.size(); ++i) fs::remove(copies[i].second, ec);
}

}  // namespace

std::optional<fs::path> FileSystem::setAside(const fs::path& file) {
    fs::path aside = freeAsideName(file);
    std::error_code ec;
    fs::rename(file, aside, ec);
    if (ec) return std::nullopt;
    removeOldAsideCopies(file);
    return aside;
}

std::optional<fs::path> FileSystem::keepAsideInPlace(const fs::path& file) {
    fs::path aside = freeAsideName(file);
    std::error_code ec;
    fs::create_hard_link(file, aside, ec);
    if (ec) return setAside(file);
    removeOldAsideCopies(file);
    return aside;
}

std::optional<fs::path> FileSystem::keepAside(const fs::path& file, std::string_view bytes) {
    fs::path aside = freeAsideName(file);
    if (!writeAtomically(aside, bytes)) return std::nullopt;
    removeOldAsideCopies(file);
    return aside;
}

namespace {

// The regular file at `path`, never through a link, up to `limit` bytes: its
// head when `whole` is false, else all of it or nothing when it is longer.
bool readRegularFile(const fs::path& path, std::string& contents, size_t limit, bool whole) {
    // Without O_NONBLOCK, opening a pipe would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (whole && static_cast<uint64_t>(status.st_size) > limit)) {
        ::close(fd);
        return false;
    }
    std::string bytes;
    bytes.reserve(std::min(limit, static_cast<size_t>(status.st_size)));
    char buffer[64 * 1024];
    // A whole read goes on past the limit, to learn that the file grew.
    while (whole || bytes.size() < limit) {
        const ssize_t n =
            ::read(fd, buffer, whole ? sizeof buffer : std::min(sizeof buffer, limit - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (whole && bytes.size() + static_cast<size_t>(n) > limit)) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    contents = std::move(bytes);
    return true;
}

}  // namespace

bool FileSystem::readFileHead(const fs::path& path, std::string& contents, size_t limit) {
    return readRegularFile(path, contents, limit, false);
}

bool FileSystem::readFile(const fs::path& path, std::string& contents, size_t limit) {
    return readRegularFile(path, contents, limit, true);
}

}  // namespace foundation
