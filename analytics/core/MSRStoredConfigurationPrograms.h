#pragma once

// The programs of an encoded measurement configuration, handled as they lie
// on the wire: a configuration whose program fails its load run is stored
// with the programs of the one it replaces, and the program in force is
// told from a stored one by its bytes, all without building either.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class MSRStoredConfigurationPrograms {
  public:
    // The configuration's program fields (each its key, its length and its
    // bytes), in order, as they lie in `encoded`; empty when it carries
    // none. nullopt when the bytes do not read as fields.
    static std::optional<std::string> programFields(std::span<const uint8_t> encoded);
    // `encoded` with its program fields replaced by `programFields` (as
    // programFields gives them), placed where their tag puts them in a
    // configuration encoded in tag order. nullopt when the bytes do not read
    // as fields.
    static std::optional<std::vector<uint8_t>> withProgramFields(std::span<const uint8_t> encoded,
                                                                 std::string_view programFields);
    // A digest of the first program's bytes; nullopt without programs or
    // when the bytes do not read as fields.
    static std::optional<uint64_t> firstProgramDigest(std::span<const uint8_t> encoded);
};
