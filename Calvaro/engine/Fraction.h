#pragma once

#include <optional>

// A plain numerator/denominator pair, declared as a field type by the family
// calculator records. It has no arithmetic of its own.
struct Fraction {
    std::optional<double> z;  // absent: no value entered
    double n = 1.0;
};
