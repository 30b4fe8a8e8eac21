#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Calvaro/engine/Digit.h"

class KalMathOperation;
class KalStringOutput;

// What the two solution writers share: the inputs a, b, c, d, x, z, the LaTeX
// of numbers and Digits, the exact arithmetic, and the appending of numbered
// steps. A writer never writes a line from a missing value: when an input has
// no value or an operation gives no result, the run ends with the steps
// written so far.
class SolutionStepWriter {
public:
    virtual ~SolutionStepWriter();

    // Writes the solution; stops early, without a partial line, when a value
    // is missing.
    void run();

protected:
    SolutionStepWriter(const std::vector<DigitPtr>& inputs, KalMathOperation& operation, KalStringOutput& output);

    virtual void write() = 0;

    // Makes the input texts and the fragments below; call first in write().
    void prepareTerms();

    // Positions of the inputs.
    enum Position : size_t { a = 0, b = 1, c = 2, d = 3, x = 4, z = 5 };

    // The input at `position`; ends the run when it has no value.
    const Digit& input(Position position) const;
    // Whether the optional point x carries a value.
    bool isXGiven() const;

    // A Digit as the steps show it (no brackets, signs pulled in front).
    std::string latex(const Digit& digit) const;
    // A computed Digit as the steps show it: as latex(), but a quotient of
    // decimals the arithmetic leaves is written as its value where that is
    // exact and short (1.125/0.125 is 9), as fractions of whole numbers are
    // cancelled.
    std::string resultLatex(const Digit& digit) const;
    // A floating-point number as the steps show it (negatives in brackets).
    static std::string number(double value);
    // A number computed in extended precision, rounded once as the steps show it.
    static std::string number(long double value);
    // A whole number and a rest too small for the digits of their sum: the
    // sum kept as a sum in brackets (53 - 1.601713252 \cdot 10^{-16}), so
    // that subtracting the whole number leaves the rest the next line shows.
    static std::string number(const Digit::Split& split);

    // log_{a}(argument) = ln(argument) ÷ ln(a) in extended precision.
    long double logarithm(const Digit& argument, const Digit& base) const;
    // log_{base}(argument) as a whole k and the small rest, where an exact
    // argument lies near the exact power base^{k}: the rest is taken from
    // their exact quotient's difference from 1, so that subtracting k keeps
    // its digits (log_{10}(9999999999999000) - 16 is -4.3429448190 \cdot
    // 10^{-14}). None otherwise.
    std::optional<Digit::Split> logarithmNearWhole(const Digit& argument, const Digit& base) const;
    // value + term, or exactly 0 where the sum is rounding residue (see
    // KalMathOperation::sumOrZero).
    static long double plus(long double value, long double term);
    // The value of a Digit; ends the run when it has none.
    double valueOf(const Digit& digit) const;
    // The natural logarithm of a Digit's value; ends the run when it has none.
    // Near 1 the logarithm is decided by digits a double does not hold (a
    // typed 1.0000000001 is held as 1.00000000010000000827, whose logarithm
    // is off from its eighth digit): there it is log1p of the difference of
    // the parts, formed exactly from whole parts or parts of ten decimals.
    double naturalLogarithm(const Digit& digit) const;
    // Exactly 1.0, or ±0.0; a Digit without a value is neither.
    static bool isOne(const Digit& digit);
    static bool isZero(const Digit& digit);

    DigitPtr product(const Digit& u, const Digit& v) const;
    DigitPtr sum(const Digit& u, const Digit& v) const;
    DigitPtr difference(const Digit& u, const Digit& v) const;
    DigitPtr quotient(const Digit& u, const Digit& v) const;
    // u raised to the value of `exponent`; exact only where both are.
    DigitPtr power(const Digit& u, const Digit& exponent) const;
    // log_{a}(q) as an exact whole Digit where q is an exact power of a (log_{2}(1)
    // is 0, log_{10}(0.001) is -3); none otherwise.
    DigitPtr exactLogarithm(const Digit& q, const Digit& a) const;
    // A Digit's value as the steps write a computed number (negatives in
    // brackets): an exact one from its exact parts, rounded once to the
    // line's digits, one of full digits with them, any other its double.
    std::string valueNumber(const Digit& digit) const;
    DigitPtr reciprocal(const Digit& u) const;
    static DigitPtr minusOne();

    // Starts a new numbered step with its first line.
    void titled(const std::string& title, const std::string& line);
    // A further line of the current step.
    void line(const std::string& text);

    // The inverse function's step from "f(x) = y" to `core` (the power or the
    // logarithm) alone: `function` is the function as written, `scaledCore`
    // the core times z. Returns what the core then equals, "wy - s".
    std::string writeInverseToCore(const std::string& function, const std::string& scaledCore,
                                   const std::string& core);
    // The inverse's last lines: `inner` (b x + c) equals `value`; solved for x.
    void writeInverseFromInner(const std::string& inner, const std::string& value);

    KalMathOperation& operation_;
    KalStringOutput& output_;

    // The LaTeX of the inputs and the fragments every step repeats.
    std::string a_, b_, c_, d_, z_;
    std::string aBase_;  // a as the base of a power: bracketed unless a plain number or constant
    std::string zDot_;   // "z\cdot" or empty when z is 1
    std::string bDot_;   // "b\cdot" or empty when b is 1
    std::string cTerm_;  // "+ c" or empty when c is 0
    std::string dTerm_;  // "+ d" or empty when d is 0
    std::string zDivisor_;  // z after a division sign ":"
    std::string bDivisor_;  // b after a division sign ":"

private:
    DigitPtr required(DigitPtr digit) const;

    const std::vector<DigitPtr>& inputs_;
};
