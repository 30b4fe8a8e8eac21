#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalStringOutput.h"

// Result of add and subtract. All fields are absent when the operands could
// not be combined.
struct AdditionResult {
    DigitPtr digit;
    std::optional<std::string> expansionLatex;  // only when a common denominator was formed
    std::optional<std::string> operationLatex;
};

// Result of multiply and divide.
struct ProductResult {
    DigitPtr digit;
    std::optional<std::string> operationLatex;
    std::optional<std::string> cancelLatex;  // only when a divisor of 2 or more was cancelled
};

// Result of cancelDown: both absent when there was nothing to cancel.
struct CancelResult {
    DigitPtr digit;
    std::optional<std::string> cancelLatex;
};

// Why an exact result of typed numbers cannot stand in a line: no line can
// write its digits truly, or it lies beyond the double's range (infinite) or
// below its normal numbers (where the double keeps fewer digits, down to
// none). A denominator no double holds is none of these: such a result is
// computed as any other number and written rounded once.
enum class UnheldCause { tooManyDigits, tooLarge, tooSmall };

// The first result of typed numbers that a line could not show truly, and
// the inputs (bit i for input i) it was made of.
struct UnheldResult {
    UnheldCause cause = UnheldCause::tooManyDigits;
    uint32_t typedSources = 0;
};

// An exact decimal result rounded once to the nearest double: `exact` when the
// double gives back every digit, `unheld` when no line can write the result
// (see KalMathOperation::roundedOnce).
struct ExactOutcome {
    double value = 0.0;
    bool exact = false;
    std::optional<UnheldCause> unheld;
    // Not exact, but the double's shortest form is the exact result rounded
    // to its digits: a line writes those digits (see Digit::fullDigits).
    bool fullDigits = false;
    // The exact result that was rounded.
    std::optional<ExactDecimal> decimal;
};

struct RoundedResult {
    double rounded = 0.0;
    bool cut = false;  // digits that matter were dropped
};

// Exact arithmetic on Digits that also writes the LaTeX lines showing the
// calculation. No operation changes the Digits it is given; every result is a
// new Digit. Main thread only.
class KalMathOperation {
public:
    explicit KalMathOperation(KalStringOutput& outputHelper = KalStringOutput::shared());

    static KalMathOperation& shared();

    KalStringOutput& outputHelper() const { return *outputHelper_; }

    // Fraction mode: true while the exercise holds fractions; otherwise every
    // denominator is 1 and quotients are decimals.
    bool withFraction() const { return withFraction_; }
    void setWithFraction(bool withFraction) { withFraction_ = withFraction; }

    // The signed common divisor found by the last cancelDown (negative when
    // the signs were turned).
    std::optional<int64_t> divisor() const { return divisor_; }

    // Sums and differences set a result that is rounding residue to exactly
    // 0 (see sumOrZero). Sums, differences and products of exact Digits (see
    // Digit::exact) are taken from the decimals they stand for and rounded
    // once, and never taken for residue; a result the steps could not write
    // as its double is recorded (see unheldResult).
    AdditionResult add(const Digit& u, const Digit& v);
    AdditionResult subtract(const Digit& u, const Digit& v);
    ProductResult multiply(const Digit& u, const Digit& v);
    ProductResult divide(const Digit& u, const Digit& v, bool forceDecimal);

    // Cancels the fraction by the greatest common divisor of its whole-number
    // parts and by a constant common to both sides; turns a negative
    // denominator positive when it cancels anything. Sets divisor().
    CancelResult cancelDown(const Digit& d);

    // The first result of exact Digits since the last clearing that no line
    // could write truly: the calculator refuses the exercise with its cause
    // rather than show another number.
    const std::optional<UnheldResult>& unheldResult() const { return unheld_; }
    void clearUnheldResult() { unheld_.reset(); }

    // d raised to r; the constants are folded into the numbers first so that
    // they are raised too. When a raised part leaves the double range the
    // result is the raised quotient over 1, so the value survives wherever it
    // exists (beyond the range it is infinite, below it 0). A base near 1
    // written with decimals is raised through the exact difference of its
    // parts (exp of r times log1p of it), over 1: the double of a typed
    // 1.0000000001 is off by 8e-18, which the 10^{10}-th power turns into
    // 8e-8. A whole power of an exact whole number (or of an exact fraction
    // of them) with at most 24 digits is exact, carried in the Digit
    // where its double does not hold it (3^{34}), as is a negative one of a
    // base of twos and fives (10^{-11}). Any other power carries its value in
    // extended precision too, from `preciseR` (r to more digits than its
    // double, where the exponent is no exact number). Requires d.z(); returns
    // null without it.
    DigitPtr power(const Digit& d, double r, std::optional<long double> preciseR = std::nullopt);

    // A count of 10^{-10} units.
    using TenthUnits = __int128;

