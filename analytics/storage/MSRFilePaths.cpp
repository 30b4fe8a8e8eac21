#include "analytics/storage/MSRFilePaths.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "analytics/storage/MSRStorageLog.h"
#include "platform/foundation/FileSystem.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSDKRelativePath = "Zevure/Measurement";
// Backup tools of the data root skip every item that carries this attribute.
constexpr const char* kExcludedFromBackupAttribute = "user.calvaro.excluded_from_backup";

std::string withPlistExtension(const std::string& name) {
    return fs::path(name).extension() == ".plist" ? name : name + ".plist";
}

}  // namespace

std::string MSRSDKDirectoryPath() {
    fs::path support = foundation::FileSystem::applicationSupportDirectory();
    if (support.empty()) {
        MSRStorageLog(2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
        return "";
    }
    return (support / kSDKRelativePath).string();
}

std::string MSRPreferencesPlistPath(const std::string& suiteName) {
    if (suiteName.empty()) return "";
    fs::path library = foundation::FileSystem::libraryDirectory();
    if (library.empty()) {
        MSRStorageLog(2, 19000, "NSSearchPath for Library directory is empty");
        return "";
    }
    return (library / "Preferences" / (suiteName + ".plist")).string();
}

std::string MSRSDKFilePath(const std::string& fileName) {
    if (fileName.empty()) return "";
    std::string directory = MSRSDKDirectoryPath();
    if (directory.empty()) return "";
    return (fs::path(directory) / fileName).string();
}

std::string MSRSDKPlistPath(const std::string& name) {
    if (name.empty()) return "";
    return MSRSDKFilePath(withPlistExtension(name));
}

bool MSRExcludePathFromBackup(const std::string& path, MSRError* error) {
    std::error_code ec;
    if (path.empty() || !fs::exists(path, ec)) {
        MSRSetError(error, 4, "The file \"" + path + "\" couldn't be found.");
        return false;
    }
    if (setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0) != 0 && errno != ENOTSUP) {
        MSRSetError(error, 513,
                    std::string("Cannot mark file as excluded from backup: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool MSRIsPathExcludedFromBackup(const std::string& path) {
    char value = 0;
    return getxattr(path.c_str(), kExcludedFromBackupAttribute, &value, 1) == 1 && value == '1';
}

bool MSRDeleteFileAtPath(const std::string& path, MSRError* error) {
    if (path.empty()) {
        MSRSetError(error, 1, "Received empty path for deleting file");
        return false;
    }
    std::error_code ec;
    if (fs::remove_all(path, ec) == 0 || ec) {
        MSRSetError(error, 4, ec ? ec.message() : "The file \"" + path + "\" couldn't be found.");
        return false;
    }
    return true;
}

bool MSRCreateOwnerOnlyDirectories(const std::string& directory, MSRError* error) {
    if (directory.empty()) return true;
    std::string reason;
    if (foundation::FileSystem::createDirectories(directory, &reason)) return true;
    MSRSetError(error, 513, "Cannot create folder " + directory + ": " + reason);
    return false;
}

bool MSRCreateEngineDirectory(MSRError* error) {
    std::string directory = MSRSDKDirectoryPath();
    if (directory.empty() || !MSRCreateOwnerOnlyDirectories(directory, error)) return false;
    // Both folders of "Zevure/Measurement" are the engine's own.
    chmod(directory.c_str(), kMSROwnerOnlyDirectoryMode);
    chmod(fs::path(directory).parent_path().c_str(), kMSROwnerOnlyDirectoryMode);
    return true;
}

bool MSRRestrictFileToOwner(const std::string& path, MSRError* error) {
    std::string reason;
    if (foundation::FileSystem::restrictFile(path, &reason)) return true;
    MSRSetError(error, 513, "Cannot restrict access to " + path + ": " + reason);
    return false;
}

bool MSRClearImmutableFlag(const std::string& path, MSRError* error) {
    // Only an immutable file refuses writing with EPERM. Asking first keeps us
    // from opening a descriptor on a database that a connection of this
    // process holds: closing any descriptor of a file drops every POSIX lock
    // the process has on it, and SQLite's locking relies on those.
    if (access(path.c_str(), W_OK) == 0 || (errno != EPERM && errno != ENOENT)) return true;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        MSRSetError(error, 4, std::string("Cannot read file attributes: ") + std::strerror(errno));
        return false;
    }
    bool cleared = true;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        if (flags & FS_IMMUTABLE_FL) {
            flags &= ~FS_IMMUTABLE_FL;
            if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
                MSRSetError(error, 513, std::string("Cannot make file mutable: ") + std::strerror(errno));
                cleared = false;
            }
        }
    }
    // A file system without attribute flags has no immutable files either.
    close(fd);
    return cleared;
}

bool MSRMigrateLegacyPreferencesFile(const std::string& suiteName) {
    if (suiteName.empty()) return false;
    std::string legacyPath = MSRPreferencesPlistPath(suiteName);
    std::string newPath = MSRSDKPlistPath(suiteName);
    if (legacyPath.empty() || newPath.empty()) return false;

    // Our preferences have no per-application search list, so there is no
    // suite to take out of one: the file is all there is to move.
    std::error_code ec;
    if (!fs::exists(legacyPath, ec)) return true;
    if (fs::is_directory(legacyPath, ec)) return false;
    if (!fs::exists(newPath, ec)) {
        if (!MSRCreateEngineDirectory()) return false;
        fs::rename(legacyPath, newPath, ec);
        return !ec;
    }
    if (fs::is_directory(newPath, ec)) return false;
    return MSRDeleteFileAtPath(legacyPath, nullptr);
}
