#include "analytics/support/MSRNumericUtil.h"

#include "analytics/support/MSRMonitor.h"
#include "platform/security/Random.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr const char* kDecimalNumberPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

// Built on first use; a failed build is retried by the next call.
std::mutex gPatternMutex;
std::unique_ptr<icu::RegexPattern> gPattern;

const icu::RegexPattern* decimalNumberPattern() {
    std::lock_guard lock(gPatternMutex);
    if (gPattern) return gPattern.get();
    UParseError parseError;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(kDecimalNumberPattern), UREGEX_CASE_INSENSITIVE, parseError,
        status));
    if (U_FAILURE(status) || !pattern) {
        MSRMonitor::shared()->logWithLevel(
            2, 26000, "Unable to initialize decimal number regexp. Regex, error",
            {kDecimalNumberPattern, std::string(u_errorName(status))});
        return nullptr;
    }
    gPattern = std::move(pattern);
    return gPattern.get();
}

}  // namespace

bool MSRIsDecimalNumberString(std::string_view text) {
    const icu::RegexPattern* pattern = decimalNumberPattern();
    if (!pattern || text.empty()) return false;
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

std::optional<MSRDecimalNumber> MSRDecimalNumberFromString(std::string_view text) {
    if (!MSRIsDecimalNumberString(text)) {
        MSRMonitor::shared()->logWithLevel(
            2, 26001, "String value does not represent a numeric value. Value", {text});
        return std::nullopt;
    }
    bool lostDigits = false;
    std::optional<MSRDecimalNumber> number = MSRDecimalNumber::fromString(text, &lostDigits);
    if (!number) {
        MSRMonitor::shared()->logWithLevel(
            2, 26002, "Unable to create a NSDecimalNumber from string value. Value", {text});
        return std::nullopt;
    }

    std::string normalized(text);
    if (normalized.starts_with("+.") || normalized.starts_with("-.") ||
        normalized.starts_with(".")) {
        std::string replaced;
        for (char c : normalized) replaced += c == '.' ? std::string("0.") : std::string(1, c);
        normalized = std::move(replaced);
    }

    // The canonical text of the magnitude must appear in the text, and no
    // dropped digit may be other than zero: a number that reads back
    // differently from what the server wrote must not be compared.
    const MSRDecimalNumber magnitude = number->isNegative() ? number->negated() : *number;
    const bool precise =
        !lostDigits && normalized.find(magnitude.description()) != std::string::npos;
    if (!precise) {
        MSRMonitor::shared()->logWithLevel(
            2, 26003,
            "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
            {normalized});
        return std::nullopt;
    }
    return number;
}

int64_t MSRNumericUtil::randomInt64() {
    std::optional<int64_t> value = security::randomInt64();
    if (!value) {
        MSRMonitor::shared()->logWithLevel(5, 26004, "Unable to generate random integer",
                                           {std::string(std::strerror(errno))});
    }
    return value.value_or(0);
}
