#pragma once

#include <string>
#include <vector>

#include "platform/foundation/Text.h"

// Small text helpers shared by the step writers.

using foundation::stringWithFormat;

// The "%g" text of a number (six significant digits, exponent form for very
// large or small magnitudes), as the operation lines print numbers.
std::string formatG(double value);

// The pieces of `text` between `separator`s, empty pieces dropped.
std::vector<std::string> splitDroppingEmpty(const std::string& text, char separator);