    // u + v, or exactly 0 when the sum is the rounding residue of terms that
    // agree to within 1e-12 of their size: log_10(1000) - 3 is 4.4e-16 in
    // floating point and 0 in truth. Any other sum keeps its value, however
    // small. An exact sum (see exactSum) is never residue, but two whole
    // numbers from 2^{53} on, where the double cannot tell a power from its
    // neighbours, agree only to within four units in the last place of the
    // larger: 10^{16} - 9999999999999000 is 1000.
    static double sumOrZero(double u, double v);

    // The sum of the decimals u and v stand for (their shortest forms), when
    // both have at most ten decimals and lie below 10^{26}: added as 128-bit
    // counts of 10^{-10}, so exact at every such magnitude, and rounded once
    // to the nearest double. None otherwise.
    static std::optional<double> exactSum(double u, double v);

    // x's shortest decimal form as a count of 10^{-10}, when it has at most
    // ten decimals and x lies below 10^{26}. None otherwise.
    static std::optional<TenthUnits> tenthDecimalUnits(double x);

    // z - n without rounding before the last, for parts within a factor 2 of
    // each other: two whole parts subtract exactly there; decimals of at most
    // ten places are subtracted as counts of 10^{-10}. None when neither holds.
    static std::optional<double> exactDifference(double z, double n);

    // x's shortest decimal form (the digits it was typed with, for a typed
    // number) as units · 10^{exponent} with no trailing zero in the units;
    // none for an infinity or NaN.
    static std::optional<ExactDecimal> shortestDecimal(double x);

    // u · v and u + v of the decimals u and v stand for, rounded once (digits
    // of a sum's term far below what a line shows of it are cut, and the sum
    // is then not exact); none for an infinity or NaN.
    static std::optional<ExactOutcome> exactProduct(double u, double v);
    static std::optional<ExactOutcome> exactDecimalSum(double u, double v);
    static std::optional<ExactOutcome> exactProduct(const ExactDecimal& u, const ExactDecimal& v);
    static std::optional<ExactOutcome> exactDecimalSum(const ExactDecimal& u, const ExactDecimal& v);

    // A Digit's value in extended precision: its precise value where it
    // carries one, else from the exact decimals of its parts (a double's
    // binary value is not the decimal typed) and the constants' values to
    // as many digits.
    static long double preciseValueOf(const Digit& d);
    // (z - n) ÷ n of a Digit without constants whose parts are exact
    // decimals (or carry them, see Digit::exactZ), in extended precision: the
    // logarithm of a number near 1 rests on these digits. None otherwise.
    static std::optional<long double> preciseDifferenceFromOne(const Digit& d);
    // The natural logarithm of a Digit in extended precision: between 0.5
    // and 2 from its exact difference from 1 where it has one, else from
    // its precise value.
    static long double preciseLogarithm(const Digit& d);
    // An exact decimal in extended precision.
    static long double preciseDecimal(const ExactDecimal& d);
    // A constant's value in extended precision (π and e), else its double.
    static long double preciseConstant(const NaturalConstant& c);

    // The exact decimal a Digit's numerator stands for: the exact value it
    // carries, else its shortest form; none without z or for an infinity.
    static std::optional<ExactDecimal> numeratorDecimal(const Digit& d);

    // base^{k} of an exact decimal for a whole k >= 0, while it has at most
    // 38 digits; none past them.
    static std::optional<ExactDecimal> exactPower(const ExactDecimal& base, int k);

    // The whole k with a^{k} = q exactly, for exact Digits without constants
    // or variables (log_{2}(8) is 3, log_{10}(0.001) is -3); none otherwise.
    static std::optional<int> exactLogarithm(const Digit& q, const Digit& a);

    // z / n of two exact decimals rounded once, halves away from zero, at the
    // decimal place 10^{at}: units of 10^{at}.
    static ExactDecimal roundedQuotient(const ExactDecimal& z, const ExactDecimal& n, int at);

    // The double nearest to `exact`, whether it gives back every digit, and,
    // where it does not, `decimal` for the Digit to carry where a line can
    // write it (DecimalText::exactText decides), else `unheld`; past the
    // double's range or below its normal numbers `unheld` too. 3 ·
    // 1000000000000000.1 is 3000000000000000.3, whose double is
    // 3000000000000000.5: the Digit carries ...0.3.
    static ExactOutcome roundedOnce(const ExactDecimal& exact);

    // x rounded to `places` decimals (halves away from zero), and whether
    // digits that matter were cut. Requires places >= 0.
    static RoundedResult roundedToPlaces(int places, double x);

private:
    // power without the split of a result near 1.
    static DigitPtr raised(const Digit& d, double r, std::optional<long double> preciseR);

    KalStringOutput* outputHelper_;
    bool withFraction_ = false;
    std::optional<int64_t> divisor_;
    std::optional<UnheldResult> unheld_;
};
