#pragma once

// Queued rows another program could leave whose inflated bytes begin as a
// bundle's and then are none, each inflating to 63 MiB, about 64 KB stored:
// one field of a bundle (its platform, a text) or one it does not have,
// claiming 63 MiB, a few bytes more than the row holds; or 9,999 small
// events (more than the first 256 KiB) and then zeros. Each is built
// and compressed once per binary; tests copy it into the rows in SQL.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/security/Compression.h"

enum class BundleLookingShape { kOneField, kUnknownField, kSmallEventsThenZeros };

inline constexpr size_t kBundleLookingBytes = size_t{63} << 20;

// The gzip of the row's bytes, built on first use.
inline const std::vector<uint8_t>& bundleLookingRow(BundleLookingShape shape) {
    static std::map<BundleLookingShape, std::vector<uint8_t>> built;
    if (auto found = built.find(shape); found != built.end()) return found->second;
    auto withLength = [](std::vector<uint8_t> bytes, uint64_t length) {
        for (;; length >>= 7) {
            bytes.push_back(static_cast<uint8_t>((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
            if (length <= 0x7f) break;
        }
        return bytes;
    };
    std::vector<uint8_t> plain;
    switch (shape) {
        case BundleLookingShape::kOneField:
            plain = withLength({0x42}, kBundleLookingBytes);
            break;
        case BundleLookingShape::kUnknownField:
            // Field 1000, length-delimited.
            plain = withLength({0xc2, 0x3e}, kBundleLookingBytes);
            break;
        case BundleLookingShape::kSmallEventsThenZeros:
            for (int event = 0; event < 9'999; ++event) {
                plain.insert(plain.end(), {0x12, 0x19});  // field 2, the events, of 25 bytes
                plain.resize(plain.size() + 25, 0x2a);
            }
            break;
    }
    plain.resize(kBundleLookingBytes, 0);
    return built[shape] = *security::gzip(plain);
}

// What the first row a pass dropped as no bundle cost in inflated bytes, as
// each 12083 line of the console says; empty when a line says no figure.
inline std::vector<std::optional<uint64_t>> bundleLookingRowCosts(const std::filesystem::path& console) {
    std::vector<std::optional<uint64_t>> costs;
    std::ifstream in(console);
    const std::string prefix = "its first ";
    for (std::string line; std::getline(in, line);) {
        if (line.find("I-MSR012083") == std::string::npos) continue;
        const size_t at = line.find(prefix);
        costs.push_back(at == std::string::npos ? std::nullopt
                                                : std::optional<uint64_t>(std::stoull(line.substr(at + prefix.size()))));
    }
    return costs;
}
