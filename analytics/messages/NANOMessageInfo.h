#pragma once
// The in-memory form shared by all 42 messages: one cell per field index.
// A cell is absent (monostate) or holds the field's value; repeated fields
// always hold their (possibly empty) list. Every cell is owned by its info and
// never shared: copies are deep.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analytics/messages/MSRPBMessageType.h"

struct NANOMessageInfo;
using NANOMessageInfoPtr = std::unique_ptr<NANOMessageInfo>;

// A repeated message field held as its elements' encodings, for lists that
// pass from storage to the wire untouched: each element is its length as a
// varint followed by its bytes, back to back, exactly as each follows the
// field's key on the wire. Equal when the bytes are (content equality of
// messages is NANOMessageInfoEquals's business).
struct NANOEncodedElements {
    std::string bytes;
    size_t count = 0;
    bool operator==(const NANOEncodedElements&) const = default;
};

// Scalars (bool, enum, int32, uint32) are kept zero-extended from 32 bits,
// int64/uint64 as they are, float and double as their IEEE bits. Strings and
// bytes share the std::string form. A repeated message field holds either
// its elements as trees or, when set or decoded that way, encoded.
using NANOCell =
    std::variant<std::monostate, uint64_t, std::string, NANOMessageInfoPtr, std::vector<uint64_t>,
                 std::vector<std::string>, std::vector<NANOMessageInfoPtr>, NANOEncodedElements>;

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

// Appends one element to the encoded form, given as its message's encoding.
void NANOEncodedElementsAppend(std::string& elements, const uint8_t* bytes, size_t length);
// The number of elements in an encoded form; nullopt when a length runs past
// the end.
std::optional<size_t> NANOEncodedElementsCount(std::string_view elements);
// Steps through an encoded form's elements in order.
class NANOEncodedElementsReader {
  public:
    explicit NANOEncodedElementsReader(std::string_view elements)
        : at_(reinterpret_cast<const uint8_t*>(elements.data())), end_(at_ + elements.size()) {}
    // The next element's encoding (without its length); false at the end, or
    // when a length runs past the end, which malformed() then tells.
    bool next(std::span<const uint8_t>& element);
    bool malformed() const { return malformed_; }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
    bool malformed_ = false;
};
// The elements as trees of `elementType`: an element that does not decode is
// logged and left out.
std::vector<NANOMessageInfoPtr> NANOEncodedElementsDecode(const NANOEncodedElements& elements,
                                                          const MSRPBMessageType& elementType);

// Decodes into an empty info of the wanted type. False (and a log line) on
// malformed input, a string over kNANOMaxDecodedFieldBytes or nesting over
// kNANOMaxNestingDepth.
bool NANOMessageInfoDecode(NANOMessageInfo& info, const uint8_t* bytes, size_t length);
// As NANOMessageInfoDecode, but the repeated message fields of the top-level
// message named in `keptEncoded` keep their elements encoded. Each kept
// element is walked over its message type with the same checks the full
// decode makes, so this accepts and refuses exactly the inputs
// NANOMessageInfoDecode does, without building a tree per element. Indexes
// that are not repeated message fields are ignored.
bool NANOMessageInfoDecodeKeepingEncoded(NANOMessageInfo& info, const uint8_t* bytes, size_t length,
                                         std::span<const uint32_t> keptEncoded);
// A single string or bytes field read straight from an encoding that is
// taken to be well formed (a kept element, say): the bytes a decode would
// keep for it, a view into `bytes`; nullopt when the field is absent, is no
// single string or bytes field, or its own bytes are malformed. The rest of
// the encoding is not checked.
std::optional<std::string_view> NANOMessageInfoReadEncodedText(const MSRPBMessageType& type,
                                                               const uint8_t* bytes, size_t length,
                                                               uint32_t index);
// The wire encoding; empty for an empty message, nullopt when encoding fails.
std::optional<std::vector<uint8_t>> NANOMessageInfoEncode(const NANOMessageInfo& info);
