#include "Calvaro/engine/KalMathOperation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string_view>
#include <utility>

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
// 10^{38} is the largest power of ten below 2^{127}.
constexpr int kMostWideDigits = 38;

Wide tenToThe(int n) {
    Wide power = 1;
    while (n-- > 0) power *= 10;
    return power;
}

Wide magnitudeOf(Wide units) { return units < 0 ? -units : units; }

int digitCountOf(Wide units) {
    Wide magnitude = magnitudeOf(units);
    int count = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++count;
    }
    return count;
}

std::string digitsOf(Wide units) {
    Wide magnitude = magnitudeOf(units);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    return (units < 0 ? "-" : "") + digits;
}

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

ExactDecimal withoutTrailingZeros(ExactDecimal d) {
    if (d.units == 0) return {};
    while (d.units % 10 == 0) {
        d.units /= 10;
        ++d.exponent;
    }
    return d;
}

// d as a count of 10^{at}, halves away from zero; none when the count would
// not fit.
std::optional<Wide> unitsAt(const ExactDecimal& d, int at) {
    if (d.units == 0) return Wide{0};
    if (d.exponent >= at) {
        const int shift = d.exponent - at;
        if (digitCountOf(d.units) + shift > kMostWideDigits) return std::nullopt;
        return d.units * tenToThe(shift);
    }
    const int drop = at - d.exponent;
    if (drop > kMostWideDigits) return Wide{0};  // below half a unit of 10^{at}
    const Wide divisor = tenToThe(drop);
    Wide quotient = d.units / divisor;
    const Wide rest = magnitudeOf(d.units % divisor);
    if (rest >= divisor - rest) quotient += d.units < 0 ? -1 : 1;
    return quotient;
}

// The inputs a result of two typed numbers is made of; none where either
// operand was computed (an exact power, a constant -1): what such a result
// meets is no meeting of typed numbers, and it is written as before.
uint32_t typedSourcesOf(const Digit& u, const Digit& v) {
    return u.typedSources() != 0 && v.typedSources() != 0 ? u.typedSources() | v.typedSources() : 0;
}

// Records the first result of typed numbers that no line can show truly.
double kept(const ExactOutcome& outcome, uint32_t typedSources, std::optional<UnheldResult>& unheld) {
    if (outcome.unheld && typedSources != 0 && !unheld) unheld = UnheldResult{*outcome.unheld, typedSources};
    return outcome.value;
}

