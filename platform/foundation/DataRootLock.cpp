#include "platform/foundation/DataRootLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace foundation {

namespace {

namespace fs = std::filesystem;

// Roots held by this process, by their canonical path; the descriptors stay
// open for the life of the process, which is what keeps the locks.
std::map<std::string, int>& heldRoots() {
    static std::map<std::string, int> roots;
    return roots;
}

std::mutex& heldMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string rootKey(const fs::path& root) {
    std::error_code ec;
    fs::path path = fs::weakly_canonical(root, ec);
    return (ec ? root : path).string();
}

// The process id the holder wrote into the lock file, when it reads as one.
std::optional<pid_t> holderOf(int fd) {
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got <= 0) return std::nullopt;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0) return std::nullopt;
    return static_cast<pid_t>(pid);
}

}  // namespace

std::optional<DataRootLock::Refusal> DataRootLock::acquire(const fs::path& root) {
    const std::string key = rootKey(root);
    std::lock_guard lock(heldMutex());
    if (heldRoots().count(key)) return std::nullopt;
    const std::string file = (fs::path(key) / kFileName).string();
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return Refusal{"cannot lock the data root " + key + " (" + std::strerror(errno) + ")", std::nullopt};
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int cause = errno;
        std::optional<pid_t> holder = cause == EWOULDBLOCK ? holderOf(fd) : std::nullopt;
        close(fd);
        if (cause != EWOULDBLOCK) {
            return Refusal{"cannot lock the data root " + key + " (" + std::strerror(cause) + ")", std::nullopt};
        }
        std::string message = "the data root " + key + " is in use by ";
        message += holder ? "process " + std::to_string(*holder) : std::string("another process");
        return Refusal{message + "; only one process may use a data root at a time", holder};
    }
    // The holder's id is only there to be named in a refusal: the lock
    // itself is the flock.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, pid.data(), pid.size(), 0);
    heldRoots()[key] = fd;
    return std::nullopt;
}

bool DataRootLock::isHeld(const fs::path& root) {
    std::lock_guard lock(heldMutex());
    return heldRoots().count(rootKey(root)) > 0;
}

}  // namespace foundation
