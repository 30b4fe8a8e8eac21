#include "analytics/core/MSRStoredConfigurationPrograms.h"

#include <pb_decode.h>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/model/MSRFoundationAdditions.h"

namespace {

// One top-level field as it lies on the wire: its tag, every byte it takes
// (key included) and, for a length-delimited one, what it holds.
struct MSRStoredConfigurationField {
    uint32_t tag;
    std::span<const uint8_t> whole;
    std::span<const uint8_t> payload;
};

uint32_t storedConfigurationProgramTag() {
    return MSRPBMeasurementConfig::type().fields[MSRConfigSlot::kPrograms].tag;
}

// Calls `visit` with each top-level field of `encoded` in order; false when
// the bytes do not read as fields.
template <typename Visit>
bool forEachStoredConfigurationField(std::span<const uint8_t> encoded, Visit visit) {
    pb_istream_t stream = pb_istream_from_buffer(encoded.data(), encoded.size());
    const auto offset = [&] { return encoded.size() - stream.bytes_left; };
    while (stream.bytes_left > 0) {
        const size_t start = offset();
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        size_t payloadStart = offset();
        size_t payloadLength = 0;
        if (wireType == PB_WT_STRING) {
            uint32_t length = 0;
            if (!pb_decode_varint32(&stream, &length)) return false;
            payloadStart = offset();
            payloadLength = length;
            if (!pb_read(&stream, nullptr, length)) return false;
        } else if (!pb_skip_field(&stream, wireType)) {
            return false;
        }
        visit(MSRStoredConfigurationField{tag, encoded.subspan(start, offset() - start),
                                          encoded.subspan(payloadStart, payloadLength)});
    }
    return true;
}

}  // namespace

std::optional<std::string> MSRStoredConfigurationPrograms::programFields(std::span<const uint8_t> encoded) {
    const uint32_t programTag = storedConfigurationProgramTag();
    std::string fields;
    const bool read = forEachStoredConfigurationField(encoded, [&](const MSRStoredConfigurationField& field) {
        if (field.tag == programTag) fields.append(field.whole.begin(), field.whole.end());
    });
    if (!read) return std::nullopt;
    return fields;
}

std::optional<std::vector<uint8_t>> MSRStoredConfigurationPrograms::withProgramFields(
    std::span<const uint8_t> encoded, std::string_view programFields) {
    const uint32_t programTag = storedConfigurationProgramTag();
    std::vector<uint8_t> out;
    out.reserve(encoded.size() + programFields.size());
    bool placed = false;
    auto place = [&] {
        if (!placed) out.insert(out.end(), programFields.begin(), programFields.end());
        placed = true;
    };
    const bool read = forEachStoredConfigurationField(encoded, [&](const MSRStoredConfigurationField& field) {
        if (field.tag == programTag) return;
        if (field.tag > programTag) place();
        out.insert(out.end(), field.whole.begin(), field.whole.end());
    });
    if (!read) return std::nullopt;
    place();
    return out;
}

std::optional<uint64_t> MSRStoredConfigurationPrograms::firstProgramDigest(std::span<const uint8_t> encoded) {
    const uint32_t programTag = storedConfigurationProgramTag();
    std::optional<uint64_t> digest;
    const bool read = forEachStoredConfigurationField(encoded, [&](const MSRStoredConfigurationField& field) {
        if (field.tag == programTag && !digest) digest = msr_64LSBMD5(field.payload);
    });
    if (!read) return std::nullopt;
    return digest;
}
