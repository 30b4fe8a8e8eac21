#include "Calvaro/engine/KalStringOutput.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cctype>
#include <cmath>
#include <cstdlib>

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

// A number too small for the fraction digits asked for, written with as many
// as its first ten significant digits need: 0.000000000001 typed by the
// student is no zero, and a step that divided by it must show what it divided by.
std::string smallDecimal(double value) {
    const int leadingZeros = static_cast<int>(std::ceil(-std::log10(std::fabs(value))));
    char buffer[400];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                       std::clamp(leadingZeros + 9, 0, 340));
    if (written.ec != std::errc()) return foundation::shortestDoubleText(value);
    std::string text(buffer, written.ptr);
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
    }
    return text;
}

// The en_US decimal text of a finite value with at most `fractionDigits`
// decimals, never a bare 0 for a value that is not zero; large values keep
// all their integer digits.
std::string decimalText(double value, int fractionDigits) {
    std::string text = foundation::formatDecimal(value, 0, fractionDigits);
    if (value != 0 && std::isfinite(value) && text.find_first_of("123456789") == std::string::npos)
        text = smallDecimal(value);
    return text;
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
                                               bool withoutBrackets, double value) {
    std::string text;
    if (std::isnan(value)) {
        text = kNotANumber;
    } else if (value == 0) {
        text = "0";
    } else if (std::isinf(value)) {
        // Only a true infinity: every finite number, however large, keeps its digits.
        text = value > 0 ? "\\infty" : "-\\infty";
    } else {
        std::string constantsLatex;
        for (const NaturalConstant& c : constants) constantsLatex += c.latex();
        const std::string number = decimalText(value, maximumFractionDigits);
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
    // A digit is exact: only a true zero reads "0" and only a true infinity
    // (a division by zero) "\infty"; a tiny value shows as its fraction or its
    // leading digits, a large one with all its integer digits.
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
        std::string numerator = decimalText(z, maximumFractionDigits);
        if (!byValue) {
            for (const NaturalConstant& c : digit.zConstants()) replaceOneOrAppend(numerator, c.latex(), "");
        }
        // The denominator is written exactly like the numerator, never through
        // "%g", which would round 1234567 to 1234570.
        std::string denominator = decimalText(n, maximumFractionDigits);
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
        return formatNumberLatex("", constants, "", 10, false, value);
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
