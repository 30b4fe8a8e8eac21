#include "Calvaro/engine/KalStringOutput.h"

#include <cinttypes>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/engine/TextFormat.h"
#include "platform/foundation/Text.h"

namespace {

constexpr double kZeroBelow = 1e-10;
constexpr double kInfinityBeyond = 1e12;
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
                                               bool allowInfinity, bool withoutBrackets, double value) {
    std::string text;
    if (std::isnan(value)) {
        text = kNotANumber;
    } else if (std::fabs(value) < kZeroBelow) {
        text = "0";
    } else if (allowInfinity && value > kInfinityBeyond) {
        text = "\\infty";
    } else if (allowInfinity && value < -kInfinityBeyond) {
        text = "-\\infty";
    } else {
        std::string constantsLatex;
        for (const NaturalConstant& c : constants) constantsLatex += c.latex();
        const std::string number = foundation::formatDecimal(value, 0, maximumFractionDigits);
        if (value >= 0 || withoutBrackets) {
            if (constantsLatex.empty()) {
                text = number;
            } else {
                text = value == 1.0 ? constantsLatex : number + constantsLatex;
            }
        } else if (constantsLatex.empty()) {
            text = "(" + number + ")";
        } else {
            text = value == -1.0 ? "(-" + constantsLatex + ")" : "(" + number + constantsLatex + ")";
        }
    }
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
    // A tiny value that is exact (both parts written honestly) is shown as its
    // fraction below; only a true zero reads "0".
    const bool exactTiny = value != 0 && std::fabs(value) < kZeroBelow && digit.z() &&
                           isHonestPart(*digit.z(), maximumFractionDigits) &&
                           isHonestPart(digit.n(), maximumFractionDigits) && digit.n() != 1.0;
    if (std::isnan(value)) {
        text = kNotANumber;
    } else if (std::fabs(value) < kZeroBelow && !keepSigns && !exactTiny) {
        text = "0";
    } else if (value > kInfinityBeyond) {
        text = "\\infty";
    } else if (value < -kInfinityBeyond) {
        text = "-\\infty";
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
        std::string numerator = foundation::formatDecimal(z, 0, maximumFractionDigits);
        if (!byValue) {
            for (const NaturalConstant& c : digit.zConstants()) replaceOneOrAppend(numerator, c.latex(), "");
        }
        // The denominator is written exactly like the numerator, never through
        // "%g", which would round 1234567 to 1234570.
        std::string denominator = foundation::formatDecimal(n, 0, maximumFractionDigits);
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
        return formatNumberLatex("", constants, "", 10, true, false, value);
    };
    const std::string d = number(divisorConstants, static_cast<double>(divisor));
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
