#pragma once

#include <string>

namespace foundation {

// The platform's number formatter in its default settings: no style, the
// en_US_POSIX conventions, whole numbers (0 to 0 fraction digits) unless
// configured otherwise. Enough for the family's calculators that hold one.
class NumberFormatter {
public:
    enum class Style { none, decimal };

    Style numberStyle = Style::none;
    int minimumFractionDigits = 0;
    int maximumFractionDigits = 0;
    bool usesGroupingSeparator = false;

    // `value` rounded half to even to `maximumFractionDigits`, trailing zeros
    // dropped down to `minimumFractionDigits`; "NaN", "+∞" and "-∞" for the
    // special values. With the decimal style, groups of three digits are
    // separated by "," when `usesGroupingSeparator` is set.
    std::string string(double value) const;
};

}  // namespace foundation
