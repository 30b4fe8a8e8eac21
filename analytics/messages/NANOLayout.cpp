#include "analytics/messages/NANOLayout.h"

#include <pb_common.h>

#include "analytics/messages/proto/config.pb.h"
#include "analytics/messages/proto/experiment.pb.h"
#include "analytics/messages/proto/measurement.pb.h"

// One glue for every message: the generated nanopb field table of a message is
// walked once to learn where each field sits in the C structure and which
// field index of our own table it is; the walk also checks that both tables
// describe the same messages.

namespace {

struct NanoBinding {
    const pb_msgdesc_t* desc;
    size_t structSize;
};

#define BIND(name) NanoBinding{&msr_##name##_msg, sizeof(msr_##name)},
const NanoBinding kBindings[kMSRPBMessageCount] = {MSRPB_FOR_EACH_MESSAGE(BIND)};
#undef BIND

struct Layouts {
    NANOLayout byID[kMSRPBMessageCount];
};

// Which nanopb type a type word must have been generated as.
bool ltypeMatches(uint32_t word, pb_type_t ltype, uint32_t dataSize) {
    switch (NANOKindOf(word)) {
        case kMSRPBKindBool:
            return ltype == PB_LTYPE_BOOL;
        case kMSRPBKindEnum:
        case kMSRPBKindUInt32:
            return ltype == PB_LTYPE_UVARINT && (NANOIsRepeated(word) || dataSize == 4);
        case kMSRPBKindInt32:
            return ltype == PB_LTYPE_VARINT && (NANOIsRepeated(word) || dataSize == 4);
        case kMSRPBKindInt64:
            return ltype == PB_LTYPE_VARINT && (NANOIsRepeated(word) || dataSize == 8);
        case kMSRPBKindUInt64:
            return ltype == PB_LTYPE_UVARINT && (NANOIsRepeated(word) || dataSize == 8);
        case kMSRPBKindFloat:
            return ltype == PB_LTYPE_FIXED32;
        case kMSRPBKindDouble:
            return ltype == PB_LTYPE_FIXED64;
        case kMSRPBKindString:
            return ltype == PB_LTYPE_STRING;
        case kMSRPBKindBytes:
            return ltype == PB_LTYPE_BYTES;
        case kMSRPBKindMessage:
            return PB_LTYPE_IS_SUBMSG(ltype);
        default:
            return false;
    }
}

// The wire type nanopb gives a field of this generated type.
uint64_t wireTypeOf(pb_type_t type) {
    switch (PB_LTYPE(type)) {
        case PB_LTYPE_FIXED64:
            return PB_WT_64BIT;
        case PB_LTYPE_FIXED32:
            return PB_WT_32BIT;
        case PB_LTYPE_STRING:
        case PB_LTYPE_BYTES:
        case PB_LTYPE_SUBMESSAGE:
        case PB_LTYPE_SUBMSG_W_CB:
            return PB_WT_STRING;
        default:
            return PB_WT_VARINT;
    }
}

void buildLayout(Layouts& all, MSRPBMessageID id) {
    NANOLayout& layout = all.byID[static_cast<size_t>(id)];
    const MSRPBMessageType& type = MSRPBMessageTypeFor(id);
    const NanoBinding& binding = kBindings[static_cast<size_t>(id)];
    layout.type = &type;
    layout.desc = binding.desc;
    layout.structSize = binding.structSize;

    std::vector<std::max_align_t> probe(binding.structSize / sizeof(std::max_align_t) + 1);
    auto* base = reinterpret_cast<char*>(probe.data());
    std::vector<bool> seen(type.fieldCount, false);
    pb_field_iter_t iter;
    if (pb_field_iter_begin(&iter, binding.desc, base)) {
        do {
            uint32_t index = type.fieldCount;
            for (uint32_t i = 0; i < type.fieldCount; ++i) {
                if (type.fields[i].tag == iter.tag) index = i;
            }
            if (index == type.fieldCount) {
                layout.problems.push_back(std::string(type.name) + ": generated tag " +
                                          std::to_string(iter.tag) + " is not in the field table");
                continue;
            }
            seen[index] = true;
            const MSRPBFieldSpec& spec = type.fields[index];
            const bool callback = PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK;
            const bool wantCallback = NANOIsRepeated(spec.word) ||
                                      NANOKindOf(spec.word) == kMSRPBKindString ||
                                      NANOKindOf(spec.word) == kMSRPBKindBytes;
            const bool labelOK = NANOIsRepeated(spec.word) ? PB_HTYPE(iter.type) == PB_HTYPE_REPEATED
                                                           : PB_HTYPE(iter.type) == PB_HTYPE_OPTIONAL;
            if (callback != wantCallback || !labelOK ||
                !ltypeMatches(spec.word, PB_LTYPE(iter.type), iter.data_size)) {
                layout.problems.push_back(std::string(type.name) + ": field index " + std::to_string(index) +
                                          " (tag " + std::to_string(iter.tag) +
                                          ") differs from its generated form");
            }
            if (NANOKindOf(spec.word) == kMSRPBKindMessage &&
                iter.submsg_desc != kBindings[static_cast<size_t>(spec.element)].desc) {
                layout.problems.push_back(std::string(type.name) + ": field index " + std::to_string(index) +
                                          " holds another message type than generated");
            }
            NANOField field;
            field.index = index;
            field.type = iter.type;
            field.dataOffset = static_cast<uint32_t>(static_cast<char*>(iter.pData) - base);
            field.presenceOffset = (!callback && iter.pSize != nullptr)
                                       ? static_cast<int32_t>(static_cast<char*>(iter.pSize) - base)
                                       : -1;
            field.dataSize = iter.data_size;
            field.key = (static_cast<uint64_t>(iter.tag) << 3) | wireTypeOf(iter.type);
            switch (PB_LTYPE(iter.type)) {
                case PB_LTYPE_BOOL:
                    field.quick = callback ? NANOField::kVarint10 : NANOField::kVarint4;
                    break;
                case PB_LTYPE_UVARINT:
                    field.quick =
                        !callback && iter.data_size == 4 ? NANOField::kVarint4 : NANOField::kVarint10;
                    break;
                case PB_LTYPE_FIXED32:
                    field.quick = NANOField::kFixed4;
                    break;
                case PB_LTYPE_FIXED64:
                    field.quick = NANOField::kFixed8;
                    break;
                case PB_LTYPE_STRING:
                case PB_LTYPE_BYTES:
                    field.quick = NANOField::kText;
                    break;
                case PB_LTYPE_SUBMESSAGE:
                case PB_LTYPE_SUBMSG_W_CB:
                    field.quick = callback ? NANOField::kElement : NANOField::kNested;
                    break;
                default:
                    field.quick = NANOField::kVarint10;
                    break;
            }
            layout.fields.push_back(field);
        } while (pb_field_iter_next(&iter));
    }
    for (size_t position = 0; position < layout.fields.size(); ++position) {
        const uint32_t tag = static_cast<uint32_t>(layout.fields[position].key >> 3);
        if (tag >= layout.positionByTag.size()) layout.positionByTag.resize(tag + 1, -1);
        layout.positionByTag[tag] = static_cast<int16_t>(position);
    }
    for (uint32_t i = 0; i < type.fieldCount; ++i) {
        if (!seen[i]) {
            layout.problems.push_back(std::string(type.name) + ": field index " + std::to_string(i) +
                                      " has no generated field");
        }
    }
}

// Static nesting is acyclic (recursion only goes through callback fields), so
// this terminates.
size_t countCallbacks(Layouts& all, MSRPBMessageID id) {
    NANOLayout& layout = all.byID[static_cast<size_t>(id)];
    size_t count = 0;
    for (const NANOField& field : layout.fields) {
        if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
            ++count;
        } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
            count += countCallbacks(all, layout.type->fields[field.index].element);
        }
    }
    return count;
}

const Layouts& layouts() {
    static const Layouts* all = [] {
        auto* built = new Layouts();
        for (size_t i = 0; i < kMSRPBMessageCount; ++i) buildLayout(*built, static_cast<MSRPBMessageID>(i));
        for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
            NANOLayout& layout = built->byID[i];
            layout.callbackCount = countCallbacks(*built, static_cast<MSRPBMessageID>(i));
            for (NANOField& field : layout.fields) {
                const MSRPBFieldSpec& spec = layout.type->fields[field.index];
                if (NANOKindOf(spec.word) == kMSRPBKindMessage)
                    field.element = &built->byID[static_cast<size_t>(spec.element)];
            }
        }
        return built;
    }();
    return *all;
}

}  // namespace

const NANOLayout& NANOLayoutFor(const MSRPBMessageType& type) {
    return layouts().byID[static_cast<size_t>(type.id)];
}

std::vector<std::string> MSRPBMessageTableProblems() {
    std::vector<std::string> problems;
    for (const NANOLayout& layout : layouts().byID) {
        problems.insert(problems.end(), layout.problems.begin(), layout.problems.end());
    }
    return problems;
}
