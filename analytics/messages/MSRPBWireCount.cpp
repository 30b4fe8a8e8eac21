#include "analytics/messages/MSRPBWireCount.h"

#include <pb_decode.h>

#include <algorithm>

#include "analytics/messages/NANOMessageInfo.h"

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
            if (wireType == PB_WT_STRING) {
                uint32_t length = 0;
                if (!pb_decode_varint32(&stream, &length) || !pb_read(&stream, nullptr, length)) return false;
                tally.bytes += length;
                continue;
            }
            const size_t before = stream.bytes_left;
            if (!pb_skip_field(&stream, wireType)) return false;
            tally.bytes += before - stream.bytes_left;
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

// Adds to `count` the messages of `sought` nested at any depth in the
// message of `type` read from `stream` (`depth` its own nesting).
bool countNestedMessages(pb_istream_t& stream, const MSRPBMessageType& type, MSRPBMessageID sought, int depth,
                         size_t& count) {
    if (depth > kNANOMaxNestingDepth) return false;
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        const MSRPBFieldSpec* field = nullptr;
        for (uint32_t i = 0; i < type.fieldCount && !field; ++i)
            if (type.fields[i].tag == tag) field = &type.fields[i];
        if (!field || (field->word & kMSRPBKindMessage) == 0 || wireType != PB_WT_STRING) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        if (field->element == sought) ++count;
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const bool read =
            countNestedMessages(element, MSRPBMessageTypeFor(field->element), sought, depth + 1, count);
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    return true;
}

// Adds to `tally` the messages of `sought` within each occurrence of the
// message field at the end of `path` in the message read from `stream`.
bool tallyNestedMessages(pb_istream_t& stream, const MSRPBMessageType& type, std::span<const uint32_t> path,
                         MSRPBMessageID sought, int depth, MSRPBEncodedFieldTally& tally) {
    const MSRPBFieldSpec& field = type.fields[path.front()];
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        if (tag != field.tag || wireType != PB_WT_STRING) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const MSRPBMessageType& elementType = MSRPBMessageTypeFor(field.element);
        bool read = false;
        if (path.size() == 1) {
            size_t count = field.element == sought ? 1 : 0;
            read = countNestedMessages(element, elementType, sought, depth + 1, count);
            tally.total += count;
            tally.mostInOneMessage = std::max(tally.mostInOneMessage, count);
        } else {
            read = tallyNestedMessages(element, elementType, path.subspan(1), sought, depth + 1, tally);
        }
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    return true;
}

// Whether `path` names message fields only, from `type` on.
bool isMessagePath(const MSRPBMessageType& type, std::initializer_list<uint32_t> path) {
    const MSRPBMessageType* step = &type;
    for (const uint32_t index : path) {
        if (index >= step->fieldCount || (step->fields[index].word & kMSRPBKindMessage) == 0) return false;
        step = &MSRPBMessageTypeFor(step->fields[index].element);
    }
    return path.size() > 0;
}

}  // namespace

std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedNestedMessages(std::span<const uint8_t> encodedMessage,
                                                                      const MSRPBMessageType& type,
                                                                      std::initializer_list<uint32_t> path,
                                                                      MSRPBMessageID sought) {
    if (!isMessagePath(type, path)) return std::nullopt;
    MSRPBEncodedFieldTally tally;
    pb_istream_t stream = pb_istream_from_buffer(encodedMessage.data(), encodedMessage.size());
    if (!tallyNestedMessages(stream, type, std::span<const uint32_t>(path.begin(), path.size()), sought, 0, tally))
        return std::nullopt;
    return tally;
}

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
