#pragma once

// The bytes of binary property lists put together by hand, for files no
// writer would make: shared objects, claimed counts, deep nesting.

#include <cstdint>
#include <string>
#include <vector>

// An object's marker with its length: in the low nibble, or an integer after
// 0xF.
inline std::string binaryPropertyListMarker(uint8_t kind, uint64_t length) {
    if (length < 15) return std::string(1, static_cast<char>((kind << 4) | length));
    std::string out(1, static_cast<char>((kind << 4) | 0xF));
    out += static_cast<char>(0x13);
    for (int b = 7; b >= 0; --b) out += static_cast<char>((length >> (8 * b)) & 0xFF);
    return out;
}

// References to objects, `refSize` bytes each.
inline std::string binaryPropertyListRefs(const std::vector<uint64_t>& refs, int refSize) {
    std::string out;
    for (uint64_t ref : refs)
        for (int b = refSize - 1; b >= 0; --b) out += static_cast<char>((ref >> (8 * b)) & 0xFF);
    return out;
}

// A file of the given objects (each its encoded bytes) with 4-byte offsets
// and references of `refSize` bytes; the top object is 0. A `claimedCount`
// other than 0 is the count the trailer claims, the table padded with the
// first object's offset.
inline std::string binaryPropertyListFile(const std::vector<std::string>& objects, int refSize,
                                          uint64_t claimedCount = 0) {
    std::string file = "bplist00";
    std::vector<uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(file.size());
        file += object;
    }
    const uint64_t table = file.size();
    const uint64_t count = claimedCount ? claimedCount : objects.size();
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t offset = i < offsets.size() ? offsets[i] : offsets[0];
        for (int b = 3; b >= 0; --b) file += static_cast<char>((offset >> (8 * b)) & 0xFF);
    }
    std::string trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = static_cast<char>(refSize);
    for (int b = 0; b < 8; ++b) {
        trailer[8 + b] = static_cast<char>((count >> (8 * (7 - b))) & 0xFF);
        trailer[24 + b] = static_cast<char>((table >> (8 * (7 - b))) & 0xFF);
    }
    return file + trailer;
}
