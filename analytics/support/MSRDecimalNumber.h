#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An exact decimal number with the reach of the platform's decimal type: at
// most 38 significant digits and a decimal exponent from -128 to 127. Audience
// evaluation compares numbers given as text with it.
class MSRDecimalNumber {
public:
    static constexpr int kMaxSignificantDigits = 38;
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxExponent = 127;

    // Zero.
    MSRDecimalNumber() = default;

    // Reads [+-]digits[.digits] (either side of the point may be empty, not
    // both). Digits beyond the 38th significant one are dropped; `lostDigits`
    // tells whether any of them was not zero. Nothing for other texts and for
    // numbers outside the exponent range.
    static std::optional<MSRDecimalNumber> fromString(std::string_view text,
                                                      bool* lostDigits = nullptr);

    bool isZero() const { return digits_.empty(); }
    bool isNegative() const { return negative_ && !isZero(); }
    MSRDecimalNumber negated() const;

    // -1, 0 or 1 as this number is below, equal to or above `other`.
    int compare(const MSRDecimalNumber& other) const;
    bool operator==(const MSRDecimalNumber& other) const { return compare(other) == 0; }
    bool operator<(const MSRDecimalNumber& other) const { return compare(other) < 0; }

    // The canonical text: no exponent, no superfluous zeros ("1.5", "-0.25",
    // "1200", "0").
    std::string description() const;
    double doubleValue() const;

private:
    bool negative_ = false;
    std::string digits_;  // significant digits, no leading or trailing zeros
    int exponent_ = 0;    // value = digits_ x 10^exponent_
};
