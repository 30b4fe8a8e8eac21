#include "analytics/storage/MSRSalvageMark.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace {

// A copy's name: a file of the database's own folder.
bool isCopyName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

// Writes `bytes` to a new file at `path`, flushed to the disk and closed;
// false, with the cause, at the first step that fails.
bool writeSalvageMarkFile(const std::string& path, const std::string& bytes, std::string* failure) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *failure = std::string("open: ") + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t got = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            *failure = std::string("write: ") + (got < 0 ? std::strerror(errno) : "nothing written");
            ::close(fd);
            return false;
        }
        written += static_cast<size_t>(got);
    }
    if (::fsync(fd) != 0) {
        *failure = std::string("flush: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        *failure = std::string("close: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Flushes the renames made in `folder` to the disk; false, with the cause,
// when that cannot be done: until then the new mark may be lost with the
// power, and the file it names must not move.
bool flushSalvageMarkFolder(const std::filesystem::path& folder, std::string* failure) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *failure = std::string("open folder: ") + std::strerror(errno);
        return false;
    }
    if (::fsync(fd) != 0) {
        *failure = std::string("flush folder: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::optional<MSRSalvageMark> MSRSalvageMark::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(kMaxBytes, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    // A line the bound cut is no name.
    if (bytes.size() == kMaxBytes) bytes.erase(bytes.rfind('\n') == std::string::npos ? 0 : bytes.rfind('\n') + 1);

    std::istringstream lines(bytes);
    MSRSalvageMark mark;
    std::string first;
    if (!std::getline(lines, first) || !isCopyName(first)) return std::nullopt;
    mark.copies.push_back(first);
    std::string from;
    if (std::getline(lines, mark.table) && std::getline(lines, from) && !from.empty()) {
        errno = 0;
        char* end = nullptr;
        const long long rowID = std::strtoll(from.c_str(), &end, 10);
        if (end && *end == '\0' && errno == 0) mark.from = rowID;
    }
    for (std::string copy; std::getline(lines, copy);) {
        if (isCopyName(copy)) mark.append(copy);
    }
    return mark;
}

bool MSRSalvageMark::write(const std::string& path, std::string* failure) const {
    std::string unused;
    if (!failure) failure = &unused;
    if (copies.empty()) {
        *failure = "no copy to name";
        return false;
    }
    std::string bytes = copies.front() + "\n" + table + "\n";
    if (!table.empty()) bytes += std::to_string(from);
    bytes += "\n";
    for (size_t i = 1; i < copies.size(); ++i) bytes += copies[i] + "\n";
    const std::string writing = path + ".writing";
    std::error_code ec;
    if (!writeSalvageMarkFile(writing, bytes, failure)) {
        std::filesystem::remove(writing, ec);
        return false;
    }
    std::filesystem::rename(writing, path, ec);
    if (ec) {
        *failure = "rename: " + ec.message();
        std::filesystem::remove(writing, ec);
        return false;
    }
    return flushSalvageMarkFolder(std::filesystem::path(path).parent_path(), failure);
}

void MSRSalvageMark::append(const std::string& copy) {
    if (!names(copy)) copies.push_back(copy);
}

bool MSRSalvageMark::names(const std::string& copy) const {
    return std::find(copies.begin(), copies.end(), copy) != copies.end();
}

void MSRSalvageMark::dropFirst() {
    if (!copies.empty()) copies.erase(copies.begin());
    table.clear();
    from = std::numeric_limits<int64_t>::min();
}

void MSRSalvageMark::forgetMissingCopies(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path in = folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder);
    if (!copies.empty() && !std::filesystem::exists(in / copies.front(), ec)) dropFirst();
    std::erase_if(copies, [&](const std::string& copy) { return !std::filesystem::exists(in / copy, ec); });
}
