#include "analytics/messages/MSRPBWireCount.h"

#include <pb_decode.h>

#include <algorithm>

namespace {

// Adds to `tally` the occurrences of the field at the end of `path` in the
// message read from `stream`.
bool countEncodedFields(pb_istream_t& stream, const MSRPBMessageType& type, std::span<const uint32_t> path,
                        MSRPBEncodedFieldTally& tally) {
    const MSRPBFieldSpec& field = type.fields[path.front()];
    const bool last = path.size() == 1;
    size_t here = 0;
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        if (tag != field.tag || !(last || wireType == PB_WT_STRING)) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        if (last) {
            ++here;
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const bool read = countEncodedFields(element, MSRPBMessageTypeFor(field.element), path.subspan(1), tally);
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    tally.total += here;
    tally.mostInOneMessage = std::max(tally.mostInOneMessage, here);
    return true;
}

}  // namespace

std::optional<size_t> MSRPBCountEncodedFields(std::span<const uint8_t> encodedMessage, const MSRPBMessageType& type,
                                              std::initializer_list<uint32_t> path) {
    const std::optional<MSRPBEncodedFieldTally> tally = MSRPBTallyEncodedFields(encodedMessage, type, path);
    if (!tally) return std::nullopt;
    return tally->total;
}

std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedFields(std::span<const uint8_t> encodedMessage,
                                                              const MSRPBMessageType& type,
                                                              std::initializer_list<uint32_t> path) {
    if (path.size() == 0) return std::nullopt;
    const MSRPBMessageType* step = &type;
    for (auto index = path.begin(); index != path.end(); ++index) {
        if (*index >= step->fieldCount) return std::nullopt;
        if (index + 1 == path.end()) break;
        if ((step->fields[*index].word & kMSRPBKindMessage) == 0) return std::nullopt;
        step = &MSRPBMessageTypeFor(step->fields[*index].element);
    }
    MSRPBEncodedFieldTally tally;
    pb_istream_t stream = pb_istream_from_buffer(encodedMessage.data(), encodedMessage.size());
    if (!countEncodedFields(stream, type, std::span<const uint32_t>(path.begin(), path.size()), tally))
        return std::nullopt;
    return tally;
}
