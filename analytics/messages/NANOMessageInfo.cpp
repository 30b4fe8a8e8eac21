#include "analytics/messages/NANOMessageInfo.h"
#include "analytics/messages/NANOVarint.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <pb.h>
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/proto/config.pb.h"
#include "analytics/messages/proto/experiment.pb.h"
#include "analytics/messages/proto/measurement.pb.h"

// One glue for every message: the generated nanopb field table of a message is
// walked once to learn where each field sits in the C structure, and that
// layout drives filling the structure for encoding and reading it back after
// decoding. Strings and repeated fields are nanopb callback fields; their
// callbacks read and write the cells directly, so decoding is a single pass.

namespace {

struct NanoBinding {
    const pb_msgdesc_t* desc;
    size_t structSize;
};

#define BIND(name) NanoBinding{&msr_##name##_msg, sizeof(msr_##name)},
const NanoBinding kBindings[kMSRPBMessageCount] = {MSRPB_FOR_EACH_MESSAGE(BIND)};
#undef BIND

// Where one field of the nanopb structure lives and which field index it is.
struct NanoField {
    uint32_t index;
    pb_type_t type;
    uint32_t dataOffset;
    int32_t presenceOffset;  // the has_ flag of static optional fields, -1 otherwise
    uint32_t dataSize;
    uint64_t key;  // tag and wire type as they precede the field's value
    const struct NanoLayout* element = nullptr;  // message fields: the element's layout
    // What the quick check of kept elements accepts for this field.
    enum Quick : uint8_t { kVarint4, kVarint10, kFixed4, kFixed8, kText, kNested, kElement } quick = kVarint10;
};

struct NanoLayout {
    const MSRPBMessageType* type = nullptr;
    const pb_msgdesc_t* desc = nullptr;
    size_t structSize = 0;
    std::vector<NanoField> fields;
    // Callback fields of the structure including those of static nested
    // structures: the number of callback arguments one decode or fill needs.
    size_t callbackCount = 0;
    // Position in `fields` by wire tag, -1 for tags the message does not
    // have: the direct reader's lookup.
    std::vector<int16_t> positionByTag;
    std::vector<std::string> problems;
};

struct Layouts {
    NanoLayout byID[kMSRPBMessageCount];
};

uint32_t kindOf(uint32_t word) {
    return word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
}
bool isRepeated(uint32_t word) {
    return (word & kMSRPBLabelRepeated) != 0;
}

// Which nanopb type a type word must have been generated as.
bool ltypeMatches(uint32_t word, pb_type_t ltype, uint32_t dataSize) {
    switch (kindOf(word)) {
        case kMSRPBKindBool:
            return ltype == PB_LTYPE_BOOL;
        case kMSRPBKindEnum:
        case kMSRPBKindUInt32:
            return ltype == PB_LTYPE_UVARINT && (isRepeated(word) || dataSize == 4);
        case kMSRPBKindInt32:
            return ltype == PB_LTYPE_VARINT && (isRepeated(word) || dataSize == 4);
        case kMSRPBKindInt64:
            return ltype == PB_LTYPE_VARINT && (isRepeated(word) || dataSize == 8);
        case kMSRPBKindUInt64:
            return ltype == PB_LTYPE_UVARINT && (isRepeated(word) || dataSize == 8);
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
    NanoLayout& layout = all.byID[static_cast<size_t>(id)];
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
            const bool wantCallback = isRepeated(spec.word) || kindOf(spec.word) == kMSRPBKindString ||
                                      kindOf(spec.word) == kMSRPBKindBytes;
            const bool labelOK = isRepeated(spec.word) ? PB_HTYPE(iter.type) == PB_HTYPE_REPEATED
                                                       : PB_HTYPE(iter.type) == PB_HTYPE_OPTIONAL;
            if (callback != wantCallback || !labelOK ||
                !ltypeMatches(spec.word, PB_LTYPE(iter.type), iter.data_size)) {
                layout.problems.push_back(std::string(type.name) + ": field index " + std::to_string(index) +
                                          " (tag " + std::to_string(iter.tag) +
                                          ") differs from its generated form");
            }
            if (kindOf(spec.word) == kMSRPBKindMessage &&
                iter.submsg_desc != kBindings[static_cast<size_t>(spec.element)].desc) {
                layout.problems.push_back(std::string(type.name) + ": field index " + std::to_string(index) +
                                          " holds another message type than generated");
            }
            NanoField field;
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
                    field.quick = callback ? NanoField::kVarint10 : NanoField::kVarint4;
                    break;
                case PB_LTYPE_UVARINT:
                    field.quick = !callback && iter.data_size == 4 ? NanoField::kVarint4 : NanoField::kVarint10;
                    break;
                case PB_LTYPE_FIXED32:
                    field.quick = NanoField::kFixed4;
                    break;
                case PB_LTYPE_FIXED64:
                    field.quick = NanoField::kFixed8;
                    break;
                case PB_LTYPE_STRING:
                case PB_LTYPE_BYTES:
                    field.quick = NanoField::kText;
                    break;
                case PB_LTYPE_SUBMESSAGE:
                case PB_LTYPE_SUBMSG_W_CB:
                    field.quick = callback ? NanoField::kElement : NanoField::kNested;
                    break;
                default:
                    field.quick = NanoField::kVarint10;
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
    NanoLayout& layout = all.byID[static_cast<size_t>(id)];
    size_t count = 0;
    for (const NanoField& field : layout.fields) {
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
            NanoLayout& layout = built->byID[i];
            layout.callbackCount = countCallbacks(*built, static_cast<MSRPBMessageID>(i));
            for (NanoField& field : layout.fields) {
                const MSRPBFieldSpec& spec = layout.type->fields[field.index];
                if (kindOf(spec.word) == kMSRPBKindMessage)
                    field.element = &built->byID[static_cast<size_t>(spec.element)];
            }
        }
        return built;
    }();
    return *all;
}

const NanoLayout& layoutFor(const MSRPBMessageType& type) {
    return layouts().byID[static_cast<size_t>(type.id)];
}

struct CallbackArg {
    NANOMessageInfo* info;          // decoding
    const NANOMessageInfo* source;  // encoding
    uint32_t index;
    int depth;  // decoding: nesting below the decoded message
};

// The zeroed nanopb structure of one message and the arguments its callbacks
// point at, kept inline for the common small messages: encoding and decoding
// make one of these per nested message, so heap traffic here is what costs.
// (Value-initialising max_align_t would not clear the padding of its long
// double member, hence the memset.)
class Scratch {
  public:
    explicit Scratch(const NanoLayout& layout) : size_(layout.structSize), capacity_(layout.callbackCount) {
        if (size_ > sizeof(inlineStruct_))
            heapStruct_.reset(new std::max_align_t[size_ / sizeof(std::max_align_t) + 1]);
        std::memset(structData(), 0, size_);
        if (capacity_ > kInlineArgs) heapArgs_.reset(new CallbackArg[capacity_]);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    char* structData() { return heapStruct_ ? reinterpret_cast<char*>(heapStruct_.get()) : inlineStruct_; }
    // Never more than the layout's callback count, so the slots never move.
    CallbackArg* add(const CallbackArg& arg) {
        CallbackArg* slot = (heapArgs_ ? heapArgs_.get() : inlineArgs_) + count_++;
        *slot = arg;
        return slot;
    }

  private:
    static constexpr size_t kInlineArgs = 12;
    size_t size_;
    size_t capacity_;
    size_t count_ = 0;
    alignas(std::max_align_t) char inlineStruct_[256];
    CallbackArg inlineArgs_[kInlineArgs];
    std::unique_ptr<std::max_align_t[]> heapStruct_;
    std::unique_ptr<CallbackArg[]> heapArgs_;
};

// ---------------------------------------------------------------- decoding

bool decodeInto(pb_istream_t* stream, NANOMessageInfo& info, int depth);

bool readLengthDelimited(pb_istream_t* stream, std::string& out) {
    if (stream->bytes_left > kNANOMaxDecodedFieldBytes) {
        MSRPBLog(45000, "Unable to process proto stream. Buffer is too big. %zu > %d", stream->bytes_left,
                 static_cast<int>(kNANOMaxDecodedFieldBytes));
        return false;
    }
    out.resize(stream->bytes_left);
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(out.data()), out.size());
}

bool readScalar(pb_istream_t* stream, const pb_field_t* field, uint32_t kind, uint64_t& out) {
    switch (PB_LTYPE(field->type)) {
        case PB_LTYPE_FIXED32: {
            uint32_t bits = 0;
            if (!pb_decode_fixed32(stream, &bits)) return false;
            out = bits;
            return true;
        }
        case PB_LTYPE_FIXED64:
            return pb_decode_fixed64(stream, &out);
        default:
            if (!pb_decode_varint(stream, &out)) return false;
            break;
    }
    if (kind == kMSRPBKindBool) out = out != 0;
    if (kind == kMSRPBKindInt32 || kind == kMSRPBKindUInt32 || kind == kMSRPBKindEnum)
        out = static_cast<uint32_t>(out);
    return true;
}

bool decodeCallback(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* context = static_cast<CallbackArg*>(*arg);
    NANOMessageInfo& info = *context->info;
    const MSRPBFieldSpec& spec = info.type->fields[context->index];
    NANOCell& cell = info.fields[context->index];
    const uint32_t kind = kindOf(spec.word);

    if (!isRepeated(spec.word)) {
        // The first occurrence of a single string wins; later ones are skipped.
        if (std::holds_alternative<std::string>(cell)) return pb_read(stream, nullptr, stream->bytes_left);
        std::string value;
        if (!readLengthDelimited(stream, value)) return false;
        cell = std::move(value);
        return true;
    }
    if (kind == kMSRPBKindMessage) {
        const MSRPBMessageType& elementType = MSRPBMessageTypeFor(spec.element);
        if (context->depth + 1 > kNANOMaxNestingDepth) {
            MSRPBLog(45001, "<ERROR> %s decoder failed: nesting deeper than %d levels", info.type->name,
                     kNANOMaxNestingDepth);
            return false;
        }
        NANOMessageInfoPtr element = NANOMessageInfoCreate(elementType);
        if (!decodeInto(stream, *element, context->depth + 1)) {
            MSRPBLog(45002, "<ERROR> %s decoder failed: Unable to decode repeated %s", info.type->name,
                     elementType.name);
            return false;
        }
        std::get<std::vector<NANOMessageInfoPtr>>(cell).push_back(std::move(element));
        return true;
    }
    if (kind == kMSRPBKindString || kind == kMSRPBKindBytes) {
        std::string value;
        if (!readLengthDelimited(stream, value)) return false;
        std::get<std::vector<std::string>>(cell).push_back(std::move(value));
        return true;
    }
    uint64_t value = 0;
    if (!readScalar(stream, field, kind, value)) return false;
    std::get<std::vector<uint64_t>>(cell).push_back(value);
    return true;
}

void prepareDecode(const NanoLayout& layout, char* base, NANOMessageInfo& info, Scratch& scratch, int depth) {
    for (const NanoField& field : layout.fields) {
        char* data = base + field.dataOffset;
        if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
            auto* callback = reinterpret_cast<pb_callback_t*>(data);
            callback->funcs.decode = &decodeCallback;
            callback->arg = scratch.add(CallbackArg{&info, nullptr, field.index, depth});
        } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
            const MSRPBMessageType& nestedType = MSRPBMessageTypeFor(info.type->fields[field.index].element);
            NANOMessageInfoPtr nested = NANOMessageInfoCreate(nestedType);
            NANOMessageInfo& nestedRef = *nested;
            info.fields[field.index] = std::move(nested);
            prepareDecode(layoutFor(nestedType), data, nestedRef, scratch, depth + 1);
        }
    }
}

