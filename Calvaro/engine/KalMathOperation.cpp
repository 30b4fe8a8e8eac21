#include "Calvaro/engine/KalMathOperation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string_view>
#include <utility>

#include "Calvaro/engine/DecimalText.h"
#include "Calvaro/engine/TextFormat.h"
#include "platform/foundation/Text.h"

namespace {

constexpr int kFractionDigits = 10;

// The digit LaTeX the operation lines use: no suffix, brackets only around
// negative values, fraction not forced, signs pulled in front.
std::string digitLatex(const Digit& d) {
    return KalStringOutput::formatDigitLatex(d, "", std::nullopt, false, false, kFractionDigits);
}

double productOfValues(const NaturalConstants& constants) {
    double product = 1.0;
    for (const NaturalConstant& c : constants) product *= c.value();
    return product;
}

// `from` without one occurrence of each constant of `without`: constants on
// both sides of a quotient cancel pairwise, so π²/π keeps one π.
NaturalConstants withoutEach(const NaturalConstants& from, const NaturalConstants& without) {
    NaturalConstants rest = from;
    for (const NaturalConstant& c : without) {
        for (auto it = rest.begin(); it != rest.end(); ++it) {
            if (*it == c) {
                rest.erase(it);
                break;
            }
        }
    }
    return rest;
}

NaturalConstants concatenated(const NaturalConstants& first, const NaturalConstants& second) {
    NaturalConstants both = first;
    both.insert(both.end(), second.begin(), second.end());
    return both;
}

// The variable of a product on one side: a variable only on one side keeps its
// power, the same variable adds its powers, two different ones are written
// side by side.
std::pair<std::string, double> productVariable(const std::string& a, double powerA, const std::string& b,
                                               double powerB) {
    if (a == b) return {a, a.empty() ? 0.0 : powerA + powerB};
    if (a.empty()) return {b, powerB};
    if (b.empty()) return {a, powerA};
    return {a + b, 1.0};
}

// Within the signed 64-bit range, so that truncation to an integer is exact
// and safe; 2^63 itself is outside.
bool isWholeInt64(double x) {
    return std::isfinite(x) && std::trunc(x) == x && std::fabs(x) < 9223372036854775808.0;
}

// Turns the signs of both parts, the exact numerator's too.
void turnSigns(Digit& d) {
    d.setZ(-*d.z());
    d.setN(-d.n());
    if (auto exact = d.exactZ()) {
        exact->units = -exact->units;
        d.setExactZ(exact);
    }
}

// Below this share of the larger term a sum of two inexact terms is what
// their rounding left: a double carries 2.2e-16 of its size, and a few
// operations before a sum multiply that by a few units at most.
constexpr double kResidueShare = 1e-12;
// Two whole numbers are exact as typed or counted, and a whole result of a
// power is off by no more than its rounding: their sum is residue only within
// this many units in the last place of the larger term.
constexpr double kResidueUnitsOfWholes = 4;

bool isWhole(double x) { return std::trunc(x) == x; }

// From this magnitude on two neighbouring doubles differ by 2 or more: a
// whole number there may be a power's rounding as much as a typed number.
constexpr double kExactWholesBelow = 9007199254740992.0;  // 2^{53}
// Decimals of ten places are counted in units of 10^{-10}.
constexpr int kTenthDecimalPlaces = 10;
// Below this magnitude a count of 10^{-10} units stays under 10^{36} (2^{120}),
// so the sum of two counts never leaves a 128-bit integer.
constexpr double kTenthUnitsBelow = 1e26;

// The spacing of doubles just below a finite `magnitude` (taken downwards,
// which stays finite at the largest double).
double unitInLastPlace(double magnitude) { return magnitude - std::nextafter(magnitude, 0.0); }

using Wide = __int128;
using DecimalText::digitCountOf;
using DecimalText::magnitudeOf;
using DecimalText::tenToThe;
using DecimalText::kWideDigits;

// units' digits with their sign.
std::string digitsOf(Wide units) { return (units < 0 ? "-" : "") + DecimalText::magnitudeDigits(units); }

// The double nearest to units * 10^{-10}, rounded once: the count is written
// out in decimal and read back, as a typed number would be.
double doubleOfTenthUnits(KalMathOperation::TenthUnits units) {
    const std::string text = digitsOf(units) + "e-" + std::to_string(kTenthDecimalPlaces);
    double value = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Whether the double x is exactly the decimal it stands for: a whole number,
// or a decimal of at most ten places without binary rounding (1.5, not 1.1).
bool isHeldExactly(double x) {
    if (isWhole(x)) return true;
    const auto units = KalMathOperation::tenthDecimalUnits(x);
    if (!units) return false;
    // x is m * 2^{e} with m whole and below 2^{53}; it equals units * 10^{-10}
    // exactly when m * 10^{10} / 2^{-e} is whole and is the count.
    int exponent = 0;
    const double fraction = std::frexp(x, &exponent);
    const auto mantissa = static_cast<KalMathOperation::TenthUnits>(std::ldexp(fraction, 53));
    const int shift = 53 - exponent;  // positive: x is no whole number
    if (shift <= 0 || shift >= 100) return false;
    const KalMathOperation::TenthUnits scaled = mantissa * static_cast<KalMathOperation::TenthUnits>(10000000000LL);
    const KalMathOperation::TenthUnits divisor = static_cast<KalMathOperation::TenthUnits>(1) << shift;
    return scaled % divisor == 0 && scaled / divisor == *units;
}

// The inputs an exact result is made of: those of both operands (a constant
// -1 has none; an exact power has those of its base and exponent, and meets
// typed numbers as one of them).
uint32_t typedSourcesOf(const Digit& u, const Digit& v) { return u.typedSources() | v.typedSources(); }

// The split (see Digit::split) of u op v where one operand carries one and
// the other is an exact number; op is one of + - * /. None otherwise.
std::optional<Digit::Split> splitOf(const Digit& u, const Digit& v, char op) {
    if (u.split() && v.exact() && !v.split()) {
        const long double value = KalMathOperation::preciseValueOf(v);
        const auto [exact, rest] = *u.split();
        switch (op) {
            case '+': return Digit::Split{exact + value, rest};
            case '-': return Digit::Split{exact - value, rest};
            case '*': return Digit::Split{exact * value, rest * value};
            default: return Digit::Split{exact / value, rest / value};
        }
    }
    if (v.split() && u.exact() && !u.split()) {
        const long double value = KalMathOperation::preciseValueOf(u);
        const auto [exact, rest] = *v.split();
        switch (op) {
            case '+': return Digit::Split{value + exact, rest};
            case '-': return Digit::Split{value - exact, -rest};
            case '*': return Digit::Split{value * exact, value * rest};
            default: return std::nullopt;
        }
    }
    return std::nullopt;
}

// Whether a split sum's exact part is what is left of exact parts that
// cancelled: its value is then taken from the split alone.
bool cancelledSplit(const Digit& u, const Digit& v, const Digit::Split& split) {
    const long double larger = std::max(std::fabs(KalMathOperation::preciseValueOf(u)),
                                        std::fabs(KalMathOperation::preciseValueOf(v)));
    return std::fabs(split.exact) <= larger * 1e-3L;
}

// Records the first result of typed numbers that no line can show truly.
double kept(const ExactOutcome& outcome, uint32_t typedSources, std::optional<UnheldResult>& unheld) {
    if (outcome.unheld && typedSources != 0 && !unheld) unheld = UnheldResult{*outcome.unheld, typedSources};
    return outcome.value;
}


// An exact result its double does not give back is carried in the Digit
// (see Digit::exactZ) wherever a line can write it (DecimalText::exactText):
// 0.5 · 4^{-8} + 3 reads its ten decimals, 2^{53} + 1 every digit. Past
// a line's digits a result of a carried value is computed as any number that
// is no exact one; one of typed numbers alone stays refused.
ExactOutcome settled(ExactOutcome outcome, std::pair<const Digit*, const Digit*> operands,
                     std::optional<ExactDecimal>& carried) {
    carried.reset();
    if (outcome.exact) return outcome;
    const bool fromCarried =
        (operands.first && operands.first->exactZ()) || (operands.second && operands.second->exactZ());
    const bool inRange = outcome.unheld != UnheldCause::tooLarge && outcome.unheld != UnheldCause::tooSmall;
    const bool writable = !outcome.unheld && !outcome.fullDigits;
    if (inRange && outcome.decimal && (writable || fromCarried) && DecimalText::exactText(*outcome.decimal)) {
        carried = outcome.decimal;
        return {outcome.value, true, std::nullopt, false, outcome.decimal};
    }
    if (fromCarried) outcome.unheld.reset();
    return outcome;
}

// Where both operands are typed numbers or exact results of them, sets
// `result` to z1 · z2 over n1 · n2 taken as the decimals they stand for and
// rounded once; leaves the doubles' products where either has more digits
// than any count here holds. `z` holds the Digits whose numerators multiply
// (null for a denominator), `n` those whose parts make the new denominator.
void takeExactProducts(Digit& result, const Digit& u, const Digit& v, std::pair<const Digit*, const Digit*> zFrom,
                       std::pair<double, double> z, std::pair<const Digit*, const Digit*> nFrom,
                       std::pair<double, double> n, std::optional<UnheldResult>& unheld) {
    if (!u.exact() || !v.exact()) return;
    const uint32_t sources = typedSourcesOf(u, v);
    const auto decimalOf = [](const Digit* numeratorOf, double part) {
        return numeratorOf ? KalMathOperation::numeratorDecimal(*numeratorOf)
                           : KalMathOperation::shortestDecimal(part);
    };
    const auto zFirst = decimalOf(zFrom.first, z.first);
    const auto zSecond = decimalOf(zFrom.second, z.second);
    const auto nFirst = decimalOf(nFrom.first, n.first);
    const auto nSecond = decimalOf(nFrom.second, n.second);
    if (!zFirst || !zSecond || !nFirst || !nSecond) return;
    const auto exactZ = KalMathOperation::exactProduct(*zFirst, *zSecond);
    const auto exactN = KalMathOperation::exactProduct(*nFirst, *nSecond);
    if (!exactZ || !exactN) return;
    std::optional<ExactDecimal> carriedZ;
    std::optional<ExactDecimal> carriedN;
    const ExactOutcome outcomeZ =
        settled(*exactZ, zFrom, carriedZ);
    ExactOutcome outcomeN = settled(*exactN, nFrom, carriedN);
    // A denominator is a double only: one it does not hold is no exact
    // fraction. The result is then a number like any computed one, carried
    // in extended precision and written rounded once ((3/4)^{27} - 18 needs
    // 4^{27} · 18, past every double that holds its digits).
    if (carriedN) {
        // Its quotient is taken over 1: a fraction of parts no double holds
        // would be written from rounded parts.
        result.setZ(kept(outcomeZ, sources, unheld) / outcomeN.value);
        result.setN(1.0);
        result.setExact(false);
        result.setExactZ(std::nullopt);
        result.setFullDigits(false);
        result.setTypedSources(0);
        return;
    }
    result.setZ(kept(outcomeZ, sources, unheld));
    result.setN(kept(outcomeN, sources, unheld));
    result.setExact(outcomeZ.exact && outcomeN.exact);
    result.setExactZ(result.exact() ? carriedZ : std::nullopt);
    result.setFullDigits(!result.exact() && (outcomeZ.exact || outcomeZ.fullDigits) &&
                         (outcomeN.exact || outcomeN.fullDigits));
    result.setTypedSources(result.exact() ? sources : 0);
}

// Sum or difference of two Digits, sharing every step; `sign` is '+' or '-'.
// A difference keeps constants and variables exactly as a sum does (dropping
// them gave π − 0 = 0), and it forms a common denominator whenever the
// denominators differ: folded constants can leave them unequal even outside
// fraction mode, where subtracting bare numerators would be wrong.
AdditionResult addOrSubtract(const Digit& u, const Digit& v, char sign, bool withFraction,
                             std::optional<UnheldResult>& unheld) {
    Digit left(std::nullopt, 1.0);
    Digit right(std::nullopt, 1.0);
    left.assign(u);
    right.assign(v);
    if (!left.z() || !right.z()) return {};
    if (left.zVariable() != right.zVariable() || left.powerOfZVariable() != right.powerOfZVariable() ||
        left.nVariable() != right.nVariable() || left.powerOfNVariable() != right.powerOfNVariable()) {
        return {};
    }
    auto result = Digit::make(std::nullopt, 1.0);
    result->setZVariable(left.zVariable());
    result->setPowerOfZVariable(left.powerOfZVariable());
    result->setNVariable(left.nVariable());
    result->setPowerOfNVariable(left.powerOfNVariable());

    // Constants: a zero operand contributes none; equal lists stay symbolic;
    // otherwise each side's constants are folded into its own numbers, which
    // are then no longer the decimals typed.
    bool exactTerms = u.exact() && v.exact();
    const uint32_t sources = typedSourcesOf(u, v);
    const double zeroTestLeft = *left.z();
    const double zeroTestRight = *right.z();
    if (zeroTestLeft != 0 && zeroTestRight == 0) {
        result->setZConstants(left.zConstants());
        result->setNConstants(left.nConstants());
    } else if (zeroTestLeft == 0 && zeroTestRight != 0) {
        result->setZConstants(right.zConstants());
        result->setNConstants(right.nConstants());
    } else {
        if (left.zConstants() == right.zConstants()) {
            result->setZConstants(left.zConstants());
        } else {
            left.setZ(*left.z() * productOfValues(left.zConstants()));
            right.setZ(*right.z() * productOfValues(right.zConstants()));
            exactTerms = exactTerms && left.zConstants().empty() && right.zConstants().empty();
        }
        if (left.nConstants() == right.nConstants()) {
            result->setNConstants(left.nConstants());
        } else {
            left.setN(left.n() * productOfValues(left.nConstants()));
            right.setN(right.n() * productOfValues(right.nConstants()));
            exactTerms = exactTerms && left.nConstants().empty() && right.nConstants().empty();
        }
    }

    AdditionResult out;
    // Exact terms over a common denominator no double holds: the sum is
    // taken over 1, as a computed number.
    bool overOne = false;
    std::optional<ExactDecimal> leftCarried;
    std::optional<ExactDecimal> rightCarried;
    const double du = left.n();
    const double dv = right.n();
    const double valueLeft = *left.z() / du;
    const double valueRight = *right.z() / dv;
    if (du != dv) {
        const double zu = *left.z();
        const double zv = *right.z();
        double leftZ = zu * dv;
        double common = dv * du;
        double rightZ = zv * du;
        // Exact terms stay exact over the common denominator only where its
        // products are held whole.
        if (exactTerms) {
            const auto decimalU = KalMathOperation::numeratorDecimal(u);
            const auto decimalV = KalMathOperation::numeratorDecimal(v);
            const auto decimalDu = KalMathOperation::shortestDecimal(du);
            const auto decimalDv = KalMathOperation::shortestDecimal(dv);
            auto a = decimalU && decimalDv ? KalMathOperation::exactProduct(*decimalU, *decimalDv) : std::nullopt;
            const auto b = KalMathOperation::exactProduct(dv, du);
            auto c = decimalV && decimalDu ? KalMathOperation::exactProduct(*decimalV, *decimalDu) : std::nullopt;
            // A numerator carrying an exact value stays carried over the
            // common denominator while it fits.
            std::optional<ExactDecimal> carried;
            if (a) a = settled(*a, {&u, nullptr}, carried);
            leftCarried = carried;
            if (c) c = settled(*c, {&v, nullptr}, carried);
            rightCarried = carried;
            // Terms whose common denominator no double holds make no exact
            // sum: it is computed as any other number (see below).
            exactTerms = a && b && c && a->exact && b->exact && c->exact;
            overOne = !exactTerms;
            if (exactTerms) {
                leftZ = a->value;
                common = b->value;
                rightZ = c->value;
            }
        }
        left.setZ(leftZ);
        left.setN(common);
        right.setZ(rightZ);
        right.setN(common);
        const char* format = sign == '+'
                                 ? "\\frac{%g \\cdot %g}{%g  \\cdot %g} + \\frac{%g \\cdot %g}{%g  \\cdot %g} = "
                                   "\\frac{%g}{%g  } + \\frac{%g}{%g}"
                                 : "\\frac{%g \\cdot %g}{%g  \\cdot %g} - \\frac{%g \\cdot %g}{%g  \\cdot %g} = "
                                   "\\frac{%g}{%g  } - \\frac{%g}{%g}";
        out.expansionLatex = stringWithFormat(format, zu, dv, du, dv, zv, du, dv, du, *left.z(), left.n(),
                                              *right.z(), right.n());
    }

    bool exactResult = false;
    if (exactTerms) {
        // Typed numbers and their exact results are never rounding residue:
        // 9007199254740992 - 9007199254740991 is 1 however near 2^{53}.
        const double rightTerm = sign == '+' ? *right.z() : -*right.z();
        // Over a common denominator the numerators were formed anew and are
        // held; otherwise a numerator may carry an exact value its double
        // does not hold.
        auto leftDecimal = du != dv ? (leftCarried ? leftCarried : KalMathOperation::shortestDecimal(*left.z()))
                                    : KalMathOperation::numeratorDecimal(u);
        auto rightDecimal = du != dv ? (rightCarried ? rightCarried : KalMathOperation::shortestDecimal(*right.z()))
                                     : KalMathOperation::numeratorDecimal(v);
        if (rightDecimal && sign == '-') rightDecimal->units = -rightDecimal->units;
        const auto exact = leftDecimal && rightDecimal ? KalMathOperation::exactDecimalSum(*leftDecimal, *rightDecimal)
                                                       : std::nullopt;
        if (exact) {
            std::optional<ExactDecimal> carried;
            const bool sameParts = du == dv;
            // Over a common denominator a carried numerator was carried on.
            Digit carrier(0.0, 1.0);
            carrier.setExactZ(leftCarried ? leftCarried : rightCarried);
            const ExactOutcome outcome =
                sameParts ? settled(*exact, {&u, &v}, carried) : settled(*exact, {&carrier, nullptr}, carried);
            result->setZ(kept(outcome, sources, unheld));
            // A sum of full digits keeps the exact sum it stands for.
            result->setExactZ(outcome.fullDigits ? outcome.decimal : carried);
            exactResult = outcome.exact;
            result->setFullDigits(outcome.fullDigits);
        } else {
            // Terms so far apart in size that their sum has more digits than
            // any count here holds: no exact sum, but a computed one.
            result->setZ(*left.z() + rightTerm);
        }
    } else {
        result->setZ(sign == '+' ? KalMathOperation::sumOrZero(*right.z(), *left.z())
                                 : KalMathOperation::sumOrZero(*left.z(), -*right.z()));
    }
    result->setN(left.n());
    if (withFraction) {
        const char* format = sign == '+' ? "\\frac{%g}{%g} + \\frac{%g}{%g} = \\frac{%g}{%g}"
                                         : "\\frac{%g}{%g} - \\frac{%g}{%g} = \\frac{%g}{%g}";
        out.operationLatex =
            stringWithFormat(format, *left.z(), left.n(), *right.z(), right.n(), *result->z(), result->n());
    } else {
        const char* format = sign == '+' ? "{%g} + {%g} = {%g}" : "{%g} - {%g} = {%g}";
        out.operationLatex = stringWithFormat(format, *left.z(), *right.z(), *result->z());
    }
    // Over a common denominator the parts may pass the double's range while
    // the terms do not (a tiny quotient of huge parts plus a number): the
    // terms are then added as they are.
    if ((overOne || !std::isfinite(*result->z()) || !std::isfinite(result->n())) &&
        std::isfinite(valueLeft) && std::isfinite(valueRight)) {
        // Exact terms are never rounding residue of each other.
        if (overOne) {
            result->setZ(sign == '+' ? valueLeft + valueRight : valueLeft - valueRight);
        } else {
            result->setZ(sign == '+' ? KalMathOperation::sumOrZero(valueRight, valueLeft)
                                     : KalMathOperation::sumOrZero(valueLeft, -valueRight));
        }
        result->setN(1.0);
        out.expansionLatex.reset();
        out.operationLatex = stringWithFormat(sign == '+' ? "{%g} + {%g} = {%g}" : "{%g} - {%g} = {%g}",
                                              valueLeft, valueRight, *result->z());
        exactResult = false;
        result->setExactZ(std::nullopt);
        result->setFullDigits(false);
    }
    result->setExact(exactResult);
    result->setTypedSources(exactResult ? sources : 0);
    // A sum that is no exact number is taken in extended precision too; one
    // set to 0 as residue is 0.
    if (!exactResult && *result->z() != 0) {
        const long double left = KalMathOperation::preciseValueOf(u);
        const long double right = KalMathOperation::preciseValueOf(v);
        result->setPrecise(result->fullDigits() && result->exactZ()
                               ? KalMathOperation::preciseDecimal(*result->exactZ()) / result->n()
                               : sign == '+' ? left + right
                                             : left - right);
    }
    if (!result->fullDigits() && !exactResult) result->setExactZ(std::nullopt);
    // Near an exact number the sum is the exact part and the rest: 1 - 1 is
    // 0 however the terms were rounded, and never residue.
    const bool plain = result->zConstants().empty() && result->nConstants().empty();
    if (const auto split = splitOf(u, v, sign); split && !exactResult && plain) {
        result->setSplit(split);
        if (cancelledSplit(u, v, *split)) {
            result->setPrecise(split->exact + split->rest);
            result->setZ(static_cast<double>(*result->precise()));
            result->setN(1.0);
            result->setExactZ(std::nullopt);
            result->setFullDigits(false);
        }
    }

    // An exact term and one too small for the digits of their sum: the sum
    // is kept as the two (20 - 4.4 \cdot 10^{-16} is no 20).
    if (!exactResult && !result->split() && plain && *result->z() != 0) {
        const long double first = KalMathOperation::preciseValueOf(u);
        const long double second = (sign == '+' ? 1 : -1) * KalMathOperation::preciseValueOf(v);
        const bool firstLarger = std::fabs(first) >= std::fabs(second);
        const Digit::Split split{firstLarger ? first : second, firstLarger ? second : first};
        if ((firstLarger ? u : v).exact() && KalStringOutput::splitLatex(split)) result->setSplit(split);
    }

    if (*result->z() == 0) {
        result->setN(1.0);
    } else if (result->n() < 0) {
        turnSigns(*result);
    }
    out.digit = std::move(result);
    return out;
}

// (base / denominator)^r where a raised part would leave the double range.
double powerOfQuotient(double base, double denominator, double r) {
    const double numeratorPower = std::pow(base, r);
    const double denominatorPower = std::pow(denominator, r);
    if (std::isfinite(numeratorPower) && std::isfinite(denominatorPower) && numeratorPower != 0.0 &&
        denominatorPower != 0.0) {
        return numeratorPower / denominatorPower;
    }
    const double quotient = base / denominator;
    if (std::isfinite(quotient) && quotient != 0.0) return std::pow(quotient, r);
    // The quotient itself is out of range: go through logarithms, keeping the
    // sign an integral exponent gives a negative base.
    if (base == 0.0 || denominator == 0.0 || !std::isfinite(base) || !std::isfinite(denominator)) {
        return numeratorPower / denominatorPower;
    }
    const double magnitude = std::exp(r * (std::log(std::fabs(base)) - std::log(std::fabs(denominator))));
    if (quotient > 0 || (base > 0) == (denominator > 0)) return magnitude;
    if (std::trunc(r) != r) return std::nan("");
    return std::fmod(r, 2.0) == 0.0 ? magnitude : -magnitude;
}


// The most significant digits an exact power keeps: those a line writes in
// full. 3^{36} = 150094635296999121 is exact so, and so is 3^{36} + 1;
// 3^{51} is not.
constexpr int kExactPowerDigits = DecimalText::kLongestNumber;

// base^{r} as an exact decimal, for a whole base and a whole r: from 0 on
// while the power has at most 24 significant digits; below 0 where the
// base has no prime factor but 2 and 5 (10^{-11} is 0.00000000001), so that
// the power is a decimal of as many. None otherwise.
std::optional<ExactDecimal> exactWholePower(double base, double r) {
    if (!isWholeInt64(base) || base == 0 || std::trunc(r) != r || !(std::fabs(r) <= 128)) return std::nullopt;
    const auto power = KalMathOperation::exactPower({static_cast<int64_t>(base), 0}, static_cast<int>(std::fabs(r)));
    if (!power) return std::nullopt;
    ExactDecimal exact = *power;
    if (r < 0) {
        // 1 / p is p's complement to a power of ten, when p divides one.
        Wide rest = magnitudeOf(exact.units);
        int twos = 0;
        int fives = 0;
        while (rest % 2 == 0) rest /= 2, ++twos;
        while (rest % 5 == 0) rest /= 5, ++fives;
        const int places = std::max(twos, fives) + exact.exponent;
        if (rest != 1 || std::max(twos, fives) > kWideDigits) return std::nullopt;
        const Wide units = tenToThe(std::max(twos, fives)) / magnitudeOf(exact.units);
        exact = {exact.units < 0 ? -units : units, -places};
    }
    exact = DecimalText::trimmed(exact);
    if (digitCountOf(exact.units) > kExactPowerDigits) return std::nullopt;
    return exact;
}

}  // namespace

KalMathOperation::KalMathOperation(KalStringOutput& outputHelper) : outputHelper_(&outputHelper) {}

KalMathOperation& KalMathOperation::shared() {
    static KalMathOperation instance;
    return instance;
}

AdditionResult KalMathOperation::add(const Digit& u, const Digit& v) {
    return addOrSubtract(u, v, '+', withFraction_, unheld_);
}

AdditionResult KalMathOperation::subtract(const Digit& u, const Digit& v) {
    return addOrSubtract(u, v, '-', withFraction_, unheld_);
}

ProductResult KalMathOperation::multiply(const Digit& u, const Digit& v) {
    if (!u.z() || !v.z()) return {};
    auto result = Digit::make(*v.z() * *u.z(), u.n() * v.n());
    // Typed numbers multiply as the decimals they stand for, rounded once:
    // -3 · 333333333.667 is -1000000001.001, not the -1000000001.0009999 of
    // their doubles.
    takeExactProducts(*result, u, v, {&u, &v}, {*u.z(), *v.z()}, {nullptr, nullptr}, {u.n(), v.n()}, unheld_);
    const auto [zVariable, zPower] =
        productVariable(u.zVariable(), u.powerOfZVariable(), v.zVariable(), v.powerOfZVariable());
    const auto [nVariable, nPower] =
        productVariable(u.nVariable(), u.powerOfNVariable(), v.nVariable(), v.powerOfNVariable());
    result->setZVariable(zVariable);
    result->setPowerOfZVariable(zPower);
    result->setNVariable(nVariable);
    result->setPowerOfNVariable(nPower);

    if (*result->z() == 0) {
        result->setN(1.0);
        return {result, digitLatex(u) + " \\cdot " + digitLatex(v) + " = 0", std::nullopt};
    }
    if (result->n() < 0) turnSigns(*result);
    // Every constant factor is kept, including those that stand only in a
    // denominator.
    result->setZConstants(concatenated(u.zConstants(), v.zConstants()));
    result->setNConstants(concatenated(u.nConstants(), v.nConstants()));
    if (!result->exact()) {
        result->setPrecise(preciseValueOf(u) * preciseValueOf(v));
        result->setSplit(splitOf(u, v, '*'));
    }

    ProductResult out;
    if (withFraction_) {
        out.operationLatex = stringWithFormat("\\frac{%g  \\cdot %g}{%g  \\cdot %g} = \\frac{%g}{%g}", *u.z(),
                                              *v.z(), u.n(), v.n(), *result->z(), result->n());
    } else {
        out.operationLatex = stringWithFormat("%g  \\cdot %g = %g", *u.z(), *v.z(), *result->z());
    }
    CancelResult cancelled = cancelDown(*result);
    if (cancelled.digit) result = cancelled.digit;
    out.cancelLatex = KalStringOutput::reductionLatex(*result, divisor_);
    out.digit = std::move(result);
    return out;
}

ProductResult KalMathOperation::divide(const Digit& u, const Digit& v, bool forceDecimal) {
    if (!u.z() || !v.z()) return {};
    const double x1 = *u.z();
    const double y1 = *v.z();
    const double x2 = u.n();
    const double y2 = v.n();
    const bool decimal = !withFraction_ || forceDecimal;
    // A numerator the double does not hold is divided crosswise, exactly.
    const bool partByPart = !decimal && !u.exactZ() && !v.exactZ() && std::fmod(x1, y1) == 0 &&
                            std::fmod(x2, y2) == 0;

    auto result = Digit::make(std::nullopt, 1.0);
    if (decimal) {
        result->setZ(x1 / y1);
    } else if (partByPart) {
        result->setZ(x1 / y1);
        result->setN(x2 / y2);
        // Exact parts divided part by part stay exact where each quotient
        // times its divisor gives the dividend back: c ÷ 1 is c, every digit.
        if (u.exact() && v.exact()) {
            const auto back = [](double quotient, double divisor, double dividend) {
                const auto product = exactProduct(quotient, divisor);
                const auto target = shortestDecimal(dividend);
                const auto held = product && product->exact ? shortestDecimal(product->value) : std::nullopt;
                return held && target && held->units == target->units &&
                       (held->units == 0 || held->exponent == target->exponent);
            };
            const bool exact = back(*result->z(), y1, x1) && back(result->n(), y2, x2);
            result->setExact(exact);
            result->setTypedSources(exact ? typedSourcesOf(u, v) : 0);
        }
    } else {
        result->setZ(x1 * y2);
        result->setN(y1 * x2);
        takeExactProducts(*result, u, v, {&u, nullptr}, {x1, y2}, {&v, nullptr}, {y1, x2}, unheld_);
    }

    if (*result->z() == 0) {
        result->setN(1.0);
        return {result, digitLatex(u) + " : " + digitLatex(v) + " = 0", std::nullopt};
    }
    if (!decimal && result->n() < 0) turnSigns(*result);
    // Constants on both sides cancel pairwise; all others are kept, including
    // those that stand only in a denominator.
    result->setZConstants(concatenated(withoutEach(u.zConstants(), v.zConstants()),
                                       withoutEach(v.nConstants(), u.nConstants())));
    result->setNConstants(concatenated(withoutEach(v.zConstants(), u.zConstants()),
                                       withoutEach(u.nConstants(), v.nConstants())));
    if (!result->exact()) {
        result->setPrecise(preciseValueOf(u) / preciseValueOf(v));
        result->setSplit(splitOf(u, v, '/'));
    }

    ProductResult out;
    if (decimal) {
        out.operationLatex = stringWithFormat("%g : %g = %g", x1, y1, *result->z());
    } else if (partByPart) {
        out.operationLatex = stringWithFormat("\\frac{%g : %g}{%g : %g} = \\frac{%g}{%g}", x1, y1, x2, y2,
                                              *result->z(), result->n());
    } else {
        out.operationLatex = stringWithFormat("\\frac{%g : %g}{%g : %g}", x1, y1, x2, y2) + " = " +
                             stringWithFormat("\\frac{%g  \\cdot %g}{%g  \\cdot %g} = \\frac{%g}{%g}", x1, y2,
                                              x2, y1, *result->z(), result->n());
    }
    CancelResult cancelled = cancelDown(*result);
    if (cancelled.digit) result = cancelled.digit;
    out.cancelLatex = KalStringOutput::reductionLatex(*result, divisor_);
    out.digit = std::move(result);
    return out;
}

CancelResult KalMathOperation::cancelDown(const Digit& d) {
    divisor_ = 1;
    if (!d.z() || std::isinf(*d.z())) return {};
    double z = *d.z();
    double n = d.n();
    int64_t divisor = 1;
    // Only whole numbers cancel; Euclid finds the same divisor that counting
    // down from min(|z|, |n|) would, in logarithmic time.
    // A numerator the double does not hold is not divided as its double.
    if (!d.exactZ() && std::fabs(z) > 1 && std::fabs(n) > 1 && isWholeInt64(z) && isWholeInt64(n)) {
        const int64_t g = std::gcd(std::llabs(static_cast<int64_t>(z)), std::llabs(static_cast<int64_t>(n)));
        if (g >= 2) {
            z /= static_cast<double>(g);
            n /= static_cast<double>(g);
            divisor = g;
        }
    }
    const int sign = n < 0 ? -1 : 1;
    divisor *= sign;
    divisor_ = divisor;

    NaturalConstants cancelling;
    if (!d.zConstants().empty() && d.zConstants() == d.nConstants()) cancelling.push_back(d.zConstants().front());
    if (std::llabs(divisor) <= 1 && cancelling.empty()) return {};

    const auto without = [&cancelling](const NaturalConstants& constants) {
        NaturalConstants rest;
        for (const NaturalConstant& c : constants) {
            bool cancelled = false;
            for (const NaturalConstant& k : cancelling) cancelled = cancelled || c == k;
            if (!cancelled) rest.push_back(c);
        }
        return rest;
    };
    auto reduced = Digit::make(std::nullopt, 1.0);
    reduced->assign(d);
    reduced->setZ(z);
    reduced->setN(n);
    if (sign < 0) turnSigns(*reduced);
    reduced->setZConstants(without(d.zConstants()));
    reduced->setNConstants(without(d.nConstants()));

    std::string text = KalStringOutput::cancelLatex(d, cancelling, divisor) + " =  " + digitLatex(*reduced);
    return {reduced, text};
}

// Below this logarithm of a power the power is split into 1 and its rest:
// subtracting 1 from it would cost a long double more digits than the 17 a
// line writes.
constexpr long double kSplitBelow = 1e-3L;

DigitPtr KalMathOperation::power(const Digit& d, double r, std::optional<long double> preciseR) {
    if (!d.z()) return nullptr;
    DigitPtr result = raised(d, r, preciseR);
    if (result->exact() || !result->precise() || !std::isfinite(*result->precise())) return result;
    // A power near 1 is 1 and the rest, taken without cancellation: the
    // logarithm of the base from its exact difference from 1 where it lies
    // near 1, and expm1 of the product.
    const long double exponent = preciseR.value_or(static_cast<long double>(r));
    const long double t = exponent * preciseLogarithm(d);
    if (std::isfinite(t) && t != 0 && std::fabs(t) < kSplitBelow) {
        result->setSplit(Digit::Split{1.0L, std::expm1(t)});
    }
    return result;
}

DigitPtr KalMathOperation::raised(const Digit& d, double r, std::optional<long double> preciseR) {
    auto result = Digit::make(std::nullopt, 1.0);
    result->assign(d);
    result->setExactZ(std::nullopt);
    result->setFullDigits(false);
    result->setSplit(std::nullopt);
    const long double exponent = preciseR.value_or(static_cast<long double>(r));
    result->setPrecise(std::pow(preciseValueOf(d), exponent));
    // The constants are folded into the numbers so that they are raised too:
    // e^x must not read as e for every x.
    const double base = *d.z() * productOfValues(d.zConstants());
    const double denominator = d.n() * productOfValues(d.nConstants());
    const double numeratorPower = std::pow(base, r);
    const double denominatorPower = std::pow(denominator, r);
    result->setZConstants({});
    result->setNConstants({});
    result->setExact(false);
    result->setTypedSources(0);
    const auto representable = [](double x) { return std::isfinite(x) && x != 0.0; };
    const bool partsRaised = representable(numeratorPower) && representable(denominatorPower);
    // Parts the double holds exactly (whole numbers, 1.5) are raised as they
    // are while their powers stay in range ((3/2)^{2} stays 9/4); a base near
    // 1 whose decimals the double holds only nearly is raised through its
    // exact difference from 1, as its logarithm is taken.
    const double quotient = base / denominator;
    const bool nearOne = quotient > 0.5 && quotient < 2 &&
                         (!partsRaised || !isHeldExactly(base) || !isHeldExactly(denominator));
    if (nearOne) {
        if (const auto difference = exactDifference(base, denominator)) {
            result->setZ(std::exp(r * std::log1p(*difference / denominator)));
            result->setN(1.0);
            if (const auto precise = preciseDifferenceFromOne(d)) {
                result->setPrecise(std::exp(exponent * std::log1p(*precise)));
            }
            return result;
        }
    }
    if (partsRaised) {
        result->setZ(numeratorPower);
        result->setN(denominatorPower);
        // A whole power of whole parts is exact while it has no more digits
        // than a typed number may have; where its double does not hold it
        // (3^{34}), the Digit carries it.
        if (d.exact() && !d.exactZ() && d.zConstants().empty() && d.nConstants().empty()) {
            // A negative power of a unit fraction whose denominator is no
            // power of twos and fives is the whole positive power of that
            // denominator: (1/3)^{-15} is 3^{15}, no 1 over the 15th power
            // of a third.
            const bool exchanged = r < 0 && std::fabs(base) == 1 && !exactWholePower(denominator, r);
            const double top = exchanged ? denominator : base;
            const double bottom = exchanged ? base : denominator;
            const double k = exchanged ? -r : r;
            const double bottomPower = exchanged ? std::pow(bottom, k) : denominatorPower;
            const auto exactZ = exactWholePower(top, k);
            const auto exactN = exactWholePower(bottom, k);
            const auto heldN = shortestDecimal(bottomPower);
            if (exactZ && exactN && heldN && DecimalText::trimmed(*exactN).units == heldN->units &&
                (heldN->units == 0 || DecimalText::trimmed(*exactN).exponent == heldN->exponent)) {
                const ExactOutcome rounded = roundedOnce(*exactZ);
                result->setZ(rounded.value);
                result->setN(bottomPower);
                result->setExact(true);
                result->setPrecise(std::nullopt);
                if (!rounded.exact) result->setExactZ(*exactZ);
                if (bottomPower < 0) turnSigns(*result);
            }
        }
    } else {
        // A part left the double range although the quotient may not have:
        // (2/3)^2000 is 0/0 part by part but about 1e-352 as a whole.
        result->setZ(powerOfQuotient(base, denominator, r));
        result->setN(1.0);
    }
    return result;
}

std::optional<KalMathOperation::TenthUnits> KalMathOperation::tenthDecimalUnits(double x) {
    if (!(std::fabs(x) < kTenthUnitsBelow)) return std::nullopt;
    // The shortest form is the decimal a typed number was typed as (a typed
    // number whose double gives back other digits is refused), and for a
    // computed one the decimal it reads as.
    const auto decimal = shortestDecimal(x);
    if (!decimal) return std::nullopt;
    const int scale = kTenthDecimalPlaces + decimal->exponent;
    if (scale < 0) return std::nullopt;  // more than ten decimals
    return decimal->units * tenToThe(scale);
}

std::optional<double> KalMathOperation::exactSum(double u, double v) {
    const auto unitsU = tenthDecimalUnits(u);
    const auto unitsV = tenthDecimalUnits(v);
    if (!unitsU || !unitsV) return std::nullopt;
    // A sum of 0 keeps the sign floating point gives it (-0 only from -0 + -0).
    if (*unitsU + *unitsV == 0) return u + v;
    return doubleOfTenthUnits(*unitsU + *unitsV);
}

std::optional<double> KalMathOperation::exactDifference(double z, double n) {
    if (std::trunc(z) == z && std::trunc(n) == n) return z - n;
    const auto unitsZ = tenthDecimalUnits(z);
    const auto unitsN = tenthDecimalUnits(n);
    if (!unitsZ || !unitsN) return std::nullopt;
    return doubleOfTenthUnits(*unitsZ - *unitsN);
}

double KalMathOperation::sumOrZero(double u, double v) {
    const double larger = std::max(std::fabs(u), std::fabs(v));
    const bool wholes = isWhole(u) && isWhole(v);
    const auto wholeResidue = [&] { return kResidueUnitsOfWholes * unitInLastPlace(larger); };
    if (const auto exact = exactSum(u, v)) {
        // From 2^{53} on the double cannot tell a whole power from its
        // neighbours: a sum within a few of their spacings is residue.
        if (wholes && larger >= kExactWholesBelow && std::fabs(*exact) <= wholeResidue()) return 0.0;
        return *exact;
    }
    const double sum = u + v;
    if (sum == 0 || !std::isfinite(sum)) return sum;
    const double residue = wholes ? wholeResidue() : kResidueShare * larger;
    return std::fabs(sum) <= residue ? 0.0 : sum;
}

std::optional<ExactDecimal> KalMathOperation::shortestDecimal(double x) { return DecimalText::shortest(x); }

std::optional<ExactOutcome> KalMathOperation::exactProduct(double u, double v) {
    const auto a = shortestDecimal(u);
    const auto b = shortestDecimal(v);
    if (!a || !b) return std::nullopt;
    if (a->units == 0 || b->units == 0) return ExactOutcome{u * v, true, std::nullopt, false, std::nullopt};
    return exactProduct(*a, *b);
}

std::optional<ExactOutcome> KalMathOperation::exactProduct(const ExactDecimal& u, const ExactDecimal& v) {
    const ExactDecimal a = DecimalText::trimmed(u);
    const ExactDecimal b = DecimalText::trimmed(v);
    if (a.units == 0 || b.units == 0) return ExactOutcome{0.0, true, std::nullopt, false, std::nullopt};
    // Seventeen digits at most on each side of a typed number; more (a
    // carried power, a product's parts) must stay below 10^{38}.
    if (digitCountOf(a.units) + digitCountOf(b.units) > kWideDigits) return std::nullopt;
    return roundedOnce(DecimalText::trimmed({a.units * b.units, a.exponent + b.exponent}));
}

std::optional<ExactOutcome> KalMathOperation::exactDecimalSum(double u, double v) {
    const auto a = shortestDecimal(u);
    const auto b = shortestDecimal(v);
    if (!a || !b) return std::nullopt;
    if (a->units == 0 || b->units == 0) return ExactOutcome{u + v, true, std::nullopt, false, std::nullopt};
    return exactDecimalSum(*a, *b);
}

std::optional<ExactOutcome> KalMathOperation::exactDecimalSum(const ExactDecimal& u, const ExactDecimal& v) {
    ExactDecimal a = DecimalText::trimmed(u);
    ExactDecimal b = DecimalText::trimmed(v);
    if (a.units == 0 && b.units == 0) return ExactOutcome{0.0, true, std::nullopt, false, std::nullopt};
    if (a.units == 0) return roundedOnce(b);
    if (b.units == 0) return roundedOnce(a);
    // Digits of a term more than 30 places below the larger one's first
    // cannot change what a line shows of the sum (ten decimals, or ten
    // significant digits): they are cut to one place more, a last 1 standing
    // for whatever was cut, so that the sum still rounds as it would
    // (9 + 9·10^{300} reads 9·10^{300}) and is no longer exact.
    const int cut = std::max(digitCountOf(a.units) + a.exponent, digitCountOf(b.units) + b.exponent) - 31;
    bool wasCut = false;
    for (ExactDecimal* term : {&a, &b}) {
        if (term->exponent >= cut - 1) continue;
        wasCut = true;
        const int drop = cut - 1 - term->exponent;
        const Wide kept = drop > kWideDigits ? Wide{0} : term->units / tenToThe(drop);
        *term = {kept * 10 + (term->units < 0 ? -1 : 1), cut - 2};
    }
    const int at = std::min(a.exponent, b.exponent);
    const int width = std::max(digitCountOf(a.units) + a.exponent, digitCountOf(b.units) + b.exponent) - at;
    if (width >= kWideDigits) return std::nullopt;
    const Wide units = a.units * tenToThe(a.exponent - at) + b.units * tenToThe(b.exponent - at);
    if (units == 0) return ExactOutcome{0.0, true, std::nullopt, false, std::nullopt};
    ExactOutcome outcome = roundedOnce(DecimalText::trimmed({units, at}));
    if (wasCut && !outcome.unheld) {
        // What was cut is no exact sum: a line writes the double's digits.
        outcome.fullDigits = !outcome.exact;
    }
    return outcome;
}

long double KalMathOperation::preciseConstant(const NaturalConstant& c) { return DecimalText::preciseConstant(c); }

long double KalMathOperation::preciseDecimal(const ExactDecimal& d) {
    const std::string text = digitsOf(d.units) + "e" + std::to_string(d.exponent);
    return std::strtold(text.c_str(), nullptr);
}

long double KalMathOperation::preciseLogarithm(const Digit& d) {
    const auto value = d.value();
    const auto difference = value && *value > 0.5 && *value < 2 ? preciseDifferenceFromOne(d) : std::nullopt;
    return difference ? std::log1p(*difference) : std::log(preciseValueOf(d));
}

std::optional<long double> KalMathOperation::preciseDifferenceFromOne(const Digit& d) {
    if (!d.z() || !d.zConstants().empty() || !d.nConstants().empty() || !(d.exact() || d.exactZ())) {
        return std::nullopt;
    }
    const auto z = numeratorDecimal(d);
    auto n = shortestDecimal(d.n());
    if (!z || !n || n->units == 0) return std::nullopt;
    const ExactDecimal a = DecimalText::trimmed(*z);
    const ExactDecimal b = DecimalText::trimmed(*n);
    const int at = std::min(a.exponent, b.exponent);
    const int width = std::max(digitCountOf(a.units) + a.exponent, digitCountOf(b.units) + b.exponent) - at;
    if (width >= kWideDigits) return std::nullopt;
    const Wide difference = a.units * tenToThe(a.exponent - at) - b.units * tenToThe(b.exponent - at);
    return preciseDecimal({difference, at}) / preciseDecimal(b);
}

long double KalMathOperation::preciseValueOf(const Digit& d) {
    if (d.precise()) return *d.precise();
    if (!d.z()) return std::numeric_limits<long double>::quiet_NaN();
    // An exact part is the decimal its shortest form reads, read to all the
    // digits of a long double.
    const auto part = [&d](const std::optional<ExactDecimal>& decimal, double value) {
        if (!d.exact() || !decimal || !std::isfinite(value)) return static_cast<long double>(value);
        const std::string text = digitsOf(decimal->units) + "e" + std::to_string(decimal->exponent);
        return std::strtold(text.c_str(), nullptr);
    };
    long double value = part(numeratorDecimal(d), *d.z()) / part(shortestDecimal(d.n()), d.n());
    for (const NaturalConstant& c : d.zConstants()) value *= preciseConstant(c);
    for (const NaturalConstant& c : d.nConstants()) value /= preciseConstant(c);
    return value;
}

std::optional<ExactDecimal> KalMathOperation::exactPower(const ExactDecimal& base, int k) {
    if (k < 0) return std::nullopt;
    const ExactDecimal b = DecimalText::trimmed(base);
    ExactDecimal power{1, 0};
    for (int i = 0; i < k; ++i) {
        if (b.units == 0) return ExactDecimal{};
        if (digitCountOf(power.units) + digitCountOf(b.units) > kWideDigits) return std::nullopt;
        power = DecimalText::trimmed({power.units * b.units, power.exponent + b.exponent});
    }
    return power;
}

std::optional<ExactDecimal> KalMathOperation::numeratorDecimal(const Digit& d) {
    return DecimalText::numeratorDecimal(d);
}

std::optional<int> KalMathOperation::exactLogarithm(const Digit& q, const Digit& a) {
    const auto plain = [](const Digit& d) {
        return d.exact() && d.z() && d.zConstants().empty() && d.nConstants().empty() && d.zVariable().empty() &&
               d.nVariable().empty();
    };
    if (!plain(q) || !plain(a)) return std::nullopt;
    const auto qz = numeratorDecimal(q);
    const auto qn = shortestDecimal(q.n());
    const auto az = numeratorDecimal(a);
    const auto an = shortestDecimal(a.n());
    const auto qValue = q.value();
    const auto aValue = a.value();
    if (!qz || !qn || !az || !an || !qValue || !aValue || !(*qValue > 0) || !(*aValue > 0) || *aValue == 1) {
        return std::nullopt;
    }
    const double guess = std::round(std::log(*qValue) / std::log(*aValue));
    if (!(std::fabs(guess) <= 128)) return std::nullopt;
    const int k = static_cast<int>(guess);
    // a^{k} = q: az^{k} · qn = an^{k} · qz, for k below 0 with a's parts exchanged.
    const auto powerZ = exactPower(k >= 0 ? *az : *an, std::abs(k));
    const auto powerN = exactPower(k >= 0 ? *an : *az, std::abs(k));
    if (!powerZ || !powerN) return std::nullopt;
    if (digitCountOf(powerZ->units) + digitCountOf(qn->units) > kWideDigits ||
        digitCountOf(powerN->units) + digitCountOf(qz->units) > kWideDigits) {
        return std::nullopt;
    }
    const ExactDecimal left = DecimalText::trimmed({powerZ->units * qn->units, powerZ->exponent + qn->exponent});
    const ExactDecimal right = DecimalText::trimmed({powerN->units * qz->units, powerN->exponent + qz->exponent});
    if (left.units != right.units || (left.units != 0 && left.exponent != right.exponent)) return std::nullopt;
    return k;
}

ExactDecimal KalMathOperation::roundedQuotient(const ExactDecimal& z, const ExactDecimal& n, int at) {
    return DecimalText::roundedQuotient(z, n, at);
}

ExactOutcome KalMathOperation::roundedOnce(const ExactDecimal& exact) {
    if (exact.units == 0) return {0.0, true, std::nullopt, false, std::nullopt};
    // Whole digits and an exponent read the same in every locale.
    const std::string text = digitsOf(exact.units) + "e" + std::to_string(exact.exponent);
    const double value = std::strtod(text.c_str(), nullptr);
    if (std::isinf(value)) return {value, false, UnheldCause::tooLarge, false, std::nullopt};
    const auto held = shortestDecimal(value);
    const ExactDecimal target = DecimalText::trimmed(exact);
    if (held && held->units == target.units && held->exponent == target.exponent) return {value, true, std::nullopt, false, target};
    // Below the normal doubles fewer digits are kept, down to none.
    if (std::fabs(value) < std::numeric_limits<double>::min()) return {value, false, UnheldCause::tooSmall, false, target};
    // Not every digit comes back: the Digit carries the exact result where a
    // line can write it (3.00000762939453125 reads 3.0000076294, 2^{53} + 1
    // 9007199254740993); a whole number no line holds is refused (10^{25} + 1
    // is no 1 \cdot 10^{25}).
    if (DecimalText::exactText(target)) return {value, false, std::nullopt, false, target};
    return {value, false, UnheldCause::tooManyDigits, false, target};
}

RoundedResult KalMathOperation::roundedToPlaces(int places, double x) {
    if (places < 0) places = 0;
    const double f = std::pow(10.0, places);
    // The fraction digits (the last piece after "."), without the first
    // `places` of them: what rounding drops.
    const auto pieces = splitDroppingEmpty(foundation::shortestDoubleText(x), '.');
    const std::string last = pieces.empty() ? std::string() : pieces.back();
    const std::string dropped = last.size() > static_cast<size_t>(places) ? last.substr(places) : std::string();
    const bool zeros = dropped.rfind("0000", 0) == 0;
    const bool nines = dropped.rfind("9999", 0) == 0;
    const double rounded = std::round(x * f) / f;
    const bool cut = (rounded == x || zeros) ? false : !nines;
    return {rounded, cut};
}
