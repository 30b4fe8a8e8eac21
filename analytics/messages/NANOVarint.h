#pragma once
// The base-128 varint of the wire form, shared by the message reader and writer and the
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

// Where the length-prefixed chunk starting at `at` (its length as a varint,
// then its bytes) ends; nullptr when the length is malformed or runs past
// `end`.
inline const uint8_t* NANOEncodedChunkEnd(const uint8_t* at, const uint8_t* end) {
    uint64_t length = 0;
    unsigned shift = 0;
    while (true) {
        if (at == end || shift > 63) return nullptr;
        const uint8_t next = *at++;
        length |= static_cast<uint64_t>(next & 0x7F) << shift;
        shift += 7;
        if ((next & 0x80) == 0) break;
    }
    if (length > static_cast<uint64_t>(end - at)) return nullptr;
    return at + length;
}
