#include "Calvaro/engine/Digit.h"

#include <utility>

Digit::Digit(std::optional<double> z, double n) : z_(z), n_(n) {}

DigitPtr Digit::make(std::optional<double> z, double n) { return std::make_shared<Digit>(z, n); }

std::optional<double> Digit::value() const {
    if (!z_) return std::nullopt;
    // The order of the operations is part of the contract: step writers test
    // the result for exactly 1.0 and 0.0.
    double result = *z_ / n_;
    for (const NaturalConstant& c : zConstants_) result *= c.value();
    for (const NaturalConstant& c : nConstants_) result /= c.value();
    return result;
}

void Digit::assign(const Digit& other) {
    if (this == &other) return;
    *this = other;
}

bool Digit::invert() {
    if (!z_) return false;
    const double oldZ = *z_;
    z_ = n_;
    n_ = oldZ;
    std::swap(zConstants_, nConstants_);
    std::swap(zVariable_, nVariable_);
    std::swap(powerOfZVariable_, powerOfNVariable_);
    if (precise_) precise_ = 1.0L / *precise_;
    split_.reset();
    // An exact numerator the double does not hold cannot stand below the line.
    if (exactZ_) {
        exactZ_.reset();
        exact_ = false;
        typedSources_ = 0;
    }
    return true;
}
