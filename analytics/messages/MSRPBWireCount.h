#pragma once
// Counting fields of an encoded message without decoding it: for bounding
// what a server sent before it costs memory.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "analytics/messages/MSRPBMessageType.h"
#include "analytics/messages/MSRPBWireBounds.h"

// How often the field at the end of `path` occurs in an encoded message of
// `type`, counted on the wire without building any of it. `path` names a
// field of `type` by index, then a field of that field's message by index,
// and so on; the occurrences within every occurrence of each message field
// on the way are summed. nullopt when the bytes do not read as fields, or
// when the path passes through a field that is not a message field.
std::optional<size_t> MSRPBCountEncodedFields(std::span<const uint8_t> encodedMessage, const MSRPBMessageType& type,
                                              std::initializer_list<uint32_t> path);

// The same count, with the most occurrences found within any one message
// that holds the field: a bound per message besides the bound of the whole.
// `bytes` sums what the occurrences hold on the wire: a message's or a
// text's length, a number's varint or fixed width.
struct MSRPBEncodedFieldTally {
    size_t total = 0;
    size_t mostInOneMessage = 0;
    size_t bytes = 0;
};
std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedFields(std::span<const uint8_t> encodedMessage,
                                                              const MSRPBMessageType& type,
                                                              std::initializer_list<uint32_t> path);

// The messages of type `sought` within each occurrence of the message field
// at the end of `path`, at any depth (the occurrence itself counts when it
// is of that type): `total` over all of them, `mostInOneMessage` the most
// within one, `bytes` unused. For bounding a tree of recursive messages (a
// program's entities) before it is built. nullopt when the bytes do not read
// as fields or nest deeper than a decode accepts, or when `path` does not
// end in a message field.
std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedNestedMessages(std::span<const uint8_t> encodedMessage,
                                                                      const MSRPBMessageType& type,
                                                                      std::initializer_list<uint32_t> path,
                                                                      MSRPBMessageID sought);

// ---- The one wire count of every answer a server sends ----------------------------------

// What a bound counts.
enum class MSRPBWireScope : uint8_t {
    kPerAnswer,       // occurrences of the field in the whole answer, at every depth
    kPerParent,       // occurrences of the field in any one message that holds it
    kBytesPerAnswer,  // bytes the field's occurrences hold on the wire, in the whole answer
    kTypePerAnswer,   // messages of the type `message`, whichever field holds them
};

// One bound of the table: past `most`, the answer is refused with `code`
// and `text` (whose contexts are the count and the bound).
struct MSRPBWireBound {
    MSRPBMessageID message;  // the message holding the field; for kTypePerAnswer, the type counted
    uint32_t field;          // the field's index; unused for kTypePerAnswer
    MSRPBWireScope scope;
    size_t most;
    int64_t code;
    const char* text;
};

// A message the engine decodes from what a server sent (or from what it
// stored of that), with the bounds that hold for it beside the table: the
// message elements of one answer in total, and a repeated field that the
// table does not name.
struct MSRPBWireRoot {
    MSRPBMessageID message;
    MSRPBWireBound elements;  // scope kPerAnswer, `field` unused
    MSRPBWireBound unnamed;   // scope kPerAnswer, `field` unused
};

// The one table of bounds, for every field of every root at every depth.
std::span<const MSRPBWireBound> MSRPBWireBounds();
// The messages a server sends, and the stored forms read back from them.
std::span<const MSRPBWireRoot> MSRPBWireRoots();
// The root of `message`; null when it is none.
const MSRPBWireRoot* MSRPBWireRootOf(MSRPBMessageID message);

// Why an answer is refused: the field (names from the root down, e.g.
// "ExperimentResponse.snapshots.experiments.flags"), what was counted when
// it passed its bound (the walk stops one past it), the bound, and its code
// and text.
struct MSRPBWireRefusal {
    std::string fieldPath;
    size_t count = 0;
    size_t bound = 0;
    int64_t code = 0;
    std::string text;
};

// Walks `encodedMessage` as a message of `root` once, counting every
// repeated field at every depth (packed or not) and every message element
// against the table, without building any of it. nullopt when the answer is
// within every bound; the refusal otherwise. Bytes that do not read as
// fields, or nest deeper than a decode accepts, are no refusal of this
// walk: the decode refuses them, and what the walk read before them was
// within bounds. `root` must be one of MSRPBWireRoots().
std::optional<MSRPBWireRefusal> MSRPBWireRefusalOf(std::span<const uint8_t> encodedMessage,
                                                   MSRPBMessageID root);
