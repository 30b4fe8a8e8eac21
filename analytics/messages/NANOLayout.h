#pragma once
// Where each field of a message sits in its generated nanopb structure and
// how it goes on the wire, learnt once from the generated field tables. The
// direct reader and writer walk these layouts; so does the nanopb-driven
// reference codec that tests hold them to.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pb.h>

#include "analytics/messages/MSRPBMessageType.h"

// Where one field of the nanopb structure lives and which field index it is.
struct NANOField {
    uint32_t index;
    pb_type_t type;
    uint32_t dataOffset;
    int32_t presenceOffset;  // the has_ flag of static optional fields, -1 otherwise
    uint32_t dataSize;
    uint64_t key;                                // tag and wire type as they precede the field's value
    const struct NANOLayout* element = nullptr;  // message fields: the element's layout
    // What the quick check of kept elements accepts for this field.
    enum Quick : uint8_t {
        kVarint4,
        kVarint10,
        kFixed4,
        kFixed8,
        kText,
        kNested,
        kElement
    } quick = kVarint10;
};

struct NANOLayout {
    const MSRPBMessageType* type = nullptr;
    const pb_msgdesc_t* desc = nullptr;
    size_t structSize = 0;
    std::vector<NANOField> fields;
    // Callback fields of the structure including those of static nested
    // structures: the number of callback arguments one decode or fill needs.
    size_t callbackCount = 0;
    // Position in `fields` by wire tag, -1 for tags the message does not
    // have: the direct reader's lookup.
    std::vector<int16_t> positionByTag;
    std::vector<std::string> problems;
};

inline uint32_t NANOKindOf(uint32_t word) {
    return word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
}
inline bool NANOIsRepeated(uint32_t word) {
    return (word & kMSRPBLabelRepeated) != 0;
}

// The layout of the message type; built for all types on first use.
const NANOLayout& NANOLayoutFor(const MSRPBMessageType& type);