// Where both operands are typed numbers or exact results of them, sets
// `result` to z1 · z2 over n1 · n2 taken as the decimals they stand for and
// rounded once; leaves the doubles' products where either has more digits
// than any count here holds.
void takeExactProducts(Digit& result, const Digit& u, const Digit& v, std::pair<double, double> z,
                       std::pair<double, double> n, std::optional<UnheldResult>& unheld) {
    if (!u.exact() || !v.exact()) return;
    const uint32_t sources = typedSourcesOf(u, v);
    const auto exactZ = KalMathOperation::exactProduct(z.first, z.second);
    const auto exactN = KalMathOperation::exactProduct(n.first, n.second);
    if (!exactZ || !exactN) return;
    result.setZ(kept(*exactZ, sources, unheld));
    result.setN(kept(*exactN, sources, unheld));
    result.setExact(exactZ->exact && exactN->exact);
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
            const auto a = KalMathOperation::exactProduct(zu, dv);
            const auto b = KalMathOperation::exactProduct(dv, du);
            const auto c = KalMathOperation::exactProduct(zv, du);
            exactTerms = a && b && c && a->exact && b->exact && c->exact;
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
        if (const auto exact = KalMathOperation::exactDecimalSum(*left.z(), rightTerm)) {
            result->setZ(kept(*exact, sources, unheld));
            exactResult = exact->exact;
        } else {
            // Terms so far apart in size that their sum has more digits than
            // any count here holds.
            kept({0.0, false, UnheldCause::tooManyDigits}, sources, unheld);
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
    if ((!std::isfinite(*result->z()) || !std::isfinite(result->n())) && std::isfinite(valueLeft) &&
        std::isfinite(valueRight)) {
        result->setZ(sign == '+' ? KalMathOperation::sumOrZero(valueRight, valueLeft)
                                 : KalMathOperation::sumOrZero(valueLeft, -valueRight));
        result->setN(1.0);
        out.expansionLatex.reset();
        out.operationLatex = stringWithFormat(sign == '+' ? "{%g} + {%g} = {%g}" : "{%g} - {%g} = {%g}",
                                              valueLeft, valueRight, *result->z());
        exactResult = false;
    }
    result->setExact(exactResult);
    result->setTypedSources(exactResult ? sources : 0);

    if (*result->z() == 0) {
        result->setN(1.0);
    } else if (result->n() < 0) {
        result->setZ(-*result->z());
        result->setN(-result->n());
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

// Whether `power` is exactly base^{r}: base whole, r a whole count from 0,
// and the power counted in a 128-bit integer equal to the double.
bool isExactWholePower(double base, double r, double power) {
    if (!isWholeInt64(base) || !(r >= 0 && r <= 128) || std::trunc(r) != r) return false;
    const Wide factor = static_cast<Wide>(static_cast<int64_t>(base));
    const Wide bound = tenToThe(kMostWideDigits - 19);  // a product below 10^{38}
    Wide exact = 1;
    for (int i = 0; i < static_cast<int>(r); ++i) {
        if (magnitudeOf(exact) >= bound) return false;
        exact *= factor;
    }
    return std::fabs(power) < 1e38 && static_cast<Wide>(power) == exact;
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
    takeExactProducts(*result, u, v, {*u.z(), *v.z()}, {u.n(), v.n()}, unheld_);
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
    if (result->n() < 0) {
        result->setZ(-*result->z());
        result->setN(-result->n());
    }
    // Every constant factor is kept, including those that stand only in a
    // denominator.
    result->setZConstants(concatenated(u.zConstants(), v.zConstants()));
    result->setNConstants(concatenated(u.nConstants(), v.nConstants()));

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
    const bool partByPart = !decimal && std::fmod(x1, y1) == 0 && std::fmod(x2, y2) == 0;

    auto result = Digit::make(std::nullopt, 1.0);
    if (decimal) {
        result->setZ(x1 / y1);
    } else if (partByPart) {
        result->setZ(x1 / y1);
        result->setN(x2 / y2);
    } else {
        result->setZ(x1 * y2);
        result->setN(y1 * x2);
        takeExactProducts(*result, u, v, {x1, y2}, {y1, x2}, unheld_);
    }

    if (*result->z() == 0) {
        result->setN(1.0);
        return {result, digitLatex(u) + " : " + digitLatex(v) + " = 0", std::nullopt};
    }
    if (!decimal && result->n() < 0) {
        result->setZ(-*result->z());
        result->setN(-result->n());
    }
    // Constants on both sides cancel pairwise; all others are kept, including
    // those that stand only in a denominator.
    result->setZConstants(concatenated(withoutEach(u.zConstants(), v.zConstants()),
                                       withoutEach(v.nConstants(), u.nConstants())));
    result->setNConstants(concatenated(withoutEach(v.zConstants(), u.zConstants()),
                                       withoutEach(u.nConstants(), v.nConstants())));

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
    if (std::fabs(z) > 1 && std::fabs(n) > 1 && isWholeInt64(z) && isWholeInt64(n)) {
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
    reduced->setZ(z * sign);
    reduced->setN(n * sign);
    reduced->setZConstants(without(d.zConstants()));
    reduced->setNConstants(without(d.nConstants()));

    std::string text = KalStringOutput::cancelLatex(d, cancelling, divisor) + " =  " + digitLatex(*reduced);
    return {reduced, text};
}

DigitPtr KalMathOperation::power(const Digit& d, double r) {
    if (!d.z()) return nullptr;
    auto result = Digit::make(std::nullopt, 1.0);
    result->assign(d);
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
            return result;
        }
    }
    if (partsRaised) {
        result->setZ(numeratorPower);
        result->setN(denominatorPower);
        // A whole power of whole parts is exact where its double holds it
        // (2^{53}, not 3^{34}): it meets typed numbers as one of them.
        const bool exactParts = d.exact() && d.zConstants().empty() && d.nConstants().empty() &&
                                isExactWholePower(base, r, numeratorPower) &&
                                isExactWholePower(denominator, r, denominatorPower);
        result->setExact(exactParts);
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

std::optional<ExactDecimal> KalMathOperation::shortestDecimal(double x) {
    if (!std::isfinite(x)) return std::nullopt;
    if (x == 0) return ExactDecimal{};
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    if (written.ec != std::errc()) return std::nullopt;
    const std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
    const size_t e = text.find('e');
    if (e == std::string_view::npos) return std::nullopt;
    int exponent = 0;
    const char* first = text.data() + e + 1;
    if (*first == '+') ++first;
    if (std::from_chars(first, text.data() + text.size(), exponent).ec != std::errc()) return std::nullopt;
    Wide units = 0;
    int digitsAfterFirst = -1;
    for (const char c : text.substr(0, e)) {
        if (c < '0' || c > '9') continue;
        units = units * 10 + (c - '0');
        ++digitsAfterFirst;
    }
    return withoutTrailingZeros({text.front() == '-' ? -units : units, exponent - digitsAfterFirst});
}

std::optional<ExactOutcome> KalMathOperation::exactProduct(double u, double v) {
    const auto a = shortestDecimal(u);
    const auto b = shortestDecimal(v);
    if (!a || !b) return std::nullopt;
    // Seventeen digits at most on each side: the product stays below 10^{34}.
    if (a->units == 0 || b->units == 0) return ExactOutcome{u * v, true, std::nullopt};
    return roundedOnce(withoutTrailingZeros({a->units * b->units, a->exponent + b->exponent}));
}

std::optional<ExactOutcome> KalMathOperation::exactDecimalSum(double u, double v) {
    auto a = shortestDecimal(u);
    auto b = shortestDecimal(v);
    if (!a || !b) return std::nullopt;
    if (a->units == 0 || b->units == 0) return ExactOutcome{u + v, true, std::nullopt};
    // Digits of a term more than 30 places below the larger one's first
    // cannot change what a line shows of the sum (ten decimals, or ten
    // significant digits): they are cut to one place more, a last 1 standing
    // for whatever was cut, so that the sum still rounds as it would
    // (9 + 9·10^{300} reads 9·10^{300}) and is no longer exact.
    const int cut = std::max(digitCountOf(a->units) + a->exponent, digitCountOf(b->units) + b->exponent) - 31;
    for (ExactDecimal* term : {&*a, &*b}) {
        if (term->exponent >= cut - 1) continue;
        const int drop = cut - 1 - term->exponent;
        const Wide kept = drop > kMostWideDigits ? Wide{0} : term->units / tenToThe(drop);
        *term = {kept * 10 + (term->units < 0 ? -1 : 1), cut - 2};
    }
    const int at = std::min(a->exponent, b->exponent);
    const int width = std::max(digitCountOf(a->units) + a->exponent, digitCountOf(b->units) + b->exponent) - at;
    if (width >= kMostWideDigits) return std::nullopt;
    const Wide units = a->units * tenToThe(a->exponent - at) + b->units * tenToThe(b->exponent - at);
    // A sum of 0 keeps the sign floating point gives it (-0 only from -0 + -0).
    if (units == 0) return ExactOutcome{u + v, true, std::nullopt};
    return roundedOnce(withoutTrailingZeros({units, at}));
}

ExactOutcome KalMathOperation::roundedOnce(const ExactDecimal& exact) {
    if (exact.units == 0) return {0.0, true, std::nullopt};
    // Whole digits and an exponent read the same in every locale.
    const std::string text = digitsOf(exact.units) + "e" + std::to_string(exact.exponent);
    const double value = std::strtod(text.c_str(), nullptr);
    if (std::isinf(value)) return {value, false, UnheldCause::tooLarge};
    const auto held = shortestDecimal(value);
    const ExactDecimal target = withoutTrailingZeros(exact);
    if (held && held->units == target.units && held->exponent == target.exponent) return {value, true, std::nullopt};
    // Below the normal doubles fewer digits are kept, down to none.
    if (std::fabs(value) < std::numeric_limits<double>::min()) return {value, false, UnheldCause::tooSmall};
    // Not every digit comes back. The line still tells the truth where the
    // double and the exact value round alike to what a line shows: ten
    // decimals (a number shown with fewer has zeros after them), or ten
    // significant digits as m·10^{k}. 3000000000000000.5 is no writing of
    // 3000000000000000.3, nor 10000000000000000 of 9999999999999999.5.
    const int leading = target.exponent + digitCountOf(target.units) - 1;
    const bool plain = leading >= -kFractionDigits && leading < 17;
    const int at = plain ? -kFractionDigits : leading - 9;
    const auto shown = unitsAt(target, at);
    const auto heldShown = held ? unitsAt(*held, at) : std::nullopt;
    if (shown && heldShown && *shown == *heldShown) return {value, false, std::nullopt};
    return {value, false, UnheldCause::tooManyDigits};
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
