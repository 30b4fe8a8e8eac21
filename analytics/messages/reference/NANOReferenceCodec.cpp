#include "analytics/messages/reference/NANOReferenceCodec.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include <pb.h>
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/NANOLayout.h"
#include "analytics/messages/NANOVarint.h"

// The codec drives nanopb itself over the same layouts: the layout drives
// filling the structure for encoding and reading it back after decoding.
// Strings and repeated fields are nanopb callback fields; their callbacks
// read and write the cells directly, so decoding is a single pass.

namespace {

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
    explicit Scratch(const NANOLayout& layout) : size_(layout.structSize), capacity_(layout.callbackCount) {
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
    const uint32_t kind = NANOKindOf(spec.word);

    if (!NANOIsRepeated(spec.word)) {
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

void prepareDecode(const NANOLayout& layout, char* base, NANOMessageInfo& info, Scratch& scratch, int depth) {
    for (const NANOField& field : layout.fields) {
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
            prepareDecode(NANOLayoutFor(nestedType), data, nestedRef, scratch, depth + 1);
        }
    }
}

uint64_t loadScalar(const char* data, const NANOField& field) {
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

void copyDecoded(const NANOLayout& layout, const char* base, NANOMessageInfo& info) {
    for (const NANOField& field : layout.fields) {
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
            copyDecoded(NANOLayoutFor(*nested.type), base + field.dataOffset, nested);
        } else if (present) {
            cell = loadScalar(base + field.dataOffset, field);
        }
    }
}

bool decodeInto(pb_istream_t* stream, NANOMessageInfo& info, int depth) {
    const NANOLayout& layout = NANOLayoutFor(*info.type);
    Scratch scratch(layout);
    prepareDecode(layout, scratch.structData(), info, scratch, depth);
    if (!pb_decode_ex(stream, layout.desc, scratch.structData(), PB_DECODE_NOINIT)) {
        MSRPBLog(45003, "<ERROR> %s decoder failed: %s", info.type->name, PB_GET_ERROR(stream));
        return false;
    }
    copyDecoded(layout, scratch.structData(), info);
    return true;
}

// ---------------------------------------------------------------- encoding

void fillForEncode(const NANOLayout& layout, char* base, const NANOMessageInfo& info, Scratch& scratch);

bool encodeCallback(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* context = static_cast<const CallbackArg*>(*arg);
    const NANOMessageInfo& info = *context->source;
    const MSRPBFieldSpec& spec = info.type->fields[context->index];
    const NANOCell& cell = info.fields[context->index];
    const uint32_t kind = NANOKindOf(spec.word);

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
        const NANOLayout& elementLayout = NANOLayoutFor(MSRPBMessageTypeFor(spec.element));
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
            const uint8_t* chunkEnd = NANOEncodedChunkEnd(at, end);
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

void storeScalar(char* data, const NANOField& field, uint64_t value) {
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

void fillForEncode(const NANOLayout& layout, char* base, const NANOMessageInfo& info, Scratch& scratch) {
    for (const NANOField& field : layout.fields) {
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
            fillForEncode(NANOLayoutFor(*(*nested)->type), data, **nested, scratch);
        } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
            if (field.presenceOffset >= 0) *reinterpret_cast<bool*>(base + field.presenceOffset) = true;
            storeScalar(data, field, *value);
        }
    }
}

}  // namespace

bool NANOMessageInfoDecodeWithNanopb(NANOMessageInfo& info, const uint8_t* bytes, size_t length) {
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    return decodeInto(&stream, info, 0);
}

std::optional<std::vector<uint8_t>> NANOMessageInfoEncodeWithNanopb(const NANOMessageInfo& info) {
    const NANOLayout& layout = NANOLayoutFor(*info.type);
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
