#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace store {

// The application's receipt file: where it lives and its bytes. The store
// writes it; here tests and the `calvaro` options do.
class AppReceipt {
public:
    // The receipt's location: the override when one is set, else `bundleDefault`.
    static std::filesystem::path path(const std::filesystem::path& bundleDefault);
    static void setPathOverride(std::optional<std::filesystem::path> path);
    // Nothing when the file is absent or unreadable.
    static std::optional<std::vector<uint8_t>> read(const std::filesystem::path& path);
    static bool write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
};

}  // namespace store