uint64_t loadScalar(const char* data, const NanoField& field) {
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_BOOL:
            return *reinterpret_cast<const bool*>(data) ? 1 : 0;
        case PB_LTYPE_FIXED32:
        case PB_LTYPE_VARINT:
        case PB_LTYPE_UVARINT:
            if (field.dataSize == 4) {
                uint32_t value;
                std::memcpy(&value, data, 4);
                return value;
            }
            [[fallthrough]];
        default: {
            uint64_t value;
            std::memcpy(&value, data, 8);
            return value;
        }
    }
}

void copyDecoded(const NanoLayout& layout, const char* base, NANOMessageInfo& info) {
    for (const NanoField& field : layout.fields) {
        if (PB_ATYPE(field.type) != PB_ATYPE_STATIC) continue;
        const bool present =
            field.presenceOffset >= 0 && *reinterpret_cast<const bool*>(base + field.presenceOffset);
        NANOCell& cell = info.fields[field.index];
        if (PB_LTYPE_IS_SUBMSG(field.type)) {
            if (!present) {
                cell = std::monostate{};
                continue;
            }
            NANOMessageInfo& nested = *std::get<NANOMessageInfoPtr>(cell);
            copyDecoded(layoutFor(*nested.type), base + field.dataOffset, nested);
        } else if (present) {
            cell = loadScalar(base + field.dataOffset, field);
        }
    }
}

bool decodeInto(pb_istream_t* stream, NANOMessageInfo& info, int depth) {
    const NanoLayout& layout = layoutFor(*info.type);
    Scratch scratch(layout);
    prepareDecode(layout, scratch.structData(), info, scratch, depth);
    if (!pb_decode_ex(stream, layout.desc, scratch.structData(), PB_DECODE_NOINIT)) {
        MSRPBLog(45003, "<ERROR> %s decoder failed: %s", info.type->name, PB_GET_ERROR(stream));
        return false;
    }
    copyDecoded(layout, scratch.structData(), info);
    return true;
}

