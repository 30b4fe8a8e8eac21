#pragma once
// The base-128 varint of the wire form, shared by the message writer and the
// stored-event encoder.

#include <cstddef>
#include <cstdint>

inline size_t NANOVarintSize(uint64_t value) {
    size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

// Writes the varint at `out` and answers the byte after it.
inline uint8_t* NANOPutVarint(uint8_t* out, uint64_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<uint8_t>(value);
    return out;
}
