#include "analytics/messages/MSRPBFlatEvent.h"
#include "analytics/messages/NANOVarint.h"

#include <bit>
#include <cstring>

#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/NANOMessageInfo.h"

namespace {

// Keys of the simple form: tag and wire type in one byte.
enum : uint8_t {
    kEventParamKey = 0x0A,              // params, length-delimited
    kEventNameKey = 0x12,               // name, length-delimited (never stored)
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
    // Most are one byte: keys' values, lengths, small numbers.
    if (in.at != in.end && *in.at < 0x80) {
        out = *in.at++;
        return true;
    }
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

// `nameFirst`: whether the name came before the value.
bool readParam(Input in, MSRPBFlatEventParam& param, bool& nameFirst) {
    bool named = false;
    nameFirst = in.at != in.end && *in.at == kParamNameKey;
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

size_t delimitedSize(std::string_view bytes) { return 1 + NANOVarintSize(bytes.size()) + bytes.size(); }

uint8_t* putDelimited(uint8_t* at, uint8_t key, std::string_view bytes) {
    *at++ = key;
    at = NANOPutVarint(at, bytes.size());
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    return at + bytes.size();
}

// The length of a parameter's encoding: its name, then its one value.
size_t paramSize(const MSRPBFlatEventParam& param) {
    const size_t size = delimitedSize(param.name);
    switch (param.kind) {
        case MSRPBFlatEventParam::Kind::kText:
            return size + delimitedSize(param.text);
        case MSRPBFlatEventParam::Kind::kInteger:
            return size + 1 + NANOVarintSize(static_cast<uint64_t>(param.integer));
        case MSRPBFlatEventParam::Kind::kDouble:
            return size + 1 + 8;
    }
    return size;
}

}  // namespace

namespace {

size_t tailSize(std::string_view name, int64_t timestampMillis, std::optional<int64_t> previousTimestampMillis) {
    size_t size = delimitedSize(name) + 1 + NANOVarintSize(static_cast<uint64_t>(timestampMillis));
    if (previousTimestampMillis) size += 1 + NANOVarintSize(static_cast<uint64_t>(*previousTimestampMillis));
    return size;
}

// The fields after the parameters: name and times.
void putTail(uint8_t* at, std::string_view name, int64_t timestampMillis,
             std::optional<int64_t> previousTimestampMillis) {
    at = putDelimited(at, kEventNameKey, name);
    *at++ = kEventTimestampKey;
    at = NANOPutVarint(at, static_cast<uint64_t>(timestampMillis));
    if (previousTimestampMillis) {
        *at++ = kEventPreviousTimestampKey;
        NANOPutVarint(at, static_cast<uint64_t>(*previousTimestampMillis));
    }
}

}  // namespace

void MSRPBAppendFlatEventEncoding(std::span<const MSRPBFlatEventParam> params, std::string_view name,
                                  int64_t timestampMillis, std::optional<int64_t> previousTimestampMillis,
                                  std::vector<uint8_t>& out) {
    size_t size = tailSize(name, timestampMillis, previousTimestampMillis);
    for (const MSRPBFlatEventParam& param : params) {
        const size_t length = paramSize(param);
        size += 1 + NANOVarintSize(length) + length;
    }
    const size_t start = out.size();
    out.resize(start + size);
    uint8_t* at = out.data() + start;
    for (const MSRPBFlatEventParam& param : params) {
        *at++ = kEventParamKey;
        at = NANOPutVarint(at, paramSize(param));
        at = putDelimited(at, kParamNameKey, param.name);
        switch (param.kind) {
            case MSRPBFlatEventParam::Kind::kText:
                at = putDelimited(at, kParamStringKey, param.text);
                break;
            case MSRPBFlatEventParam::Kind::kInteger:
                *at++ = kParamIntKey;
                at = NANOPutVarint(at, static_cast<uint64_t>(param.integer));
                break;
            case MSRPBFlatEventParam::Kind::kDouble: {
                *at++ = kParamDoubleKey;
                const uint64_t bits = std::bit_cast<uint64_t>(param.real);
                for (int i = 0; i < 8; ++i) *at++ = static_cast<uint8_t>(bits >> (8 * i));
                break;
            }
        }
    }
    putTail(at, name, timestampMillis, previousTimestampMillis);
}

void MSRPBAppendFlatEventEncoding(const MSRPBFlatEvent& event, std::string_view name, int64_t timestampMillis,
                                  std::optional<int64_t> previousTimestampMillis, std::vector<uint8_t>& out) {
    if (!event.hasEncodedParams) {
        MSRPBAppendFlatEventEncoding(event.params, name, timestampMillis, previousTimestampMillis, out);
        return;
    }
    const size_t start = out.size();
    out.resize(start + event.encodedParams.size() + tailSize(name, timestampMillis, previousTimestampMillis));
    uint8_t* at = out.data() + start;
    if (!event.encodedParams.empty()) std::memcpy(at, event.encodedParams.data(), event.encodedParams.size());
    putTail(at + event.encodedParams.size(), name, timestampMillis, previousTimestampMillis);
}

bool MSRPBReadFlatEvent(std::span<const uint8_t> bytes, MSRPBFlatEvent& event) {
    event.previousTimestampMillis = 0;
    event.params.clear();
    Input in{bytes.data(), bytes.data() + bytes.size()};
    // Whether the parameters so far lead the bytes as the encoding writes them.
    bool encoded = true;
    bool otherFieldSeen = false;
    const uint8_t* paramsEnd = in.at;
    while (in.at != in.end) {
        const uint8_t key = *in.at++;
        uint64_t value = 0;
        switch (key) {
            case kEventParamKey: {
                const uint8_t* lengthAt = in.at;
                std::string_view content;
                if (!readDelimited(in, content)) return false;
                const auto* start = reinterpret_cast<const uint8_t*>(content.data());
                MSRPBFlatEventParam& param = event.params.emplace_back();
                bool nameFirst = false;
                if (!readParam(Input{start, start + content.size()}, param, nameFirst)) return false;
                // Longer than written means a varint written longer than
                // needed; shorter cannot be.
                encoded = encoded && !otherFieldSeen && nameFirst &&
                          static_cast<size_t>(start - lengthAt) == NANOVarintSize(content.size()) &&
                          content.size() == paramSize(param);
                paramsEnd = in.at;
                break;
            }
            case kEventTimestampKey:
                if (!readVarint(in, value)) return false;
                otherFieldSeen = true;
                break;
            case kEventPreviousTimestampKey:
                if (!readVarint(in, value)) return false;
                event.previousTimestampMillis = static_cast<int64_t>(value);
                otherFieldSeen = true;
                break;
            default:
                return false;
        }
    }
    event.hasEncodedParams = encoded;
    event.encodedParams = encoded ? std::span<const uint8_t>(bytes.data(), paramsEnd) : std::span<const uint8_t>();
    return true;
}