// ---------------------------------------------------------------- encoded elements

// Where the element starting at `at` (its length, then its bytes) ends;
// nullptr when the length is malformed or runs past `end`.
const uint8_t* encodedChunkEnd(const uint8_t* at, const uint8_t* end) {
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

// ---------------------------------------------------------------- encoding

void fillForEncode(const NanoLayout& layout, char* base, const NANOMessageInfo& info, Scratch& scratch);

bool encodeCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* context = static_cast<const CallbackArg*>(*arg);
    const NANOMessageInfo& info = *context->source;
    const MSRPBFieldSpec& spec = info.type->fields[context->index];
    const NANOCell& cell = info.fields[context->index];
    const uint32_t kind = kindOf(spec.word);

    if (const auto* text = std::get_if<std::string>(&cell)) {
        return pb_encode_tag_for_field(stream, field) &&
               pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
    }
    if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
        for (const std::string& text : *texts) {
            if (!pb_encode_tag_for_field(stream, field) ||
                !pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text.data()), text.size())) {
                return false;
            }
        }
        return true;
    }
    if (const auto* messages = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
        const NanoLayout& elementLayout = layoutFor(MSRPBMessageTypeFor(spec.element));
        // The sizing pass notes each element's length; the writing pass uses
        // it instead of sizing the element again, so every element is encoded
        // once per pass however deep it sits.
        const bool sizing = stream->callback == nullptr;
        for (const NANOMessageInfoPtr& element : *messages) {
            Scratch scratch(elementLayout);
            fillForEncode(elementLayout, scratch.structData(), *element, scratch);
            if (!pb_encode_tag_for_field(stream, field)) return false;
            if (sizing) {
                pb_ostream_t counter = PB_OSTREAM_SIZING;
                if (!pb_encode(&counter, elementLayout.desc, scratch.structData())) return false;
                element->encodedSize = counter.bytes_written;
                if (!pb_encode_varint(stream, element->encodedSize) ||
                    !pb_write(stream, nullptr, element->encodedSize)) {
                    return false;
                }
                continue;
            }
            if (!pb_encode_varint(stream, element->encodedSize)) return false;
            const size_t start = stream->bytes_written;
            if (!pb_encode(stream, elementLayout.desc, scratch.structData())) return false;
            if (stream->bytes_written - start != element->encodedSize) {
                MSRPBLog(45004, "<ERROR> %s encoder failed: %s changed size between passes", info.type->name,
                         elementLayout.type->name);
                return false;
            }
        }
        return true;
    }
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
        // Each element's length and bytes go out as they are held.
        const auto* at = reinterpret_cast<const pb_byte_t*>(encoded->bytes.data());
        const auto* end = at + encoded->bytes.size();
        while (at != end) {
            const uint8_t* chunkEnd = encodedChunkEnd(at, end);
            if (chunkEnd == nullptr) return false;
            if (!pb_encode_tag_for_field(stream, field) ||
                !pb_write(stream, at, static_cast<size_t>(chunkEnd - at)))
                return false;
            at = chunkEnd;
        }
        return true;
    }
    if (const auto* scalars = std::get_if<std::vector<uint64_t>>(&cell)) {
        // One tag per element, never packed.
        for (uint64_t value : *scalars) {
            if (!pb_encode_tag_for_field(stream, field)) return false;
            bool ok;
            switch (PB_LTYPE(field->type)) {
                case PB_LTYPE_FIXED32: {
                    uint32_t bits = static_cast<uint32_t>(value);
                    ok = pb_encode_fixed32(stream, &bits);
                    break;
                }
                case PB_LTYPE_FIXED64:
                    ok = pb_encode_fixed64(stream, &value);
                    break;
                default:
                    // A negative int32 goes out sign-extended to ten bytes, as every
                    // protocol-buffer reader expects.
                    if (kind == kMSRPBKindInt32)
                        value = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
                    ok = pb_encode_varint(stream, value);
                    break;
            }
            if (!ok) return false;
        }
        return true;
    }
    return false;
}

void storeScalar(char* data, const NanoField& field, uint64_t value) {
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_BOOL:
            *reinterpret_cast<bool*>(data) = (value & 0xFF) != 0;
            return;
        default:
            if (field.dataSize == 4) {
                // Narrowed to 32 bits: nanopb sign-extends an int32 when writing it.
                uint32_t narrow = static_cast<uint32_t>(value);
                std::memcpy(data, &narrow, 4);
            } else {
                std::memcpy(data, &value, 8);
            }
    }
}

// Whether a callback field has anything to write: a present string, or a
// repeated field with elements (repeated cells always exist).
bool hasContent(const NANOCell& cell) {
    return std::visit(
        [](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>)
                return true;
            else if constexpr (std::is_same_v<T, NANOEncodedElements>)
                return !value.bytes.empty();
            else if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, uint64_t> ||
                               std::is_same_v<T, NANOMessageInfoPtr>)
                return false;
            else
                return !value.empty();
        },
        cell);
}

void fillForEncode(const NanoLayout& layout, char* base, const NANOMessageInfo& info, Scratch& scratch) {
    for (const NanoField& field : layout.fields) {
        const NANOCell& cell = info.fields[field.index];
        char* data = base + field.dataOffset;
        if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
            if (hasContent(cell)) {
                auto* callback = reinterpret_cast<pb_callback_t*>(data);
                callback->funcs.encode = &encodeCallback;
                callback->arg = scratch.add(CallbackArg{nullptr, &info, field.index, 0});
            }
        } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
            const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
            if (nested == nullptr || !*nested) continue;
            *reinterpret_cast<bool*>(base + field.presenceOffset) = true;
            fillForEncode(layoutFor(*(*nested)->type), data, **nested, scratch);
        } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
            if (field.presenceOffset >= 0) *reinterpret_cast<bool*>(base + field.presenceOffset) = true;
            storeScalar(data, field, *value);
        }
    }
}

// ---------------------------------------------------------------- direct writing
//
// The upload road encodes large trees (batch -> bundles -> events -> parameters
// -> nested parameters), and driving nanopb there sizes every nested level by
// encoding it, once per level above it. The direct writer walks the same field
// tables in the same order and writes exactly the bytes nanopb would, but
// sizes each nested message once: a first walk computes every length
// bottom-up, noting them in visiting order; the second walk writes and takes
// the lengths back in that same order.

uint8_t* putLittleEndian(uint8_t* out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

// What a scalar cell becomes on the wire. A single field goes through the
// nanopb structure (narrowed to its C type, an int32 sign-extended back); a
// repeated one is written by the element callback, which sign-extends by the
// declared kind. Both are mirrored here so the bytes stay nanopb's.
uint64_t wireValue(const NanoField& field, uint32_t kind, uint64_t value) {
    const bool repeated = PB_HTYPE(field.type) == PB_HTYPE_REPEATED;
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_BOOL:
            return repeated ? value : ((value & 0xFF) != 0 ? 1 : 0);
        case PB_LTYPE_FIXED32:
            return static_cast<uint32_t>(value);
        case PB_LTYPE_FIXED64:
            return value;
        case PB_LTYPE_VARINT:
            if (repeated ? kind == kMSRPBKindInt32 : field.dataSize == 4)
                return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
            return value;
        default:
            return (!repeated && field.dataSize == 4) ? static_cast<uint32_t>(value) : value;
    }
}

