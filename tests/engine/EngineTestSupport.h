#pragma once

#include <optional>
#include <string>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/NaturalConstant.h"

// The constants as the input parser makes them.
inline NaturalConstant pi() { return NaturalConstant("π", "\\pi", 3.141592653589793); }
inline NaturalConstant e() { return NaturalConstant("e", "e", 2.718281828459045); }

// A digit z/n with optional constants, written compactly for tables.
inline Digit digit(std::optional<double> z, double n = 1.0, NaturalConstants zConstants = {},
                   NaturalConstants nConstants = {}) {
    Digit d(z, n);
    d.setZConstants(std::move(zConstants));
    d.setNConstants(std::move(nConstants));
    return d;
}
