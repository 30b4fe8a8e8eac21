#include "platform/foundation/Text.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <map>
#include <memory>
#include <tuple>

namespace foundation {

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

}  // namespace foundation
