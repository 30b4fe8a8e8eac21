#pragma once
// Names that all share one value of libstdc++'s std::hash for strings (the
// murmur-based _Hash_bytes with its fixed seed), which the interpreter's
// tables once hashed texts with. Its eight-byte steps are invertible, so for
// any first half of a 16-byte name the second half that leads to a chosen
// hash is computed, and kept when it is printable. For tests that make
// tables compare every such name with every other.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace colliding_names {

inline constexpr uint64_t kMultiplier = (uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
inline constexpr uint64_t kSeed = 0xc70f6907;

inline uint64_t shiftMix(uint64_t v) { return v ^ (v >> 47); }

// The multiplier's inverse modulo 2^64 (Newton's steps double the bits).
inline uint64_t inverseMultiplier() {
    uint64_t inverse = kMultiplier;
    for (int i = 0; i < 6; ++i) inverse *= 2 - kMultiplier * inverse;
    return inverse;
}

inline uint64_t load(const char* bytes) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, 8);  // little-endian, as the hash reads it
    return word;
}

// The hash's state after the eight-byte blocks of a 16-byte text.
inline uint64_t stateAfter(uint64_t first, uint64_t second) {
    uint64_t hash = kSeed ^ (16 * kMultiplier);
    for (uint64_t block : {first, second}) {
        hash ^= shiftMix(block * kMultiplier) * kMultiplier;
        hash *= kMultiplier;
    }
    return hash;
}

// The hash of a 16-byte text, as std::hash<std::string_view> gives it.
inline uint64_t oldHash(const std::string& text) {
    uint64_t hash = stateAfter(load(text.data()), load(text.data() + 8));
    hash = shiftMix(hash) * kMultiplier;
    return shiftMix(hash);
}

// A byte a program's text may hold as it is in a name.
inline bool plain(unsigned char c) { return c >= 0x21 && c <= 0x7e && c != '"' && c != '\\' && c != '$'; }

// Whether every byte of `word` lies in 0x21..0x7e: a quick test before plain().
inline bool allGraphic(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
    // A byte below 0x21 borrows into its high bit once 0x21 is taken away;
    // one above 0x7e carries into it once 0x01 is added.
    return ((word | (word - 0x21 * kOnes) | (word + 0x01 * kOnes)) & kHigh) == 0;
}

// `count` distinct 16-byte printable names, all of one old hash (the same
// names for the same count on every run); about 25,000 a second on one core.
inline std::vector<std::string> sharingOneOldHash(size_t count) {
    const uint64_t inverse = inverseMultiplier();
    const char* const targetName = "collidingname000";
    const uint64_t target = stateAfter(load(targetName), load(targetName + 8)) * inverse;
    const uint64_t start = kSeed ^ (16 * kMultiplier);
    std::vector<std::string> names;
    names.reserve(count);
    for (uint64_t counter = 0; names.size() < count; ++counter) {
        // The first half: a letter from 'a' to 'p' for each nibble.
        uint64_t first = 0;
        for (int i = 0; i < 8; ++i) first |= (uint64_t{'a'} + ((counter >> (4 * i)) & 15)) << (8 * i);
        const uint64_t state = (start ^ (shiftMix(first * kMultiplier) * kMultiplier)) * kMultiplier;
        // The second half that takes this state to the target's.
        const uint64_t second = shiftMix((state ^ target) * inverse) * inverse;
        if (!allGraphic(second)) continue;
        char name[16];
        std::memcpy(name, &first, 8);
        std::memcpy(name + 8, &second, 8);
        bool printable = true;
        for (int i = 8; i < 16 && printable; ++i) printable = plain(static_cast<unsigned char>(name[i]));
        if (printable) names.emplace_back(name, 16);
    }
    return names;
}

}  // namespace colliding_names
