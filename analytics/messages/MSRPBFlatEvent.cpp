#include "analytics/messages/MSRPBFlatEvent.h"

#include <bit>
#include <cstring>

#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/NANOMessageInfo.h"

namespace {

// Keys of the simple form: tag and wire type in one byte.
enum : uint8_t {
    kEventParamKey = 0x0A,              // params, length-delimited
    kEventTimestampKey = 0x18,          // timestamp_millis, varint
    kEventPreviousTimestampKey = 0x20,  // previous_timestamp_millis, varint
    kParamNameKey = 0x0A,               // name, length-delimited
    kParamStringKey = 0x12,             // string_value, length-delimited
    kParamIntKey = 0x18,                // int_value, varint
    kParamDoubleKey = 0x29,             // double_value, 64-bit
};

struct Input {
    const uint8_t* at;
    const uint8_t* end;
};

// A varint as the full decode takes it: at most ten bytes, the tenth 0 or 1.
bool readVarint(Input& in, uint64_t& out) {
    uint64_t result = 0;
    for (unsigned shift = 0; in.at != in.end; shift += 7) {
        const uint8_t next = *in.at++;
        if (shift >= 63 && (next & 0xFE) != 0) return false;
        result |= static_cast<uint64_t>(next & 0x7F) << shift;
        if ((next & 0x80) == 0) {
            out = result;
            return true;
        }
    }
    return false;
}

// Lengths of up to four bytes, where every varint reading agrees on the value.
bool readDelimited(Input& in, std::string_view& out) {
    uint64_t length = 0;
    const uint8_t* start = in.at;
    if (!readVarint(in, length) || in.at - start > 4) return false;
    if (length > static_cast<uint64_t>(in.end - in.at) || length > kNANOMaxDecodedFieldBytes) return false;
    out = std::string_view(reinterpret_cast<const char*>(in.at), static_cast<size_t>(length));
    in.at += length;
    return true;
}

bool readParam(Input in, MSRPBFlatEventParam& param) {
    bool named = false;
    int values = 0;
    while (in.at != in.end) {
        const uint8_t key = *in.at++;
        switch (key) {
            case kParamNameKey:
                if (named || !readDelimited(in, param.name)) return false;
                named = true;
                break;
            case kParamStringKey:
                if (values++ != 0 || !readDelimited(in, param.text)) return false;
                param.kind = MSRPBFlatEventParam::Kind::kText;
                break;
            case kParamIntKey: {
                uint64_t value = 0;
                if (values++ != 0 || !readVarint(in, value)) return false;
                param.kind = MSRPBFlatEventParam::Kind::kInteger;
                param.integer = static_cast<int64_t>(value);
                break;
            }
            case kParamDoubleKey: {
                if (values++ != 0 || in.end - in.at < 8) return false;
                uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in.at[i]) << (8 * i);
                in.at += 8;
                param.kind = MSRPBFlatEventParam::Kind::kDouble;
                param.real = std::bit_cast<double>(bits);
                break;
            }
            default:
                return false;
        }
    }
    return named && values == 1 && MSRPBIsUTF8(param.name) &&
           (param.kind != MSRPBFlatEventParam::Kind::kText || MSRPBIsUTF8(param.text));
}

}  // namespace

bool MSRPBReadFlatEvent(std::span<const uint8_t> bytes, MSRPBFlatEvent& event) {
    event.previousTimestampMillis = 0;
    event.params.clear();
    Input in{bytes.data(), bytes.data() + bytes.size()};
    while (in.at != in.end) {
        const uint8_t key = *in.at++;
        uint64_t value = 0;
        switch (key) {
            case kEventParamKey: {
                std::string_view content;
                if (!readDelimited(in, content)) return false;
                const auto* start = reinterpret_cast<const uint8_t*>(content.data());
                if (!readParam(Input{start, start + content.size()}, event.params.emplace_back()))
                    return false;
                break;
            }
            case kEventTimestampKey:
                if (!readVarint(in, value)) return false;
                break;
            case kEventPreviousTimestampKey:
                if (!readVarint(in, value)) return false;
                event.previousTimestampMillis = static_cast<int64_t>(value);
                break;
            default:
                return false;
        }
    }
    return true;
}