size_t scalarSize(const NanoField& field, uint64_t wire) {
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_FIXED32:
            return 4;
        case PB_LTYPE_FIXED64:
            return 8;
        default:
            return NANOVarintSize(wire);
    }
}

uint8_t* putScalar(uint8_t* out, const NanoField& field, uint64_t wire) {
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_FIXED32:
            return putLittleEndian(out, wire, 4);
        case PB_LTYPE_FIXED64:
            return putLittleEndian(out, wire, 8);
        default:
            return NANOPutVarint(out, wire);
    }
}

size_t delimitedSize(uint64_t key, size_t length) {
    return NANOVarintSize(key) + NANOVarintSize(length) + length;
}

// Which cells the writer takes for a field is exactly what the nanopb filling
// above takes: a callback field only when it has content, a nested message
// only when present, a scalar only when set.
size_t measureMessage(const NanoLayout& layout, const NANOMessageInfo& info, std::vector<size_t>& lengths) {
    size_t total = 0;
    for (const NanoField& field : layout.fields) {
        const NANOCell& cell = info.fields[field.index];
        const MSRPBFieldSpec& spec = info.type->fields[field.index];
        if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
            if (const auto* text = std::get_if<std::string>(&cell)) {
                total += delimitedSize(field.key, text->size());
            } else if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
                for (const std::string& text : *texts) total += delimitedSize(field.key, text.size());
            } else if (const auto* messages = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
                const NanoLayout& elementLayout = layoutFor(MSRPBMessageTypeFor(spec.element));
                for (const NANOMessageInfoPtr& element : *messages) {
                    // Reserved before the children so lengths stay in visiting order.
                    const size_t slot = lengths.size();
                    lengths.push_back(0);
                    lengths[slot] = measureMessage(elementLayout, *element, lengths);
                    total += delimitedSize(field.key, lengths[slot]);
                }
            } else if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
                total += encoded->count * NANOVarintSize(field.key) + encoded->bytes.size();
            } else if (const auto* scalars = std::get_if<std::vector<uint64_t>>(&cell)) {
                const size_t keySize = NANOVarintSize(field.key);
                for (uint64_t value : *scalars)
                    total += keySize + scalarSize(field, wireValue(field, kindOf(spec.word), value));
            }
        } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
            const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
            if (nested == nullptr || !*nested) continue;
            const size_t slot = lengths.size();
            lengths.push_back(0);
            lengths[slot] = measureMessage(layoutFor(*(*nested)->type), **nested, lengths);
            total += delimitedSize(field.key, lengths[slot]);
        } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
            total += NANOVarintSize(field.key) + scalarSize(field, wireValue(field, kindOf(spec.word), *value));
        }
    }
    return total;
}

struct Writer {
    uint8_t* out;
    const std::vector<size_t>& lengths;
    size_t next = 0;

    void bytes(uint64_t key, const std::string& text) {
        out = NANOPutVarint(NANOPutVarint(out, key), text.size());
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
    void message(uint64_t key, const NanoLayout& layout, const NANOMessageInfo& info) {
        out = NANOPutVarint(NANOPutVarint(out, key), lengths[next++]);
        write(layout, info);
    }
    // The count the measuring walk used is the one set with the bytes; a
    // form whose lengths do not hold together stops short, and the encode
    // then refuses on the size mismatch.
    void encodedElements(uint64_t key, const NANOEncodedElements& encoded) {
        const auto* at = reinterpret_cast<const uint8_t*>(encoded.bytes.data());
        const auto* end = at + encoded.bytes.size();
        while (at != end) {
            const uint8_t* chunkEnd = encodedChunkEnd(at, end);
            if (chunkEnd == nullptr) return;
            out = NANOPutVarint(out, key);
            std::memcpy(out, at, static_cast<size_t>(chunkEnd - at));
            out += chunkEnd - at;
            at = chunkEnd;
        }
    }
    void scalar(const NanoField& field, uint32_t kind, uint64_t value) {
        out = putScalar(NANOPutVarint(out, field.key), field, wireValue(field, kind, value));
    }

    // Same walk as measureMessage; the lengths it noted come back in order.
    void write(const NanoLayout& layout, const NANOMessageInfo& info) {
        for (const NanoField& field : layout.fields) {
            const NANOCell& cell = info.fields[field.index];
            const MSRPBFieldSpec& spec = info.type->fields[field.index];
            if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
                if (const auto* text = std::get_if<std::string>(&cell)) {
                    bytes(field.key, *text);
                } else if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
                    for (const std::string& text : *texts) bytes(field.key, text);
                } else if (const auto* messages = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
                    const NanoLayout& elementLayout = layoutFor(MSRPBMessageTypeFor(spec.element));
                    for (const NANOMessageInfoPtr& element : *messages) message(field.key, elementLayout, *element);
                } else if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
                    encodedElements(field.key, *encoded);
                } else if (const auto* scalars = std::get_if<std::vector<uint64_t>>(&cell)) {
                    for (uint64_t value : *scalars) scalar(field, kindOf(spec.word), value);
                }
            } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
                const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
                if (nested == nullptr || !*nested) continue;
                message(field.key, layoutFor(*(*nested)->type), **nested);
            } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
                scalar(field, kindOf(spec.word), *value);
            }
        }
    }
};

// ---------------------------------------------------------------- direct reading
//
// Driving nanopb's decoder costs a zeroed C structure and a callback setup per
// nested message, and the upload road decodes large trees (stored raw events,
// queued bundles). The direct reader walks the bytes over the same field
// tables and ends as the nanopb-driven decode above ends for every input: the
// same cells where it succeeds, failure where it fails. Its checks are
// therefore nanopb's own, quirks included: tags, lengths and single bools are
// read as 32-bit varints, a callback field of a non-length-delimited wire type
// receives that value's raw bytes, a single string keeps its first
// occurrence, a repeated scalar in a length-delimited field is read packed.
// The log lines are the nanopb-driven decode's too.

struct Input {
    const uint8_t* at;
    const uint8_t* end;
    size_t left() const { return static_cast<size_t>(end - at); }
};

