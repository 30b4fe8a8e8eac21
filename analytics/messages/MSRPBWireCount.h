#pragma once
// Counting fields of an encoded message without decoding it: for bounding
// what a server sent before it costs memory.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "analytics/messages/MSRPBMessageType.h"

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
