#include "analytics/messages/MSRPBFlatEvent.h"

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

void appendVarint(std::vector<uint8_t>& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

size_t varintSize(uint64_t value) {
    size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

void appendDelimited(std::vector<uint8_t>& out, uint8_t key, std::string_view bytes) {
    out.push_back(key);
    appendVarint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// The length of a parameter's encoding: its name, then its one value.
size_t paramSize(const MSRPBFlatEventParam& param) {
    size_t size = 1 + varintSize(param.name.size()) + param.name.size() + 1;
    switch (param.kind) {
        case MSRPBFlatEventParam::Kind::kText:
            return size + varintSize(param.text.size()) + param.text.size();
        case MSRPBFlatEventParam::Kind::kInteger:
            return size + varintSize(static_cast<uint64_t>(param.integer));
        case MSRPBFlatEventParam::Kind::kDouble:
            return size + 8;
    }
    return size;
}

}  // namespace

void MSRPBAppendFlatEventEncoding(std::span<const MSRPBFlatEventParam> params, std::string_view name,
                                  int64_t timestampMillis, std::optional<int64_t> previousTimestampMillis,
                                  std::vector<uint8_t>& out) {
    for (const MSRPBFlatEventParam& param : params) {
        out.push_back(kEventParamKey);
        appendVarint(out, paramSize(param));
        appendDelimited(out, kParamNameKey, param.name);
        switch (param.kind) {
            case MSRPBFlatEventParam::Kind::kText:
                appendDelimited(out, kParamStringKey, param.text);
                break;
            case MSRPBFlatEventParam::Kind::kInteger:
                out.push_back(kParamIntKey);
                appendVarint(out, static_cast<uint64_t>(param.integer));
                break;
            case MSRPBFlatEventParam::Kind::kDouble: {
                out.push_back(kParamDoubleKey);
                const uint64_t bits = std::bit_cast<uint64_t>(param.real);
                for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
                break;
            }
        }
    }
    appendDelimited(out, kEventNameKey, name);
    out.push_back(kEventTimestampKey);
    appendVarint(out, static_cast<uint64_t>(timestampMillis));
    if (previousTimestampMillis) {
        out.push_back(kEventPreviousTimestampKey);
        appendVarint(out, static_cast<uint64_t>(*previousTimestampMillis));
    }
}

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
