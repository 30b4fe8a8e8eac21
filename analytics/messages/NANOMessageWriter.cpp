#include <cstdint>
#include <cstring>
#include <vector>

#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/NANOLayout.h"
#include "analytics/messages/NANOMessageInfo.h"
#include "analytics/messages/NANOVarint.h"

namespace {

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
uint64_t wireValue(const NANOField& field, uint32_t kind, uint64_t value) {
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

size_t scalarSize(const NANOField& field, uint64_t wire) {
    switch (PB_LTYPE(field.type)) {
        case PB_LTYPE_FIXED32:
            return 4;
        case PB_LTYPE_FIXED64:
            return 8;
        default:
            return NANOVarintSize(wire);
    }
}

uint8_t* putScalar(uint8_t* out, const NANOField& field, uint64_t wire) {
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

// Which cells the writer takes for a field is exactly what the reference
// codec's nanopb filling takes: a callback field only when it has content, a
// nested message only when present, a scalar only when set.
size_t measureMessage(const NANOLayout& layout, const NANOMessageInfo& info, std::vector<size_t>& lengths) {
    size_t total = 0;
    for (const NANOField& field : layout.fields) {
        const NANOCell& cell = info.fields[field.index];
        const MSRPBFieldSpec& spec = info.type->fields[field.index];
        if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
            if (const auto* text = std::get_if<std::string>(&cell)) {
                total += delimitedSize(field.key, text->size());
            } else if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
                for (const std::string& text : *texts) total += delimitedSize(field.key, text.size());
            } else if (const auto* messages = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
                const NANOLayout& elementLayout = *field.element;
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
                    total += keySize + scalarSize(field, wireValue(field, NANOKindOf(spec.word), value));
            }
        } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
            const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
            if (nested == nullptr || !*nested) continue;
            const size_t slot = lengths.size();
            lengths.push_back(0);
            lengths[slot] = measureMessage(NANOLayoutFor(*(*nested)->type), **nested, lengths);
            total += delimitedSize(field.key, lengths[slot]);
        } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
            total += NANOVarintSize(field.key) +
                     scalarSize(field, wireValue(field, NANOKindOf(spec.word), *value));
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
    void message(uint64_t key, const NANOLayout& layout, const NANOMessageInfo& info) {
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
            const uint8_t* chunkEnd = NANOEncodedChunkEnd(at, end);
            if (chunkEnd == nullptr) return;
            out = NANOPutVarint(out, key);
            std::memcpy(out, at, static_cast<size_t>(chunkEnd - at));
            out += chunkEnd - at;
            at = chunkEnd;
        }
    }
    void scalar(const NANOField& field, uint32_t kind, uint64_t value) {
        out = putScalar(NANOPutVarint(out, field.key), field, wireValue(field, kind, value));
    }

    // Same walk as measureMessage; the lengths it noted come back in order.
    void write(const NANOLayout& layout, const NANOMessageInfo& info) {
        for (const NANOField& field : layout.fields) {
            const NANOCell& cell = info.fields[field.index];
            const MSRPBFieldSpec& spec = info.type->fields[field.index];
            if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) {
                if (const auto* text = std::get_if<std::string>(&cell)) {
                    bytes(field.key, *text);
                } else if (const auto* texts = std::get_if<std::vector<std::string>>(&cell)) {
                    for (const std::string& text : *texts) bytes(field.key, text);
                } else if (const auto* messages = std::get_if<std::vector<NANOMessageInfoPtr>>(&cell)) {
                    const NANOLayout& elementLayout = *field.element;
                    for (const NANOMessageInfoPtr& element : *messages)
                        message(field.key, elementLayout, *element);
                } else if (const auto* encoded = std::get_if<NANOEncodedElements>(&cell)) {
                    encodedElements(field.key, *encoded);
                } else if (const auto* scalars = std::get_if<std::vector<uint64_t>>(&cell)) {
                    for (uint64_t value : *scalars) scalar(field, NANOKindOf(spec.word), value);
                }
            } else if (PB_LTYPE_IS_SUBMSG(field.type)) {
                const auto* nested = std::get_if<NANOMessageInfoPtr>(&cell);
                if (nested == nullptr || !*nested) continue;
                message(field.key, NANOLayoutFor(*(*nested)->type), **nested);
            } else if (const auto* value = std::get_if<uint64_t>(&cell)) {
                scalar(field, NANOKindOf(spec.word), *value);
            }
        }
    }
};

}  // namespace

std::optional<std::vector<uint8_t>> NANOMessageInfoEncode(const NANOMessageInfo& info) {
    const NANOLayout& layout = NANOLayoutFor(*info.type);
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
