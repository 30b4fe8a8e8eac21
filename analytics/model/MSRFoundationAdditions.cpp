#include "analytics/model/MSRFoundationAdditions.h"

#include "analytics/model/MSRCodePoints.h"
#include "analytics/support/MSRNumericUtil.h"
#include "analytics/support/MSRPercentEncoding.h"
#include "platform/security/Digest.h"

#include <cmath>
#include <limits>

namespace {

// The query-allowed characters beyond the unreserved ones, without the three
// that carry meaning in a query ("&" and "=" split pairs, "+" reads back as a
// blank).
constexpr std::string_view kQueryValueCharacters = "!$'()*,;:@/?";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int64_t msr_UTF32Length(std::string_view text) {
    int64_t count = 0;
    MSRForEachCodePoint(text, [&](int32_t, int32_t, UChar32) {
        ++count;
        return true;
    });
    return count;
}

int64_t msr_UTF32LengthAtMost(std::string_view text, int64_t limit) {
    int64_t count = 0;
    MSRForEachCodePoint(text, [&](int32_t, int32_t, UChar32) { return ++count <= limit; });
    return count;
}

int64_t msr_UTF16Length(std::string_view text) {
    int64_t count = 0;
    MSRForEachCodePoint(text, [&](int32_t, int32_t, UChar32 c) {
        count += c > 0xFFFF ? 2 : 1;
        return true;
    });
    return count;
}

std::string msr_UTF32Prefix(std::string_view text, int64_t maxLength) {
    if (maxLength <= 0) return {};
    int64_t count = 0;
    size_t end = text.size();
    MSRForEachCodePoint(text, [&](int32_t start, int32_t, UChar32) {
        if (count == maxLength) {
            end = static_cast<size_t>(start);
            return false;
        }
        ++count;
        return true;
    });
    return std::string(text.substr(0, end));
}

bool msr_getUTF32Bytes(std::string_view text, std::span<uint8_t> buffer) {
    size_t at = 0;
    bool fits = true;
    MSRForEachCodePoint(text, [&](int32_t, int32_t, UChar32 c) {
        if (at + 4 > buffer.size()) {
            fits = false;
            return false;
        }
        const uint32_t unit = c < 0 ? 0xFFFDu : static_cast<uint32_t>(c);
        for (int b = 0; b < 4; ++b) buffer[at++] = static_cast<uint8_t>(unit >> (8 * b));
        return true;
    });
    return fits;
}

std::array<uint8_t, 16> msr_MD5Data(std::span<const uint8_t> data) {
    return security::md5(data.data(), data.size());
}

uint64_t msr_64LeastSignificantBits(std::span<const uint8_t> data) {
    const size_t count = data.size() < 8 ? data.size() : 8;
    uint64_t value = 0;
    for (size_t i = data.size() - count; i < data.size(); ++i) value = (value << 8) | data[i];
    return value;
}

uint64_t msr_64LSBMD5(std::span<const uint8_t> data) {
    const std::array<uint8_t, 16> digest = msr_MD5Data(data);
    return msr_64LeastSignificantBits(digest);
}

std::string msr_MD5String(std::string_view text) {
    return security::md5Hex(text);
}

std::string msr_queryString(const std::map<std::string, std::string>& arguments) {
    std::string out;
    for (const auto& [key, value] : arguments) {
        if (!out.empty()) out.push_back('&');
        out += MSRPercentEncoded(key, kQueryValueCharacters);
        out.push_back('=');
        out += MSRPercentEncoded(value, kQueryValueCharacters);
    }
    return out;
}

std::string msr_stringByUnescapingFromURLArgument(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (i + 2 >= text.size()) return {};
            const int high = hexDigit(text[i + 1]);
            const int low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0) return {};
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    // A decoding that does not give UTF-8 text is a failed decoding.
    bool valid = true;
    MSRForEachCodePoint(out, [&](int32_t, int32_t, UChar32 c) {
        valid = c >= 0;
        return valid;
    });
    return valid ? out : std::string();
}

std::map<std::string, std::string> msr_dictionaryWithHttpArgumentsString(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t amp = text.find('&', start);
        parts.push_back(
            text.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    std::map<std::string, std::string> out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        const std::string_view part = *it;
        if (part.empty()) continue;
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            out[msr_stringByUnescapingFromURLArgument(part)] = "";
        } else {
            out[msr_stringByUnescapingFromURLArgument(part.substr(0, eq))] =
                msr_stringByUnescapingFromURLArgument(part.substr(eq + 1));
        }
    }
    return out;
}

bool isBitEnabledAtIndex(std::string_view bits, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) >= bits.size()) return false;
    return bits[static_cast<size_t>(index)] == '1';
}

int64_t MSRSaturatingInt64(double value) {
    return MSRSaturatingInteger<int64_t>(value);
}

int64_t MSRMillisecondsFromSeconds(double seconds) {
    return MSRSaturatingInt64(seconds * 1000.0);
}

std::optional<bool> msr_truthOfNumber(const foundation::Value& value) {
    if (auto flag = value.boolValue()) return flag;
    if (auto number = value.doubleValue()) return *number != 0;
    return std::nullopt;
}