//
// The same walk checks elements that are kept encoded: without an info to
// fill (nullptr) it makes every check and writes nothing. The one check that
// depends on what was already filled is a single string's: a later
// occurrence is skipped unchecked, so a walk without cells checks every
// occurrence's size. That differs only for an occurrence over
// kNANOMaxDecodedFieldBytes, so an element that large is decoded into a
// scratch tree instead.
// Whether the direct reader surely accepts the message (a kept element):
// true only for the plain forms our own writer makes, each field checked
// with bounds that leave no doubt (varints that cannot overflow,
// keys of one or two bytes, fields of the message's own wire types, texts
// within the limit, nesting within the limit). Anything else answers false,
// meaning "not sure", and the reader's own walk decides; so this only ever
// saves time, never changes an answer.
bool surelyWellFormed(const uint8_t* at, const uint8_t* end, const NanoLayout& layout, int depth) {
    // A varint of at most `maxBytes`; a tenth byte may only carry the top bit.
    auto varint = [&](size_t maxBytes, uint64_t& value) {
        value = 0;
        for (size_t i = 0; i < maxBytes && at != end; ++i) {
            const uint8_t next = *at++;
            if (i == 9 && next > 1) return false;
            value |= static_cast<uint64_t>(next & 0x7F) << (7 * i);
            if ((next & 0x80) == 0) return true;
        }
        return false;
    };
    while (at != end) {
        uint64_t key = 0;
        if (!varint(2, key)) return false;
        const uint64_t tag = key >> 3;
        if (tag == 0 || tag >= layout.positionByTag.size() || layout.positionByTag[tag] < 0) return false;
        const NanoField& field = layout.fields[static_cast<size_t>(layout.positionByTag[tag])];
        if ((key & 7) != (field.key & 7)) return false;
        uint64_t value = 0;
        switch (field.quick) {
            case NanoField::kVarint4:
                if (!varint(4, value)) return false;
                break;
            case NanoField::kVarint10:
                if (!varint(10, value)) return false;
                break;
            case NanoField::kFixed4:
            case NanoField::kFixed8: {
                const size_t size = field.quick == NanoField::kFixed4 ? 4 : 8;
                if (static_cast<size_t>(end - at) < size) return false;
                at += size;
                break;
            }
            default: {
                if (!varint(4, value) || value > static_cast<uint64_t>(end - at)) return false;
                const uint8_t* contentEnd = at + value;
                if (field.quick == NanoField::kText) {
                    if (value > kNANOMaxDecodedFieldBytes) return false;
                } else if (field.quick == NanoField::kNested) {
                    if (!surelyWellFormed(at, contentEnd, *field.element, depth + 1)) return false;
                } else if (depth + 1 > kNANOMaxNestingDepth ||
                           !surelyWellFormed(at, contentEnd, *field.element, depth + 1)) {
                    return false;
                }
                at = contentEnd;
                break;
            }
        }
    }
    return true;
}

class DirectReader {
  public:
    DirectReader() = default;
    // Repeated message fields of the top-level message whose elements are
    // kept encoded.
    DirectReader(std::span<const uint32_t> keptEncoded, size_t topLength)
        : keptEncoded_(keptEncoded), topLength_(topLength) {}

    // One whole message: the top level or an element of a repeated field.
    bool message(Input in, const MSRPBMessageType& type, NANOMessageInfo* info, int depth) {
        return message(in, layoutFor(type), info, depth);
    }
    bool message(Input in, const NanoLayout& layout, NANOMessageInfo* info, int depth) {
        if (fields(in, layout, info, depth)) return true;
        MSRPBLog(45003, "<ERROR> %s decoder failed: %s", layout.type->name, error_ ? error_ : "(none)");
        return false;
    }

    // The text a decode would keep for the single string or bytes field
    // `index`: its first occurrence, read as callbackField hands it over.
    // The rest of the message is only skipped over, not checked.
    bool firstText(Input in, const NanoLayout& layout, uint32_t index, std::string_view& out) {
        while (in.at != in.end) {
            uint32_t key = 0;
            if (!varint32(in, key)) return false;
            const uint32_t tag = key >> 3;
            const uint32_t wireType = key & 7;
            if (tag == 0) return false;
            const int position = tag < layout.positionByTag.size() ? layout.positionByTag[tag] : -1;
            if (position < 0 || layout.fields[static_cast<size_t>(position)].index != index) {
                if (!skip(in, wireType)) return false;
                continue;
            }
            const uint8_t* start = in.at;
            Input content{};
            switch (wireType) {
                case PB_WT_STRING:
                    if (!delimited(in, content)) return false;
                    break;
                case PB_WT_VARINT: {
                    uint8_t next = 0;
                    size_t size = 0;
                    do {
                        if (size++ == 10 || !byte(in, next)) return false;
                    } while (next & 0x80);
                    content = Input{start, in.at};
                    break;
                }
                case PB_WT_64BIT:
                case PB_WT_32BIT:
                    if (!advance(in, wireType == PB_WT_64BIT ? 8 : 4)) return false;
                    content = Input{start, in.at};
                    break;
                default:
                    return false;
            }
            if (content.left() > kNANOMaxDecodedFieldBytes) return false;
            out = takeText(content);
            return true;
        }
        return false;
    }

  private:
    // The first failure names the cause, as in a nanopb stream.
    bool fail(const char* why) {
        if (error_ == nullptr) error_ = why;
        return false;
    }

    bool byte(Input& in, uint8_t& out) {
        if (in.at == in.end) return fail("end-of-stream");
        out = *in.at++;
        return true;
    }
    bool advance(Input& in, size_t count) {
        if (in.left() < count) return fail("end-of-stream");
        in.at += count;
        return true;
    }
    bool varint(Input& in, uint64_t& out) {
        uint64_t result = 0;
        unsigned shift = 0;
        uint8_t next = 0;
        do {
            if (!byte(in, next)) return false;
            if (shift >= 63 && (next & 0xFE) != 0) return fail("varint overflow");
            result |= static_cast<uint64_t>(next & 0x7F) << shift;
            shift += 7;
        } while (next & 0x80);
        out = result;
        return true;
    }
    // Bytes past the 32nd bit are accepted only as zero padding or as the
    // sign extension of a negative 32-bit value.
    bool varint32(Input& in, uint32_t& out) {
        uint8_t next = 0;
        if (!byte(in, next)) return false;
        uint32_t result = next & 0x7F;
        unsigned shift = 7;
        while (next & 0x80) {
            if (!byte(in, next)) return false;
            if (shift >= 32) {
                const uint8_t extension = shift < 63 ? 0xFF : 0x01;
                const bool valid = (next & 0x7F) == 0 || ((result >> 31) != 0 && next == extension);
                if (shift >= 64 || !valid) return fail("varint overflow");
            } else if (shift == 28) {
                if ((next & 0x70) != 0 && (next & 0x78) != 0x78) return fail("varint overflow");
                result |= static_cast<uint32_t>(next & 0x0F) << shift;
            } else {
                result |= static_cast<uint32_t>(next & 0x7F) << shift;
            }
            shift += 7;
        }
        out = result;
        return true;
    }
    bool fixed(Input& in, size_t bytes, uint64_t& out) {
        if (in.left() < bytes) return fail("end-of-stream");
        out = 0;
        for (size_t i = 0; i < bytes; ++i) out |= static_cast<uint64_t>(in.at[i]) << (8 * i);
        in.at += bytes;
        return true;
    }
    bool delimited(Input& in, Input& content) {
        uint32_t length = 0;
        if (!varint32(in, length)) return false;
        if (in.left() < length) return fail("parent stream too short");
        content = Input{in.at, in.at + length};
        in.at += length;
        return true;
    }
    bool skip(Input& in, uint32_t wireType) {
        switch (wireType) {
            case PB_WT_VARINT: {
                uint8_t next = 0;
                do {
                    if (!byte(in, next)) return false;
                } while (next & 0x80);
                return true;
            }
            case PB_WT_64BIT:
                return advance(in, 8);
            case PB_WT_32BIT:
                return advance(in, 4);
            case PB_WT_STRING: {
                uint32_t length = 0;
                return varint32(in, length) && advance(in, length);
            }
            default:
                return fail("invalid wire_type");
        }
    }

