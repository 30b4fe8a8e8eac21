#include "analytics/messages/MSRPBLog.h"
#include "analytics/messages/NANOMessageInfo.h"
#include "analytics/messages/NANOVarint.h"

void NANOEncodedElementsAppend(std::string& elements, const uint8_t* bytes, size_t length) {
    uint8_t prefix[10];
    const uint8_t* prefixEnd = NANOPutVarint(prefix, length);
    elements.append(reinterpret_cast<const char*>(prefix), static_cast<size_t>(prefixEnd - prefix));
    if (length > 0) elements.append(reinterpret_cast<const char*>(bytes), length);
}

bool NANOEncodedElementsReader::next(std::span<const uint8_t>& element) {
    if (at_ == end_ || malformed_) return false;
    const uint8_t* chunkEnd = NANOEncodedChunkEnd(at_, end_);
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
            MSRPBLog(45008, "<ERROR> An encoded %s element does not decode; it is left out",
                     elementType.name);
        }
    }
    if (reader.malformed())
        MSRPBLog(45009, "<ERROR> Encoded %s elements end inside an element", elementType.name);
    return out;
}
