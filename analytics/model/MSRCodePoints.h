#pragma once

#include <unicode/utf8.h>

#include <cstdint>
#include <string_view>

// Calls `visit(start, end, codePoint)` for each code point of the UTF-8 text
// (byte offsets; an ill-formed sequence comes as a negative code point) until
// it answers false. True when every code point was visited.
template <typename Visit>
bool MSRForEachCodePoint(std::string_view text, Visit&& visit) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (!visit(start, i, c)) return false;
    }
    return true;
}