    bool fields(Input in, const NanoLayout& layout, NANOMessageInfo* info, int depth) {
        while (in.at != in.end) {
            uint32_t key = 0;
            if (!varint32(in, key)) return false;
            const uint32_t tag = key >> 3;
            const uint32_t wireType = key & 7;
            if (tag == 0) return fail("zero tag");
            const int position = tag < layout.positionByTag.size() ? layout.positionByTag[tag] : -1;
            if (position < 0) {
                if (!skip(in, wireType)) return false;
                continue;
            }
            const NanoField& field = layout.fields[static_cast<size_t>(position)];
            const bool ok = PB_ATYPE(field.type) == PB_ATYPE_CALLBACK
                                ? callbackField(in, wireType, layout, field, info, depth)
                                : staticField(in, wireType, field, info, depth);
            if (!ok) return false;
        }
        return true;
    }

    // Scalars and nested single messages: the wire type must be the field's;
    // a later occurrence overwrites a scalar and merges into a message.
    bool staticField(Input& in, uint32_t wireType, const NanoField& field, NANOMessageInfo* info, int depth) {
        uint64_t value = 0;
        switch (PB_LTYPE(field.type)) {
            case PB_LTYPE_BOOL: {
                uint32_t flag = 0;
                if (wireType != PB_WT_VARINT) return fail("wrong wire type");
                if (!varint32(in, flag)) return false;
                value = flag != 0 ? 1 : 0;
                break;
            }
            case PB_LTYPE_VARINT:
            case PB_LTYPE_UVARINT:
                if (wireType != PB_WT_VARINT) return fail("wrong wire type");
                if (!varint(in, value)) return false;
                if (field.dataSize == 4) {
                    // An int32 keeps its low half (a negative one arrives
                    // sign-extended); an unsigned 32-bit field refuses more.
                    if (PB_LTYPE(field.type) == PB_LTYPE_UVARINT && value > UINT32_MAX)
                        return fail("integer too large");
                    value = static_cast<uint32_t>(value);
                }
                break;
            case PB_LTYPE_FIXED32:
                if (wireType != PB_WT_32BIT) return fail("wrong wire type");
                if (!fixed(in, 4, value)) return false;
                break;
            case PB_LTYPE_FIXED64:
                if (wireType != PB_WT_64BIT) return fail("wrong wire type");
                if (!fixed(in, 8, value)) return false;
                break;
            default: {
                if (!PB_LTYPE_IS_SUBMSG(field.type)) return fail("invalid field type");
                if (wireType != PB_WT_STRING) return fail("wrong wire type");
                Input content{};
                if (!delimited(in, content)) return false;
                const NanoLayout& nestedLayout = *field.element;
                if (info == nullptr) return fields(content, nestedLayout, nullptr, depth + 1);
                NANOCell& cell = info->fields[field.index];
                auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
                if (nested == nullptr || !*nested) {
                    cell = NANOMessageInfoCreate(*nestedLayout.type);
                    nested = std::get_if<NANOMessageInfoPtr>(&cell);
                }
                return fields(content, nestedLayout, nested->get(), depth + 1);
            }
        }
        if (info != nullptr) info->fields[field.index] = value;
        return true;
    }

    // Strings, bytes and repeated fields, each occurrence handed to
    // callbackValue as nanopb hands it to its field callback.
    bool callbackField(Input& in, uint32_t wireType, const NanoLayout& layout, const NanoField& field,
                       NANOMessageInfo* info, int depth) {
        if (wireType == PB_WT_STRING) {
            Input content{};
            if (!delimited(in, content)) return false;
            size_t before = 0;
            do {
                before = content.left();
                if (!callbackValue(content, layout, field, info, depth)) return fail("callback failed");
            } while (content.left() > 0 && content.left() < before);
            return true;
        }
        uint8_t raw[10];
        size_t size = 0;
        switch (wireType) {
            case PB_WT_VARINT:
                do {
                    if (size == sizeof(raw)) return fail("varint overflow");
                    if (!byte(in, raw[size])) return false;
                } while (raw[size++] & 0x80);
                break;
            case PB_WT_64BIT:
            case PB_WT_32BIT:
                size = wireType == PB_WT_64BIT ? 8 : 4;
                if (in.left() < size) return fail("end-of-stream");
                std::memcpy(raw, in.at, size);
                in.at += size;
                break;
            default:
                return fail("invalid wire_type");
        }
        // nanopb reads the raw bytes through a stream of their own, whose
        // failure cause it does not carry over.
        const char* cause = error_;
        Input value{raw, raw + size};
        if (callbackValue(value, layout, field, info, depth)) return true;
        error_ = cause;
        return false;
    }

