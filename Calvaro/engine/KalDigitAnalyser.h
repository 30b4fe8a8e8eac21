#pragma once

#include <string>

// Looks at number texts as "%g" writes them.
class KalDigitAnalyser {
public:
    // The larger count of decimal places of two number texts; a text counts
    // only when its part after the last "." is a whole number (so "5e-07" and
    // texts without "." count as 0).
    static double decimalPlaces(const std::string& first, const std::string& second);
};
