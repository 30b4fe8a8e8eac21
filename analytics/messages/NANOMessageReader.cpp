#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/NANOLayout.h"
#include "analytics/messages/NANOMessageInfo.h"

namespace {

// Driving nanopb's decoder costs a zeroed C structure and a callback setup per
// nested message, and the upload road decodes large trees (stored raw events,
// queued bundles). The direct reader walks the bytes over the same field
// tables and ends as the reference codec's decode ends for every input: the
// same cells where it succeeds, failure where it fails. Its checks are
// therefore nanopb's own, quirks included: tags, lengths and single bools are
// read as 32-bit varints, a callback field of a non-length-delimited wire type
// receives that value's raw bytes, a single string keeps its first
// occurrence, a repeated scalar in a length-delimited field is read packed.
// The log lines are the reference decode's too.

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
bool surelyWellFormed(const uint8_t* at, const uint8_t* end, const NANOLayout& layout, int depth) {
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
        const NANOField& field = layout.fields[static_cast<size_t>(layout.positionByTag[tag])];
        if ((key & 7) != (field.key & 7)) return false;
        uint64_t value = 0;
        switch (field.quick) {
            case NANOField::kVarint4:
                if (!varint(4, value)) return false;
                break;
            case NANOField::kVarint10:
                if (!varint(10, value)) return false;
                break;
            case NANOField::kFixed4:
            case NANOField::kFixed8: {
                const size_t size = field.quick == NANOField::kFixed4 ? 4 : 8;
                if (static_cast<size_t>(end - at) < size) return false;
                at += size;
                break;
            }
            default: {
                if (!varint(4, value) || value > static_cast<uint64_t>(end - at)) return false;
                const uint8_t* contentEnd = at + value;
                if (field.quick == NANOField::kText) {
                    if (value > kNANOMaxDecodedFieldBytes) return false;
                } else if (field.quick == NANOField::kNested) {
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
        return message(in, NANOLayoutFor(type), info, depth);
    }
    bool message(Input in, const NANOLayout& layout, NANOMessageInfo* info, int depth) {
        if (fields(in, layout, info, depth)) return true;
        MSRPBLog(45003, "<ERROR> %s decoder failed: %s", layout.type->name, error_ ? error_ : "(none)");
        return false;
    }

    // The text a decode would keep for the single string or bytes field
    // `index`: its first occurrence, read as callbackField hands it over.
    // The rest of the message is only skipped over, not checked.
    bool firstText(Input in, const NANOLayout& layout, uint32_t index, std::string_view& out) {
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

    bool fields(Input in, const NANOLayout& layout, NANOMessageInfo* info, int depth) {
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
            const NANOField& field = layout.fields[static_cast<size_t>(position)];
            const bool ok = PB_ATYPE(field.type) == PB_ATYPE_CALLBACK
                                ? callbackField(in, wireType, layout, field, info, depth)
                                : staticField(in, wireType, field, info, depth);
            if (!ok) return false;
        }
        return true;
    }

    // Scalars and nested single messages: the wire type must be the field's;
    // a later occurrence overwrites a scalar and merges into a message.
    bool staticField(Input& in, uint32_t wireType, const NANOField& field, NANOMessageInfo* info, int depth) {
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
                const NANOLayout& nestedLayout = *field.element;
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
    bool callbackField(Input& in, uint32_t wireType, const NANOLayout& layout, const NANOField& field,
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

    bool callbackValue(Input& in, const NANOLayout& layout, const NANOField& field, NANOMessageInfo* info,
                       int depth) {
        const MSRPBFieldSpec& spec = layout.type->fields[field.index];
        NANOCell* cell = info != nullptr ? &info->fields[field.index] : nullptr;
        const uint32_t kind = NANOKindOf(spec.word);
        if (!NANOIsRepeated(spec.word)) {
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
            const NANOLayout& elementLayout = *field.element;
            const MSRPBMessageType& elementType = *elementLayout.type;
            if (depth + 1 > kNANOMaxNestingDepth) {
                MSRPBLog(45001, "<ERROR> %s decoder failed: nesting deeper than %d levels", layout.type->name,
                         kNANOMaxNestingDepth);
                return false;
            }
            const bool keep =
                depth == 0 && info != nullptr &&
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

bool NANOMessageInfoDecode(NANOMessageInfo& info, const uint8_t* bytes, size_t length) {
    return DirectReader().message(Input{bytes, bytes + length}, *info.type, &info, 0);
}

bool NANOMessageInfoDecodeKeepingEncoded(NANOMessageInfo& info, const uint8_t* bytes, size_t length,
                                         std::span<const uint32_t> keptEncoded) {
    return DirectReader(keptEncoded, length).message(Input{bytes, bytes + length}, *info.type, &info, 0);
}

std::optional<std::string_view> NANOMessageInfoReadEncodedText(const MSRPBMessageType& type,
                                                               const uint8_t* bytes, size_t length,
                                                               uint32_t index) {
    if (index >= type.fieldCount) return std::nullopt;
    const uint32_t word = type.fields[index].word;
    const uint32_t kind = NANOKindOf(word);
    if (NANOIsRepeated(word) || (kind != kMSRPBKindString && kind != kMSRPBKindBytes)) return std::nullopt;
    std::string_view text;
    if (!DirectReader().firstText(Input{bytes, bytes + length}, NANOLayoutFor(type), index, text))
        return std::nullopt;
    return text;
}
