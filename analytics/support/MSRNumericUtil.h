#pragma once

#include "analytics/support/MSRDecimalNumber.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

// Whether the text is one plain decimal number: an optional sign, digits and
// at most one point ("12", "+12", "12.", "12.5", ".5"); no exponent, no
// grouping, no blanks.
bool MSRIsDecimalNumberString(std::string_view text);

// The number of a decimal-number text, or nothing (logged) when the text is
// not one or cannot be held without losing a non-zero digit.
std::optional<MSRDecimalNumber> MSRDecimalNumberFromString(std::string_view text);

// A number as an integer of type Int: truncated toward zero, saturating at
// the ends of Int's range; not-a-number is 0.
template <typename Int>
Int MSRSaturatingInteger(double number) {
    if (std::isnan(number)) return 0;
    if (number >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
    if (number <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
    return static_cast<Int>(number);
}

class MSRNumericUtil {
public:
    // Eight bytes from the secure random source. On failure the result is 0
    // and the failure is logged.
    static int64_t randomInt64();
};
