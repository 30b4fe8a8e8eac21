#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Calvaro/engine/NaturalConstant.h"

class Digit;

// A decimal as a whole count of a power of ten: units · 10^{exponent}.
struct ExactDecimal {
    __int128 units = 0;
    int exponent = 0;
};

// Digits are shared by reference between the input manager, the calculator and
// the step writers; the arithmetic never changes a Digit it is given.
using DigitPtr = std::shared_ptr<Digit>;

// An exact number: numerator over denominator, each side multiplied by a list
// of symbolic constants and carrying an optional variable with a power.
class Digit {
public:
    // The only way to make a Digit: a blank one with z and n set.
    Digit(std::optional<double> z, double n);
    static DigitPtr make(std::optional<double> z, double n);

    std::optional<double> z() const { return z_; }
    void setZ(std::optional<double> z) { z_ = z; }
    double n() const { return n_; }
    void setN(double n) { n_ = n; }

    const NaturalConstants& zConstants() const { return zConstants_; }
    void setZConstants(NaturalConstants constants) { zConstants_ = std::move(constants); }
    const NaturalConstants& nConstants() const { return nConstants_; }
    void setNConstants(NaturalConstants constants) { nConstants_ = std::move(constants); }

    const std::string& zVariable() const { return zVariable_; }
    void setZVariable(std::string variable) { zVariable_ = std::move(variable); }
    const std::string& nVariable() const { return nVariable_; }
    void setNVariable(std::string variable) { nVariable_ = std::move(variable); }

    double powerOfZVariable() const { return powerOfZVariable_; }
    void setPowerOfZVariable(double power) { powerOfZVariable_ = power; }
    double powerOfNVariable() const { return powerOfNVariable_; }
    void setPowerOfNVariable(double power) { powerOfNVariable_ = power; }

    // z ÷ n, times each numerator constant, divided by each denominator
    // constant, in that order of operations; absent without z. Variables do
    // not enter the value.
    std::optional<double> value() const;

    // Whether z and n are exactly the decimals their shortest forms read: a
    // typed number, or a result computed exactly from typed numbers that the
    // double gives back. Only such numbers are summed and multiplied exactly
    // and kept from the rule that takes near-equal wholes for rounding residue.
    bool exact() const { return exact_; }
    void setExact(bool exact) { exact_ = exact; }
    // The numerator's exact decimal where its double does not give it back:
    // a whole power of a whole number past 2^{53} (3^{34} is
    // 16677181699666569, held as ...568), an exact result of exact numbers
    // (2^{53} + 1, 3.00000762939453125), up to 38 digits, or the exact result
    // that a Digit of full digits (see fullDigits) stands for. None
    // otherwise; an exact Digit's numerator is then the decimal its shortest
    // form reads.
    const std::optional<ExactDecimal>& exactZ() const { return exactZ_; }
    void setExactZ(std::optional<ExactDecimal> exactZ) { exactZ_ = exactZ; }
    // Whether the parts are the exact result of exact numbers rounded once to
    // a double whose shortest form is that result rounded to its digits: they
    // are written with those digits, which the next line uses, rather than
    // with ten decimals (1 + 1.23456789 \cdot 10^{-11} is no 1 before its
    // logarithm).
    bool fullDigits() const { return fullDigits_; }
    void setFullDigits(bool fullDigits) { fullDigits_ = fullDigits; }
    // The value of a Digit that is no exact number, computed alongside its
    // parts in extended precision (powers, logarithms and constants lose
    // digits of a double in every step): a line writes the value's digits
    // from it. None for an exact Digit, whose parts give its value.
    const std::optional<long double>& precise() const { return precise_; }
    void setPrecise(std::optional<long double> precise) { precise_ = precise; }
    // A computed value near an exact one, split into that exact value (in
    // extended precision) and the small rest: 100^{-3 \cdot 10^{-12}} is 1
    // and -1.38 \cdot 10^{-11}, so that subtracting 1 keeps every digit of
    // the rest instead of what is left of 0.99999999998618449 in a long
    // double. Products and quotients with exact numbers and sums with them
    // carry it on. None otherwise.
    struct Split {
        long double exact = 0.0L;
        long double rest = 0.0L;
    };
    const std::optional<Split>& split() const { return split_; }
    void setSplit(std::optional<Split> split) { split_ = split; }
    // The input positions (bit i for input i) whose typed numbers an exact
    // number was made of; a refusal of a result names their fields.
    uint32_t typedSources() const { return typedSources_; }
    void setTypedSources(uint32_t sources) { typedSources_ = sources; }

    // Copies every field of `other` (values, so later changes stay apart).
    void assign(const Digit& other);

    // Exchanges numerator and denominator sides in place. Refuses (returns
    // false and changes nothing) when z is absent, since the old z would have
    // to become the denominator.
    bool invert();

private:
    std::optional<double> z_;
    double n_ = 1.0;
    NaturalConstants zConstants_;
    NaturalConstants nConstants_;
    std::string zVariable_;
    std::string nVariable_;
    double powerOfZVariable_ = 0.0;
    double powerOfNVariable_ = 0.0;
    bool exact_ = false;
    std::optional<ExactDecimal> exactZ_;
    bool fullDigits_ = false;
    std::optional<long double> precise_;
    std::optional<Split> split_;
    uint32_t typedSources_ = 0;
};
