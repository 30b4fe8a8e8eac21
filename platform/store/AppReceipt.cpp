#include "platform/store/AppReceipt.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace store {

namespace {

std::mutex overrideMutex;
std::optional<std::filesystem::path>& pathOverride() {
    static std::optional<std::filesystem::path> value;
    return value;
}

}  // namespace

std::filesystem::path AppReceipt::path(const std::filesystem::path& bundleDefault) {
    std::lock_guard<std::mutex> lock(overrideMutex);
    return pathOverride().value_or(bundleDefault);
}

void AppReceipt::setPathOverride(std::optional<std::filesystem::path> path) {
    std::lock_guard<std::mutex> lock(overrideMutex);
    pathOverride() = std::move(path);
}

std::optional<std::vector<uint8_t>> AppReceipt::read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool AppReceipt::write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace store
