#pragma once

#include <string>

// Small text helpers shared by the step writers.

// printf-style formatting into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The "%g" text of a number (six significant digits, exponent form for very
// large or small magnitudes), as the operation lines print numbers.
std::string formatG(double value);

// The shortest decimal text that reads back to the same double, always with a
// fraction part or an exponent: "2.0", "0.30000000000000004", "1e-05", "1e+16".
// Plain digits are used from 1e-4 up to 2^53, exponent form outside.
// TODO: move to foundation's Text helpers once they exist and call those.
std::string shortestDoubleText(double value);

// `value` formatted in the "en_US" locale with at most `maximumFractionDigits`
// fraction digits (halves to even, as the platform's decimal formatter rounds)
// and without grouping separators.
std::string formatDecimal(double value, int maximumFractionDigits);
