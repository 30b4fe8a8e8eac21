#pragma once

#include <limits>
#include <optional>
#include <string>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/NaturalConstant.h"

// How a line writes a number, and whether a line can write it truly: the one
// place that decides both. The arithmetic asks it whether an exact result can
// stand in a line (a result no line can write truly refuses the exercise);
// the step output writes every number through it. Nothing here computes with
// Digits beyond reading their parts.
namespace DecimalText {

// The decimals a line writes at most.
inline constexpr int kFractionDigits = 10;
// The longest number text a line writes, counting digits and the point and,
// of m \cdot 10^{k}, the four characters of "·10^" and those of k; past it,
// m \cdot 10^{k} with as many digits as fit.
inline constexpr int kLongestNumber = 24;
// The significant digits an exact number with more than ten decimals keeps
// in full (those a double's shortest form may have): 1 + 10^{-11} is
// 1.00000000001, while 3.00000762939453125 reads 3.0000076294.
inline constexpr int kExactDigits = 17;
// The significant digits a value computed in extended precision keeps: a
// long double carries about nineteen, and powers and logarithms cost one or two.
inline constexpr int kPreciseDigits = 17;
// The significant digits a double holds of every number: a value computed
// in doubles alone keeps these, and an extended one at least these.
inline constexpr int kHeldDigits = 15;
// The relative error an extended value may carry after the powers,
// logarithms and products of a solution (a long double keeps 1.1e-19 of
// its size per operation, a power of 8^{4e} is off by 5.5e-19, and a power
// a^{q} carries the error of q times ln a^{q}, up to 39 for 10^{17}).
inline constexpr long double kPreciseError = 5e-18L;
// A computed value this near a whole number, in its own size, reads whole:
// the rounding a long double's powers and logarithms leave (sixteen units in
// its last place; 8^{35/3} comes out six units above 2^{35}).
inline constexpr long double kWholeWithin = 16 * std::numeric_limits<long double>::epsilon();

// The units of an exact decimal: 10^{38} is the largest power of ten below
// 2^{127}, so 38 digits are the most they hold.
inline constexpr int kWideDigits = 38;
// 10^{n}, for n from 0 to kWideDigits.
__int128 tenToThe(int n);
__int128 magnitudeOf(__int128 units);
// The number of decimal digits of units (1 for 0).
int digitCountOf(__int128 units);
// The decimal digits of units' magnitude, without a sign.
std::string magnitudeDigits(__int128 units);

// x's shortest decimal form (the digits it was typed with, for a typed
// number) as units · 10^{exponent} without trailing zeros; none for an
// infinity or NaN.
std::optional<ExactDecimal> shortest(double x);
// The exact decimal a Digit's numerator stands for: the exact value it
// carries, else its shortest form; none without z or for an infinity.
std::optional<ExactDecimal> numeratorDecimal(const Digit& d);
// d without trailing zeros in its units.
ExactDecimal trimmed(ExactDecimal d);
// The number of decimal digits of the units.
int digitCount(const ExactDecimal& d);

// z / n of two exact decimals rounded once, halves away from zero, at the
// decimal place 10^{at}: units of 10^{at}.
ExactDecimal roundedQuotient(const ExactDecimal& z, const ExactDecimal& n, int at);
// z / n exactly, when the quotient is a decimal of at most 38 digits.
std::optional<ExactDecimal> exactQuotient(const ExactDecimal& z, const ExactDecimal& n);

// Every digit of an exact decimal, plain, without grouping or trailing zeros.
std::string plain(const ExactDecimal& d);
// m \cdot 10^{k} with every digit of an exact decimal in m.
std::string scientific(const ExactDecimal& d);

// How a line writes an exact number: every digit where that fits 24
// characters (plain from 10^{-10} to below 10^{17}, m \cdot 10^{k} beyond or
// where the plain text is too long, and past 10^{17} plain digits where only
// those fit: 10^{17} + 1 is 100000000000000001) and the number has at most
// ten decimals or seventeen significant digits; any other number that is not
// whole rounded once to ten decimals, or to seventeen significant digits
// where these come first (m \cdot 10^{k} where a plain text would show no
// decimal); a whole number whose digits pass 24 characters reads m \cdot
// 10^{k} of as many significant digits as fit, at most seventeen. Plain digits are never rounded to
// a whole number. None where no line can write the number truly (none such
// today: the arithmetic asks before it carries a result).
std::optional<std::string> exactText(const ExactDecimal& d);
// The exact quotient z / n as a line writes it: exactText of it where it is
// a decimal, else rounded once as a number that is not whole. None where
// either part is 0 or no line holds it.
std::optional<std::string> quotientText(const ExactDecimal& z, const ExactDecimal& n);
// Whether z / n is a decimal a line writes with every digit and no more
// than ten decimals: 1.125 / 0.125 is 9.
bool isShortQuotient(const ExactDecimal& z, const ExactDecimal& n);

// A value computed in extended precision as a line writes it: rounded once
// from the long double to ten decimals, or to kPreciseDigits significant
// digits where these come first (fewer, down to kHeldDigits, where the
// value's error could turn the last digit); m \cdot 10^{k} of ten significant digits
// below 10^{-10} and from 10^{17} on. Within kWholeWithin of a whole number
// the value is that number, written plain (8^{35/3} is 34359738368); where
// ten decimals would read whole a value farther from the whole number than
// its error keeps kPreciseDigits significant digits (0.99999999998618449);
// where fewer than ten decimals would, it shows the decimals its error
// leaves sure, else the whole number while its units are sure, and only
// then m \cdot 10^{k} of its sure digits. None for a value outside the
// double's normal range, which is written from its double. No brackets.
std::optional<std::string> preciseText(long double value);

// A constant's value in extended precision (π and e), else its double.
long double preciseConstant(const NaturalConstant& c);

}  // namespace DecimalText
