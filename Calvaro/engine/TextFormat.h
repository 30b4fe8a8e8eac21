#pragma once

#include <string>
#include <vector>

// Small text helpers shared by the step writers.

// printf-style formatting into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The "%g" text of a number (six significant digits, exponent form for very
// large or small magnitudes), as the operation lines print numbers.
std::string formatG(double value);

// The pieces of `text` between `separator`s, empty pieces dropped.
std::vector<std::string> splitDroppingEmpty(const std::string& text, char separator);
