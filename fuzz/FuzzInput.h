#pragma once

// Splits a fuzz input into the parts a target feeds to one decoder each.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::string_view text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The parts between `separator` bytes; always `count` of them (missing parts
// are empty, the last part keeps whatever follows).
inline std::vector<std::string> split(std::string_view input, char separator, size_t count) {
    std::vector<std::string> parts;
    while (parts.size() + 1 < count) {
        size_t at = input.find(separator);
        if (at == std::string_view::npos) break;
        parts.emplace_back(input.substr(0, at));
        input.remove_prefix(at + 1);
    }
    parts.emplace_back(input);
    parts.resize(count);
    return parts;
}

}  // namespace fuzz
