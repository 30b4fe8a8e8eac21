#include "Calvaro/engine/KalStringOutput.h"

#include <algorithm>
#include <cinttypes>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Calvaro/engine/DecimalText.h"
#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/engine/TextFormat.h"
#include "platform/foundation/Text.h"

namespace {

// One fixed text for a value that is not a number (0 ÷ 0, ln of a negative
// number), so that such a line still reads sensibly instead of "(NaN)" or "-NaN".
constexpr const char* kNotANumber = "NaN";

// Whether a part of a fraction keeps its value when written with
// `fractionDigits` decimals: its text reads back to the same number, or its
// magnitude lies in [1, 1e15], where the rounding costs at most a relative
// half unit of the last digit. A part such as 0.0000000348 would keep three
// significant digits, and the fraction of two such parts could read 87 for 91.
bool isHonestPart(double part, int fractionDigits) {
    const double magnitude = std::fabs(part);
    if (magnitude >= 1.0 && magnitude <= 1e15) return true;
    const std::string text = foundation::formatDecimal(part, 0, fractionDigits);
    return std::strtod(text.c_str(), nullptr) == part;
}

// The precision of every number a step writes: ten fraction digits, so a
// nonzero value below this has no digit to show there. (Rounding residue
// never gets here: sums set it to 0 where they are computed.)
constexpr double kDecimalsFrom = 1e-10;
// Beyond seventeen integer digits a double has no digits left to show: the
// decimal text would go on with padded zeros.
constexpr double kPlainBelow = 1e17;

// The "%e" text of m·10^{k}, m of at most ten significant digits, or of every
// digit of the shortest form with `allDigits` (which a typed number below the
// normal doubles has only where the double gives it back).
std::string scientificDigits(double value, bool allDigits) {
    // Below the smallest normal double the spacing of doubles is fixed, so a
    // value there holds fewer digits, down to one at the smallest of all:
    // 10^{-320} is held as 9.99988867e-321 and reads 1 \cdot 10^{-320}.
    int significant = 10;
    const double magnitude = std::fabs(value);
    if (allDigits) {
        char shortest[32];
        const auto written = std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
        if (written.ec == std::errc()) return std::string(shortest, written.ptr);
    }
    if (magnitude < std::numeric_limits<double>::min()) {
        const double steps = magnitude / std::numeric_limits<double>::denorm_min();
        significant = std::clamp(static_cast<int>(std::floor(std::log10(steps))), 1, 10);
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*e", significant - 1, value);
    return buffer;
}

// m·10^{k} with m of at most ten significant digits, for a value the plain
// decimals cannot hold: a typed 0.000000000001 is no zero, and 2^{1000} is
// no wall of padded zeros. A typed number keeps all its digits
// (`allDigits`): 100000000000000100000 is no 1 \cdot 10^{20} beside 10^{20}.
std::string scientificText(double value, bool allDigits = false) {
    const std::string text = scientificDigits(value, allDigits);
    const size_t exponentAt = text.find('e');
    std::string mantissa = text.substr(0, exponentAt);
    if (mantissa.find('.') != std::string::npos) {
        mantissa.erase(mantissa.find_last_not_of('0') + 1);
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    const int exponent = std::atoi(text.c_str() + exponentAt + 1);
    return mantissa + " \\cdot 10^{" + std::to_string(exponent) + "}";
}

// Whether the plain decimals cannot hold a nonzero finite value: below 1e-10
// they would write zeros only, from 1e17 on padded zeros.
bool needsScientific(double value) {
    const double magnitude = std::fabs(value);
    return value != 0 && std::isfinite(value) && (magnitude < kDecimalsFrom || magnitude >= kPlainBelow);
}

// The most significant digits a line writes of a number from its double:
// those a double holds of every number (a decimal of fifteen digits survives
// the double, one of sixteen may not). 1234567900.0892344 is no writing of the
// 1234567900.08923428 that a double sum stands for.
constexpr int kHeldSignificantDigits = 15;

// The place 10^{at} a line writes a number of magnitude `value` to: ten
// decimals, but no more than fifteen significant digits; from 1e17 on and
// below 1e-10 ten significant digits of m·10^{k}.
int lastPlaceOf(double value, int fractionDigits) {
    const int leading = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    if (needsScientific(value)) return leading - 9;
    return -std::min(fractionDigits, kHeldSignificantDigits - 1 - leading);
}

// The en_US decimal text of a finite value with at most `fractionDigits`
// decimals and at most the significant digits a double holds, or none when
// those decimals would write a nonzero value as 0 or the value lies from 1e17
// on: it is then written m·10^{k}.
std::optional<std::string> plainText(double value, int fractionDigits) {
    if (needsScientific(value)) return std::nullopt;
    std::string text;
    const int at = value == 0 || !std::isfinite(value) ? -fractionDigits : lastPlaceOf(value, fractionDigits);
    if (at > -fractionDigits) {
        // Fewer decimals than the line allows: the shortest form (the digits
        // the double holds) rounded once more, halves away from zero.
        const auto shortest = DecimalText::shortest(value);
        if (!shortest) return std::nullopt;
        // No decimal left: padded zeros, or a number that is not whole
        // written whole (1234567890123457.58 is no 1234567890123460).
        if (at > 0 || (at == 0 && std::trunc(value) != value)) return std::nullopt;
        // Only digits below 10^{at} need rounding away.
        const ExactDecimal rounded =
            shortest->exponent >= at ? *shortest : DecimalText::roundedQuotient(*shortest, {1, 0}, at);
        // Rounded up to 10^{17}, it is written as such a number is.
        if (DecimalText::digitCount(rounded) + at > 17) return std::nullopt;
        text = DecimalText::plain(rounded);
        // Fewer decimals than ten that leave none: a number that is not
        // whole reads m \cdot 10^{k} rather than whole.
        if (std::trunc(value) != value && text.find('.') == std::string::npos) return std::nullopt;
    } else {
        text = foundation::formatDecimal(value, 0, fractionDigits);
    }
    if (value != 0 && std::isfinite(value) && text.find_first_of("123456789") == std::string::npos)
        return std::nullopt;
    return text;
}

std::string decimalText(double value, int fractionDigits, bool allDigits = false) {
    if (allDigits && std::isfinite(value) && !needsScientific(value)) {
        if (const auto shortest = DecimalText::shortest(value)) {
            const std::string text = DecimalText::plain(*shortest);
            if (text.size() <= static_cast<size_t>(DecimalText::kLongestNumber)) return text;
        }
    }
    if (auto text = plainText(value, fractionDigits)) return *text;
    if (!needsScientific(value) && std::isfinite(value) && !allDigits) {
        // Plain digits would be padded or read whole: m \cdot 10^{k} with
        // the digits a double holds.
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.*e", kHeldSignificantDigits - 1, value);
        if (const auto shown = DecimalText::shortest(std::strtod(buffer, nullptr))) return DecimalText::scientific(*shown);
    }
    return scientificText(value, allDigits);
}

// A value computed in extended precision as a line writes it (see
// DecimalText::preciseText); one the double does not hold in its normal
// range is written from its double.
std::string preciseDecimalText(long double precise, int fractionDigits) {
    if (auto text = DecimalText::preciseText(precise)) return *text;
    return decimalText(static_cast<double>(precise), fractionDigits);
}

// An exact decimal as a line writes it (see DecimalText::exactText).
std::string exactDigitsLatex(const ExactDecimal& d) {
    if (auto text = DecimalText::exactText(d)) return *text;
    return DecimalText::scientific(d);
}

// A number followed by its constants, negatives in brackets unless
// `withoutBrackets`. Only 0 itself reads "0": a tiny value keeps its own
// writing, m \cdot 10^{k}.
std::string numberLatex(const NaturalConstants& constants, int maximumFractionDigits, bool withoutBrackets,
                        double value) {
    if (std::isnan(value)) return kNotANumber;
    if (value == 0) return "0";
    // Only a true infinity: a large finite value keeps its digits or its m·10^{k}.
    if (std::isinf(value)) return value > 0 ? "\\infty" : "-\\infty";
    std::string constantsLatex;
    for (const NaturalConstant& c : constants) constantsLatex += c.latex();
    const std::string number = decimalText(value, maximumFractionDigits);
    if (value >= 0 || withoutBrackets) {
        if (constantsLatex.empty()) return number;
        return value == 1.0 ? constantsLatex : number + constantsLatex;
    }
    if (constantsLatex.empty()) return "(" + number + ")";
    return value == -1.0 ? "(-" + constantsLatex + ")" : "(" + number + constantsLatex + ")";
}

// The LaTeX control words a step writes that end in a letter. One directly
// followed by a letter ("\pi" + "y") would read as an unknown command.
constexpr const char* kLetterEndedWords[] = {"\\pi", "\\infty"};

}  // namespace

std::string KalStringOutput::separateControlWords(std::string text) {
    for (const char* word : kLetterEndedWords) {
        const std::string w = word;
        for (size_t at = text.find(w); at != std::string::npos; at = text.find(w, at + 1)) {
            const size_t next = at + w.size();
            if (next < text.size() && std::isalpha(static_cast<unsigned char>(text[next]))) text.insert(next, " ");
        }
    }
    return text;
}

void KalStringOutput::replaceOneOrAppend(std::string& text, const std::string& replacement,
                                         const std::string& separator) {
    if (text == "1") {
        text = replacement;
    } else if (text == "-1") {
        text = "-" + replacement;
    } else {
        text += separator + replacement;
    }
}

std::string KalStringOutput::baseLatex(const std::string& latex) {
    const bool plainNumber =
        !latex.empty() && latex.find_first_not_of("0123456789.") == std::string::npos;
    if (plainNumber || latex == "\\pi" || latex == "e") return latex;
    return "\\left(" + latex + "\\right)";
}

std::string KalStringOutput::divisorLatex(const std::string& latex) {
    if (latex.find("\\cdot") == std::string::npos) return latex;
    return "\\left(" + latex + "\\right)";
}

KalStringOutput& KalStringOutput::shared() {
    static KalStringOutput instance;
    return instance;
}

std::string KalStringOutput::stepTitle(const std::string& title) {
    ++solutionStepCounter_;
    return LocalizedString::step() + " " + std::to_string(solutionStepCounter_) + "    " + title;
}

void KalStringOutput::appendStep(const std::string& title, const std::string& latexString) {
    solutionSteps_.push_back({{"title", title}, {"latexString", separateControlWords(latexString)}});
}

std::string KalStringOutput::formatNumberLatex(const std::string& suffix, const NaturalConstants& constants,
                                               const std::string& variable, int maximumFractionDigits,
                                               bool withoutBrackets, double value) {
    std::string text = numberLatex(constants, maximumFractionDigits, withoutBrackets, value);
    if (!variable.empty()) replaceOneOrAppend(text, variable, " ");
    if (!suffix.empty()) text += " " + suffix;
    return text;
}

std::string KalStringOutput::formatDigitLatex(const Digit& digit, const std::string& suffix,
                                              std::optional<bool> brackets, bool forceFraction, bool keepSigns,
                                              int maximumFractionDigits) {
    if (!digit.z()) return " ? ";
    const double value = *digit.value();
    std::string text;
    // A digit is exact: only a true zero reads "0" and only a true infinity
    // (a division by zero) "\infty"; a tiny value shows as its fraction or as
    // m \cdot 10^{k}, a large one with its digits or as m \cdot 10^{k}.
    if (std::isnan(value)) {
        text = kNotANumber;
    } else if (value == 0 && !keepSigns) {
        text = "0";
    } else if (std::isinf(value)) {
        text = value > 0 ? "\\infty" : "-\\infty";
    } else {
        double z = *digit.z();
        double n = digit.n();
        // Shown by its value (every constant already in it) when a part would
        // lose its digits.
        const bool byValue =
            !isHonestPart(z, maximumFractionDigits) || !isHonestPart(n, maximumFractionDigits);
        if (byValue) {
            z = value;
            n = 1.0;
        }
        if (!keepSigns) {
            if ((z < 0) != (n < 0)) text = "-";
            z = std::fabs(z);
            n = std::fabs(n);
        }
        // An exact number (a typed one or an exact result of typed ones)
        // is written with every digit it has, so that it reads apart from
        // the numbers it meets.
        const bool allDigits = (digit.exact() || digit.fullDigits()) &&
                               (!byValue || (digit.n() == 1.0 && digit.zConstants().empty() &&
                                             digit.nConstants().empty()));
        std::string numerator = decimalText(z, maximumFractionDigits, allDigits);
        if (allDigits && digit.exact() && digit.exactZ()) {
            ExactDecimal exact = *digit.exactZ();
            if (exact.units < 0) exact.units = -exact.units;
            numerator = exactDigitsLatex(exact);
        } else if (byValue || digit.n() == 1.0) {
            // A number shown by its value is rounded once: an exact quotient
            // from its exact parts, a computed one from its precise value
            // (without the constants it is written with).
            if (auto exact = byValue || (digit.zConstants().empty() && digit.nConstants().empty())
                                 ? exactValueText(digit)
                                 : std::nullopt) {
                if (!keepSigns && !exact->empty() && exact->front() == '-') exact->erase(0, 1);
                numerator = *exact;
            } else if (const auto sum = !allDigits && digit.split() && digit.zConstants().empty() &&
                                                digit.nConstants().empty()
                                            ? splitLatex(keepSigns || digit.split()->exact >= 0
                                                             ? *digit.split()
                                                             : Digit::Split{-digit.split()->exact,
                                                                            -digit.split()->rest})
                                            : std::nullopt) {
                // Without signs the magnitude: the exact part's sign is the sum's.
                numerator = *sum;
            } else if (!allDigits && digit.precise() && std::isfinite(z) &&
                       std::fabs(z) >= std::numeric_limits<double>::min()) {
                long double precise = *digit.precise();
                if (!byValue) {
                    for (const NaturalConstant& c : digit.zConstants()) precise /= DecimalText::preciseConstant(c);
                    for (const NaturalConstant& c : digit.nConstants()) precise *= DecimalText::preciseConstant(c);
                }
                numerator = preciseDecimalText(keepSigns ? precise : std::fabs(precise), maximumFractionDigits);
            }
        }
        if (!byValue) {
            for (const NaturalConstant& c : digit.zConstants()) replaceOneOrAppend(numerator, c.latex(), "");
        }
        // The denominator is written exactly like the numerator, never through
        // "%g", which would round 1234567 to 1234570.
        std::string denominator = decimalText(n, maximumFractionDigits, allDigits);
        if (!byValue) {
            for (const NaturalConstant& c : digit.nConstants()) replaceOneOrAppend(denominator, c.latex(), "");
        }
        if (n == 1.0 && (byValue || digit.nConstants().empty()) && !forceFraction) {
            text += numerator;
        } else {
            text += "\\frac{" + numerator + "}{" + denominator + "}";
        }
    }
    if (const auto variables = variableLatex(digit)) replaceOneOrAppend(text, *variables, " ");
    if (brackets.value_or(!text.empty() && text[0] == '-')) text = "\\left(" + text + "\\right)";
    if (!suffix.empty()) text += " " + suffix;
    return text;
}

std::optional<std::string> KalStringOutput::splitLatex(const Digit::Split& split) {
    // Only a whole exact part reads as itself in a line; a rest below the
    // double's normal numbers has no text of its own.
    if (split.exact == 0 || !(std::fabs(split.exact) < 1e17L) || std::round(split.exact) != split.exact ||
        !std::isfinite(split.rest) || std::fabs(split.rest) < std::numeric_limits<double>::min()) {
        return std::nullopt;
    }
    // Seventeen significant digits show a rest from half their last place on.
    const long double shown = 0.5L * std::pow(10.0L, std::floor(std::log10(std::fabs(split.exact))) - 16);
    if (std::fabs(split.rest) >= shown) return std::nullopt;
    const std::string exact = formatPreciseNumberLatex(std::fabs(split.exact));
    const std::string rest = formatPreciseNumberLatex(std::fabs(split.rest));
    return std::string(split.exact < 0 ? "(-" : "(") + exact + (split.rest < 0 ? " - " : " + ") + rest + ")";
}

std::string KalStringOutput::formatPreciseNumberLatex(long double value) {
    const double rounded = static_cast<double>(value);
    // Beyond the double's normal range a line writes what the double holds.
    if (!std::isfinite(rounded) || std::fabs(rounded) < std::numeric_limits<double>::min()) {
        return numberLatex({}, 10, false, rounded);
    }
    const std::string text = preciseDecimalText(value, 10);
    return value < 0 ? "(" + text + ")" : text;
}

std::optional<std::string> KalStringOutput::exactValueText(const Digit& digit) {
    if (!digit.exact() || !digit.z() || !digit.zConstants().empty() || !digit.nConstants().empty()) {
        return std::nullopt;
    }
    const auto value = digit.value();
    const auto z = DecimalText::numeratorDecimal(digit);
    const auto n = DecimalText::shortest(digit.n());
    if (!value || !std::isfinite(*value) || !z || !n || n->units == 0) return std::nullopt;
    if (*value == 0) return "0";
    if (digit.n() == 1.0) return exactDigitsLatex(*z);
    return DecimalText::quotientText(*z, *n);
}

std::string KalStringOutput::exactNumberLatex(double value, const std::string& exactText) {
    return needsScientific(value) ? scientificText(value) : exactText;
}

std::optional<std::string> KalStringOutput::variableLatex(const Digit& digit) {
    std::string numeratorPart;
    if (!digit.zVariable().empty()) {
        numeratorPart = digit.zVariable();
        if (digit.powerOfZVariable() != 1.0) {
            numeratorPart += "^{" + foundation::shortestDoubleText(digit.powerOfZVariable()) + "}";
        }
    } else if (!digit.nVariable().empty()) {
        numeratorPart = "1";
    } else {
        return std::nullopt;
    }
    if (digit.nVariable().empty()) return " " + numeratorPart;
    std::string denominatorPart = digit.nVariable();
    if (digit.powerOfNVariable() != 1.0) {
        denominatorPart += "^{" + foundation::shortestDoubleText(digit.powerOfNVariable()) + "}";
    }
    return "\\frac{" + numeratorPart + "}{" + denominatorPart + "}";
}

std::string KalStringOutput::cancelLatex(const Digit& digit, const NaturalConstants& divisorConstants,
                                         int64_t divisor) {
    const auto number = [](const NaturalConstants& constants, double value) {
        return numberLatex(constants, 10, false, value);
    };
    const std::string d = divisorLatex(number(divisorConstants, static_cast<double>(divisor)));
    std::string text = "\\frac{" + number(digit.zConstants(), digit.z().value_or(0.0)) + " : " + d + "}{" +
                       number(digit.nConstants(), digit.n()) + " : " + d + "}";
    if (const auto variables = variableLatex(digit)) text += *variables;
    return text;
}

std::optional<std::string> KalStringOutput::reductionLatex(const Digit& digit, std::optional<int64_t> factor) {
    if (!factor || *factor < 2 || !digit.z()) return std::nullopt;
    const double k = static_cast<double>(*factor);
    const double z = *digit.z();
    const double n = digit.n();
    return stringWithFormat("\\frac{%g : %" PRId64 "}{%g  : %" PRId64 "} = \\frac{%g}{%g}", z * k, *factor,
                            n * k, *factor, z, n);
}

bool KalStringOutput::appendUnitToStep(StepDictionary& step, const std::string& prefix, const std::string& line,
                                       const std::string& unitLatex) {
    const auto found = step.find("latexString");
    if (found == step.end()) return false;
    std::string& latex = found->second;
    if (latex.compare(0, prefix.size(), prefix) != 0) return false;
    std::string joined;
    for (char c : latex) {
        if (c == '\n') {
            joined += " = ";
        } else {
            joined += c;
        }
    }
    latex = joined + line + " " + unitLatex;
    return true;
}
