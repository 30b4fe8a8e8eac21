#pragma once

#include <optional>
#include <string_view>

// A quadrant of the unit circle, known by its Roman numeral.
enum class Quadrant { first, second, third, fourth };

// The case whose raw value is exactly `rawValue` ("I" ... "IV"); none otherwise.
std::optional<Quadrant> quadrantFromRawValue(std::string_view rawValue);
std::string_view rawValue(Quadrant quadrant);