    bool callbackValue(Input& in, const NanoLayout& layout, const NanoField& field, NANOMessageInfo* info,
                       int depth) {
        const MSRPBFieldSpec& spec = layout.type->fields[field.index];
        NANOCell* cell = info != nullptr ? &info->fields[field.index] : nullptr;
        const uint32_t kind = kindOf(spec.word);
        if (!isRepeated(spec.word)) {
            // The first occurrence of a single string wins; later ones are skipped.
            if (cell != nullptr && std::holds_alternative<std::string>(*cell)) {
                in.at = in.end;
                return true;
            }
            if (!fitsText(in)) return false;
            if (cell != nullptr)
                cell->emplace<std::string>(takeText(in));
            else
                in.at = in.end;
            return true;
        }
        if (kind == kMSRPBKindMessage) {
            const NanoLayout& elementLayout = *field.element;
            const MSRPBMessageType& elementType = *elementLayout.type;
            if (depth + 1 > kNANOMaxNestingDepth) {
                MSRPBLog(45001, "<ERROR> %s decoder failed: nesting deeper than %d levels", layout.type->name,
                         kNANOMaxNestingDepth);
                return false;
            }
            const bool keep = depth == 0 && info != nullptr &&
                              std::find(keptEncoded_.begin(), keptEncoded_.end(), field.index) != keptEncoded_.end();
            NANOMessageInfoPtr element;
            if (cell != nullptr && (!keep || in.left() > kNANOMaxDecodedFieldBytes))
                element = NANOMessageInfoCreate(elementType);
            const bool surelyValid =
                keep && element == nullptr && surelyWellFormed(in.at, in.end, elementLayout, depth + 1);
            if (!surelyValid && !message(in, elementLayout, element.get(), depth + 1)) {
                MSRPBLog(45002, "<ERROR> %s decoder failed: Unable to decode repeated %s", layout.type->name,
                         elementType.name);
                return false;
            }
            if (keep) {
                if (!std::holds_alternative<NANOEncodedElements>(*cell)) {
                    // The elements together never outgrow the message holding them.
                    cell->emplace<NANOEncodedElements>().bytes.reserve(topLength_);
                }
                auto& encoded = std::get<NANOEncodedElements>(*cell);
                NANOEncodedElementsAppend(encoded.bytes, in.at, in.left());
                ++encoded.count;
            } else if (cell != nullptr) {
                std::get<std::vector<NANOMessageInfoPtr>>(*cell).push_back(std::move(element));
            }
            in.at = in.end;
            return true;
        }
        if (kind == kMSRPBKindString || kind == kMSRPBKindBytes) {
            if (!fitsText(in)) return false;
            if (cell != nullptr)
                std::get<std::vector<std::string>>(*cell).emplace_back(takeText(in));
            else
                in.at = in.end;
            return true;
        }
        uint64_t value = 0;
        switch (PB_LTYPE(field.type)) {
            case PB_LTYPE_FIXED32:
                if (!fixed(in, 4, value)) return false;
                break;
            case PB_LTYPE_FIXED64:
                if (!fixed(in, 8, value)) return false;
                break;
            default:
                if (!varint(in, value)) return false;
                break;
        }
        if (kind == kMSRPBKindBool) value = value != 0;
        if (kind == kMSRPBKindInt32 || kind == kMSRPBKindUInt32 || kind == kMSRPBKindEnum)
            value = static_cast<uint32_t>(value);
        if (cell != nullptr) std::get<std::vector<uint64_t>>(*cell).push_back(value);
        return true;
    }

    bool fitsText(const Input& in) {
        if (in.left() <= kNANOMaxDecodedFieldBytes) return true;
        MSRPBLog(45000, "Unable to process proto stream. Buffer is too big. %zu > %d", in.left(),
                 static_cast<int>(kNANOMaxDecodedFieldBytes));
        return false;
    }
    // The rest of the input as text.
    std::string_view takeText(Input& in) {
        std::string_view text(reinterpret_cast<const char*>(in.at), in.left());
        in.at = in.end;
        return text;
    }

    std::span<const uint32_t> keptEncoded_;
    size_t topLength_ = 0;
    const char* error_ = nullptr;
};

}  // namespace

NANOMessageInfoPtr NANOMessageInfoCreate(const MSRPBMessageType& type) {
    auto info = std::make_unique<NANOMessageInfo>();
    info->type = &type;
    info->fields.resize(type.fieldCount);
    for (uint32_t i = 0; i < type.fieldCount; ++i) {
        const uint32_t word = type.fields[i].word;
        if (!isRepeated(word)) continue;
        switch (kindOf(word)) {
            case kMSRPBKindMessage:
                info->fields[i] = std::vector<NANOMessageInfoPtr>();
                break;
            case kMSRPBKindString:
            case kMSRPBKindBytes:
                info->fields[i] = std::vector<std::string>();
                break;
            default:
                info->fields[i] = std::vector<uint64_t>();
                break;
        }
    }
    return info;
}

NANOMessageInfoPtr NANOMessageInfoCopy(const NANOMessageInfo& info) {
    auto copy = std::make_unique<NANOMessageInfo>();
    copy->type = info.type;
    copy->fields.reserve(info.fields.size());
    for (const NANOCell& cell : info.fields) {
        if (const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell)) {
            copy->fields.emplace_back(*nested ? NANOMessageInfoCopy(**nested) : nullptr);
        } else if (const auto* elements = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
            std::vector<NANOMessageInfoPtr> copies;
            copies.reserve(elements->size());
            for (const NANOMessageInfoPtr& element : *elements)
                copies.push_back(NANOMessageInfoCopy(*element));
            copy->fields.emplace_back(std::move(copies));
        } else {
            std::visit(
                [&](const auto& value) {
                    using T = std::decay_t<decltype(value)>;
                    if constexpr (!std::is_same_v<T, NANOMessageInfoPtr> &&
                                  !std::is_same_v<T, std::vector<NANOMessageInfoPtr>>) {
                        copy->fields.emplace_back(value);
                    }
                },
                cell);
        }
    }
    return copy;
}

namespace {

// A repeated message field's elements as trees: the cell's own, or decoded
// from its encoded form into `decoded`.
const std::vector<NANOMessageInfoPtr>* elementTrees(const NANOCell& cell, const MSRPBMessageType& elementType,
                                                    std::vector<NANOMessageInfoPtr>& decoded, bool& complete) {
    if (const auto* trees = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) return trees;
    if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
        decoded = NANOEncodedElementsDecode(*encoded, elementType);
        complete = decoded.size() == encoded->count;
        return &decoded;
    }
    return nullptr;
}

// Compared by content, whichever form each side holds. An encoded element
// that does not decode equals nothing.
bool sameElements(const NANOCell& left, const NANOCell& right, const MSRPBMessageType& elementType) {
    std::vector<NANOMessageInfoPtr> leftDecoded, rightDecoded;
    bool complete = true;
    const auto* leftTrees = elementTrees(left, elementType, leftDecoded, complete);
    const auto* rightTrees = elementTrees(right, elementType, rightDecoded, complete);
    if (leftTrees == nullptr || rightTrees == nullptr || !complete) return false;
    return std::equal(leftTrees->begin(), leftTrees->end(), rightTrees->begin(), rightTrees->end(),
                      [](const NANOMessageInfoPtr& x, const NANOMessageInfoPtr& y) {
                          return x && y ? NANOMessageInfoEquals(*x, *y) : !x && !y;
                      });
}

}  // namespace

