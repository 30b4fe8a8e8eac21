#pragma once
// The in-memory form shared by all 42 messages: one cell per field index.
// A cell is absent (monostate) or holds the field's value; repeated fields
// always hold their (possibly empty) list. Every cell is owned by its info and
// never shared: copies are deep.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"

struct NANOMessageInfo;
using NANOMessageInfoPtr = std::unique_ptr<NANOMessageInfo>;

// Scalars (bool, enum, int32, uint32) are kept zero-extended from 32 bits,
// int64/uint64 as they are, float and double as their IEEE bits. Strings and
// bytes share the std::string form.
using NANOCell =
    std::variant<std::monostate, uint64_t, std::string, NANOMessageInfoPtr, std::vector<uint64_t>,
                 std::vector<std::string>, std::vector<NANOMessageInfoPtr>>;

struct NANOMessageInfo {
    const MSRPBMessageType* type = nullptr;
    std::vector<NANOCell> fields;
    // Encoded length of this message as an element of a repeated field, noted
    // by the sizing pass of a nanopb-driven encode and used by its writing
    // pass (the direct writer keeps its lengths aside instead).
    mutable size_t encodedSize = 0;
};

// Largest string or bytes field accepted while decoding.
inline constexpr size_t kNANOMaxDecodedFieldBytes = 1048576;
// Deepest nesting of messages accepted while decoding; a server message that
// nests deeper is refused rather than allowed to exhaust the stack.
inline constexpr int kNANOMaxNestingDepth = 64;

// An empty message of the type: every field absent, repeated fields empty.
NANOMessageInfoPtr NANOMessageInfoCreate(const MSRPBMessageType& type);
NANOMessageInfoPtr NANOMessageInfoCopy(const NANOMessageInfo& info);
// Same type and equal cells, nested messages compared deeply.
bool NANOMessageInfoEquals(const NANOMessageInfo& a, const NANOMessageInfo& b);
// Absent again; a repeated field stays present with no elements. False for an
// index outside the message.
bool NANOMessageInfoClearField(NANOMessageInfo& info, uint32_t index);

// Decodes into an empty info of the wanted type. False (and a log line) on
// malformed input, a string over kNANOMaxDecodedFieldBytes or nesting over
// kNANOMaxNestingDepth.
bool NANOMessageInfoDecode(NANOMessageInfo& info, const uint8_t* bytes, size_t length);
// The same decode driven through nanopb's own decoder: slower, kept as the
// reference that tests hold the direct reader to.
bool NANOMessageInfoDecodeWithNanopb(NANOMessageInfo& info, const uint8_t* bytes, size_t length);
// The wire encoding; empty for an empty message, nullopt when encoding fails.
std::optional<std::vector<uint8_t>> NANOMessageInfoEncode(const NANOMessageInfo& info);
// The same encoding driven through nanopb's own encoder: slower (nested
// messages are sized by encoding them), kept as the reference that tests
// hold the direct writer to.
std::optional<std::vector<uint8_t>> NANOMessageInfoEncodeWithNanopb(const NANOMessageInfo& info);
