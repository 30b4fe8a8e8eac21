#include "Calvaro/engine/TextFormat.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

std::string stringWithFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}

std::string formatG(double value) { return stringWithFormat("%g", value); }

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

// Building an ICU formatter is far dearer than using one; keep one per digit
// count for this thread. The formatters are immutable once built.
const icu::number::LocalizedNumberFormatter& decimalFormatter(int maximumFractionDigits) {
    thread_local std::map<int, std::unique_ptr<icu::number::LocalizedNumberFormatter>> formatters;
    auto& slot = formatters[maximumFractionDigits];
    if (!slot) {
        slot = std::make_unique<icu::number::LocalizedNumberFormatter>(
            icu::number::NumberFormatter::withLocale(icu::Locale("en_US"))
                .precision(icu::number::Precision::minMaxFraction(0, maximumFractionDigits))
                .roundingMode(UNUM_ROUND_HALFEVEN)
                .grouping(UNUM_GROUPING_OFF));
    }
    return *slot;
}

}  // namespace

std::string formatDecimal(double value, int maximumFractionDigits) {
    const int digits = std::clamp(maximumFractionDigits, 0, 100);
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString formatted = decimalFormatter(digits).formatDouble(value, status).toString(status);
    std::string text;
    if (U_FAILURE(status)) return formatG(value);
    formatted.toUTF8String(text);
    // Grouping is off already; the separator is dropped as well so that no
    // locale data can bring one back.
    text.erase(std::remove(text.begin(), text.end(), ','), text.end());
    return text;
}