bool NANOMessageInfoEquals(const NANOMessageInfo& a, const NANOMessageInfo& b) {
    if (a.type != b.type || a.fields.size() != b.fields.size()) return false;
    auto sameMessage = [](const NANOMessageInfoPtr& x, const NANOMessageInfoPtr& y) {
        return x && y ? NANOMessageInfoEquals(*x, *y) : !x && !y;
    };
    for (size_t i = 0; i < a.fields.size(); ++i) {
        const NANOCell& left = a.fields[i];
        const NANOCell& right = b.fields[i];
        const auto* leftEncoded = std::get_if<NANOEncodedElements>(&left);
        const auto* rightEncoded = std::get_if<NANOEncodedElements>(&right);
        if (leftEncoded != nullptr || rightEncoded != nullptr) {
            if (leftEncoded != nullptr && rightEncoded != nullptr && *leftEncoded == *rightEncoded) continue;
            if (!sameElements(left, right, MSRPBMessageTypeFor(a.type->fields[i].element))) return false;
            continue;
        }
        if (left.index() != right.index()) return false;
        if (const auto* nested = std::get_if<NANOMessageInfoPtr>(&left)) {
            if (!sameMessage(*nested, std::get<NANOMessageInfoPtr>(right))) return false;
        } else if (const auto* list = std::get_if<std::vector<NANOMessageInfoPtr>>(&left)) {
            const auto& other = std::get<std::vector<NANOMessageInfoPtr>>(right);
            if (!std::equal(list->begin(), list->end(), other.begin(), other.end(), sameMessage))
                return false;
        } else if (left != right) {
            return false;
        }
    }
    return true;
}

bool NANOMessageInfoClearField(NANOMessageInfo& info, uint32_t index) {
    if (index >= info.fields.size()) {
        MSRPBLog(45005, "<ERROR> %s: Cannot deallocate field %u: Unknown field", info.type->name, index);
        return false;
    }
    NANOCell& cell = info.fields[index];
    if (auto* v = std::get_if<std::vector<uint64_t>>(&cell))
        v->clear();
    else if (auto* s = std::get_if<std::vector<std::string>>(&cell))
        s->clear();
    else if (auto* m = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell))
        m->clear();
    else if (std::holds_alternative<NANOEncodedElements>(cell))
        cell = std::vector<NANOMessageInfoPtr>();
    else
        cell = std::monostate{};
    return true;
}

bool NANOMessageInfoDecode(NANOMessageInfo& info, const uint8_t* bytes, size_t length) {
    return DirectReader().message(Input{bytes, bytes + length}, *info.type, &info, 0);
}

bool NANOMessageInfoDecodeKeepingEncoded(NANOMessageInfo& info, const uint8_t* bytes, size_t length,
                                         std::span<const uint32_t> keptEncoded) {
    return DirectReader(keptEncoded, length).message(Input{bytes, bytes + length}, *info.type, &info, 0);
}

bool NANOMessageInfoDecodeWithNanopb(NANOMessageInfo& info, const uint8_t* bytes, size_t length) {
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    return decodeInto(&stream, info, 0);
}

std::optional<std::vector<uint8_t>> NANOMessageInfoEncode(const NANOMessageInfo& info) {
    const NanoLayout& layout = layoutFor(*info.type);
    std::vector<size_t> lengths;
    const size_t size = measureMessage(layout, info, lengths);
    std::vector<uint8_t> out(size);
    Writer writer{out.data(), lengths};
    writer.write(layout, info);
    // Both walks take the same cells, so the writer ends exactly at the end.
    if (writer.out != out.data() + size || writer.next != lengths.size()) {
        MSRPBLog(45007, "<ERROR> %s encoder failed: %s", info.type->name, "size mismatch");
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<uint8_t>> NANOMessageInfoEncodeWithNanopb(const NANOMessageInfo& info) {
    const NanoLayout& layout = layoutFor(*info.type);
    Scratch scratch(layout);
    fillForEncode(layout, scratch.structData(), info, scratch);
    // Sizing pass, one exact allocation, writing pass.
    size_t size = 0;
    if (!pb_get_encoded_size(&size, layout.desc, scratch.structData())) {
        MSRPBLog(45006, "<ERROR> %s encoder failed while sizing", info.type->name);
        return std::nullopt;
    }
    std::vector<uint8_t> out(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, layout.desc, scratch.structData()) || stream.bytes_written != size) {
        MSRPBLog(45007, "<ERROR> %s encoder failed: %s", info.type->name, PB_GET_ERROR(&stream));
        return std::nullopt;
    }
    return out;
}

std::vector<std::string> MSRPBMessageTableProblems() {
    std::vector<std::string> problems;
    for (const NanoLayout& layout : layouts().byID) {
        problems.insert(problems.end(), layout.problems.begin(), layout.problems.end());
    }
    return problems;
}

void NANOEncodedElementsAppend(std::string& elements, const uint8_t* bytes, size_t length) {
    uint8_t prefix[10];
    const uint8_t* prefixEnd = NANOPutVarint(prefix, length);
    elements.append(reinterpret_cast<const char*>(prefix), static_cast<size_t>(prefixEnd - prefix));
    if (length > 0) elements.append(reinterpret_cast<const char*>(bytes), length);
}

bool NANOEncodedElementsReader::next(std::span<const uint8_t>& element) {
    if (at_ == end_ || malformed_) return false;
    const uint8_t* chunkEnd = encodedChunkEnd(at_, end_);
    if (chunkEnd == nullptr) {
        malformed_ = true;
        return false;
    }
    // The length prefix is a well-formed varint: skip to its last byte.
    while (*at_ & 0x80) ++at_;
    ++at_;
    element = std::span<const uint8_t>(at_, chunkEnd);
    at_ = chunkEnd;
    return true;
}

std::optional<size_t> NANOEncodedElementsCount(std::string_view elements) {
    NANOEncodedElementsReader reader(elements);
    std::span<const uint8_t> element;
    size_t count = 0;
    while (reader.next(element)) ++count;
    if (reader.malformed()) return std::nullopt;
    return count;
}

std::vector<NANOMessageInfoPtr> NANOEncodedElementsDecode(const NANOEncodedElements& elements,
                                                          const MSRPBMessageType& elementType) {
    std::vector<NANOMessageInfoPtr> out;
    out.reserve(elements.count);
    NANOEncodedElementsReader reader(elements.bytes);
    std::span<const uint8_t> element;
    while (reader.next(element)) {
        NANOMessageInfoPtr info = NANOMessageInfoCreate(elementType);
        if (NANOMessageInfoDecode(*info, element.data(), element.size())) {
            out.push_back(std::move(info));
        } else {
            MSRPBLog(45008, "<ERROR> An encoded %s element does not decode; it is left out", elementType.name);
        }
    }
    if (reader.malformed())
        MSRPBLog(45009, "<ERROR> Encoded %s elements end inside an element", elementType.name);
    return out;
}

std::optional<std::string_view> NANOMessageInfoReadEncodedText(const MSRPBMessageType& type, const uint8_t* bytes,
                                                               size_t length, uint32_t index) {
    if (index >= type.fieldCount) return std::nullopt;
    const uint32_t word = type.fields[index].word;
    const uint32_t kind = kindOf(word);
    if (isRepeated(word) || (kind != kMSRPBKindString && kind != kMSRPBKindBytes)) return std::nullopt;
    std::string_view text;
    if (!DirectReader().firstText(Input{bytes, bytes + length}, layoutFor(type), index, text)) return std::nullopt;
    return text;
}
