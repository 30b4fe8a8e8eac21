#include "platform/foundation/Text.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <map>
#include <memory>
#include <tuple>

namespace foundation {

namespace {

// The length of the UTF-8 sequence starting at `i`, or 0 when the bytes there
// are not one (overlong forms and surrogates included).
size_t utf8SequenceLength(std::string_view text, size_t i, uint32_t& codePoint) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || i + length > text.size()) return 0;
    codePoint = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

bool isUtf8(std::string_view text) {
    uint32_t codePoint = 0;
    for (size_t i = 0; i < text.size();) {
        // ASCII runs eight bytes at a time.
        uint64_t word = 0;
        if (i + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t length = utf8SequenceLength(text, i, codePoint);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string withoutControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8SequenceLength(text, i, codePoint);
        if (length == 0) {
            ++i;
            continue;
        }
        if (codePoint >= 0x20 && codePoint != 0x7F && !(codePoint >= 0x80 && codePoint <= 0x9F))
            out.append(text, i, length);
        i += length;
    }
    return out;
}

std::string printable(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8SequenceLength(text, i, codePoint);
        const auto byte = static_cast<unsigned char>(text[i]);
        if (length == 0) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
            ++i;
            continue;
        }
        if (codePoint == '\\') {
            out += "\\\\";
        } else if (codePoint == '\n') {
            out += "\\n";
        } else if (codePoint == '\t') {
            out += "\\t";
        } else if (codePoint == '\r') {
            out += "\\r";
        } else if (codePoint < 0x20 || codePoint == 0x7F) {
            out += "\\x";
            out += hex[codePoint >> 4];
            out += hex[codePoint & 0xF];
        } else if (codePoint >= 0x80 && codePoint <= 0x9F) {
            // C1 controls: some terminals take U+009B for an escape sequence.
            out += "\\u{";
            out += hex[codePoint >> 4];
            out += hex[codePoint & 0xF];
            out += "}";
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}


std::string shortestDoubleText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buffer, result.ptr);
    if (plain && text.find('.') == std::string::npos) text += ".0";
    return text;
}

namespace {

// Building an ICU formatter is far dearer than using one; keep one per setting
// for this thread. The formatters are immutable once built.
const icu::number::LocalizedNumberFormatter& decimalFormatter(int minimumDigits, int maximumDigits,
                                                              bool grouping) {
    using Key = std::tuple<int, int, bool>;
    thread_local std::map<Key, std::unique_ptr<icu::number::LocalizedNumberFormatter>> formatters;
    auto& slot = formatters[Key(minimumDigits, maximumDigits, grouping)];
    if (!slot) {
        slot = std::make_unique<icu::number::LocalizedNumberFormatter>(
            icu::number::NumberFormatter::withLocale(icu::Locale("en_US"))
                .precision(icu::number::Precision::minMaxFraction(minimumDigits, maximumDigits))
                .roundingMode(UNUM_ROUND_HALFEVEN)
                .grouping(grouping ? UNUM_GROUPING_ON_ALIGNED : UNUM_GROUPING_OFF));
    }
    return *slot;
}

}  // namespace

std::string formatDecimal(double value, int minimumFractionDigits, int maximumFractionDigits, bool grouping) {
    const int maximumDigits = std::clamp(maximumFractionDigits, 0, 100);
    const int minimumDigits = std::clamp(minimumFractionDigits, 0, maximumDigits);
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString formatted =
        decimalFormatter(minimumDigits, maximumDigits, grouping).formatDouble(value, status).toString(status);
    if (U_FAILURE(status)) return shortestDoubleText(value);
    std::string text;
    formatted.toUTF8String(text);
    return text;
}

std::string stringWithFormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string stringWithFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = stringWithFormatV(format, args);
    va_end(args);
    return text;
}

void appendUtf8(std::string& text, uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace foundation
