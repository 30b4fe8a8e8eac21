#include "Calvaro/engine/KalInputManager.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

#include "Calvaro/engine/KalDigitAnalyser.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/engine/TextFormat.h"

namespace {

const std::string kPi = "\xCF\x80";  // "π", two bytes in UTF-8
const std::string kE = "e";

size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++count;
    return count;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void replaceAllInInput(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string withoutBrackets(std::string text) {
    std::erase(text, '(');
    std::erase(text, ')');
    return text;
}

// The shortest plain decimal text that reads back to the same double. Unlike
// "%g" it never rounds the user's digits away and never switches to an
// exponent, so its fraction part is exactly the number of decimals typed.
std::string exactDecimalText(double value) {
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return formatG(value);
    return std::string(buffer, result.ptr);
}

// Reads a decimal number the way the C library does in the "C" locale, but
// only in decimal notation: no leading blank, nothing left over, and none of
// strtod's other spellings (hexadecimal, "inf", "nan"), which no keypad offers.
// A number past the double's range reads as an infinity, refused by the caller
// with its own cause.
std::optional<double> readDecimal(const std::string& text) {
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        const bool allowed = (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'E';
        if (!allowed) return std::nullopt;
    }
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    char* end = nullptr;
    const double value = strtod_l(text.c_str(), &end, cLocale);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

// The fraction digits of every number a step writes.
constexpr int kWrittenFractionDigits = 10;

// A decimal number text as its parts: sign, every digit of the mantissa, and
// where the decimal point stands among them once the exponent is applied
// ("1.000000001E-2" is the digits 1000000001 with the point 1 - 2 = -1 places
// from their start, 0.01000000001).
struct DecimalDigits {
    bool negative = false;
    std::string digits;
    int64_t point = 0;
};

// None for a text that is no plain decimal ([sign] digits [. digits]
// [E [sign] digits]), which readDecimal has already refused.
std::optional<DecimalDigits> decimalDigitsOf(const std::string& text) {
    DecimalDigits number;
    size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) number.negative = text[at++] == '-';
    bool pointSeen = false;
    for (; at < text.size() && text[at] != 'E'; ++at) {
        const char c = text[at];
        if (c == '.' && !pointSeen) {
            pointSeen = true;
        } else if (c >= '0' && c <= '9') {
            number.digits += c;
            if (!pointSeen) ++number.point;
        } else {
            return std::nullopt;
        }
    }
    if (number.digits.empty()) return std::nullopt;
    if (at < text.size()) {
        int64_t exponent = 0;
        const char* first = text.data() + at + 1;
        if (first < text.data() + text.size() && *first == '+') ++first;
        const auto [end, error] = std::from_chars(first, text.data() + text.size(), exponent);
        // Exponents beyond a few hundred give 0 or no finite number at all.
        if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
        number.point += std::clamp<int64_t>(exponent, -100000, 100000);
    }
    return number;
}

// The first `count` digits of `number` (zeros before its first digit where
// the point stands before them, zeros after its last) rounded by the next
// digit, halves away from zero; may come out one digit longer ("999" -> "1000").
std::string roundedDigits(const DecimalDigits& number, int64_t first, int64_t count) {
    const auto digitAt = [&](int64_t index) {
        return index >= 0 && index < static_cast<int64_t>(number.digits.size()) ? number.digits[index] : '0';
    };
    std::string kept;
    for (int64_t i = first; i < first + count; ++i) kept += digitAt(i);
    if (digitAt(first + count) >= '5') {
        size_t i = kept.size();
        while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
        if (i == 0) {
            kept.insert(kept.begin(), '1');
        } else {
            ++kept[i - 1];
        }
    }
    return kept;
}

// A number text with more than ten decimals (counted once its exponent is
// applied) as the text of the number the steps write: rounded at the tenth
// decimal, halves away from zero, on the digits as typed (2.00000000025 is
// 2.0000000003, not the 2.0000000002 its double would round to). A nonzero
// number that this rounds to 0 keeps ten significant digits instead, as the
// steps write it m \cdot 10^{k}. None when there are ten decimals or fewer.
std::optional<std::string> roundedAtTenthDecimal(const std::string& text) {
    constexpr int64_t kPlaces = 10;
    const auto number = decimalDigitsOf(text);
    if (!number || static_cast<int64_t>(number->digits.size()) - number->point <= kPlaces) return std::nullopt;
    const std::string sign = number->negative ? "-" : "";
    // Digits from the first whole place (or the point, for a number below 1)
    // to the tenth decimal.
    const int64_t first = std::min<int64_t>(number->point, 0);
    const std::string kept = roundedDigits(*number, first, number->point + kPlaces - first);
    if (kept.find_first_not_of('0') != std::string::npos) {
        const size_t wholeDigits = kept.size() - kPlaces;
        return sign + (wholeDigits == 0 ? "0" : kept.substr(0, wholeDigits)) + "." + kept.substr(wholeDigits);
    }
    const size_t leading = number->digits.find_first_not_of('0');
    if (leading == std::string::npos) return sign + "0";
    const std::string significant = roundedDigits(*number, static_cast<int64_t>(leading), kPlaces);
    const int64_t exponent = number->point - static_cast<int64_t>(leading) - 1 +
                             static_cast<int64_t>(significant.size()) - kPlaces;
    return sign + significant.substr(0, 1) + "." + significant.substr(1) + "E" + std::to_string(exponent);
}

// A decimal without the zeros that do not change its value: none before the
// first digit, none after the last, and no sign on 0.
DecimalDigits significantOf(DecimalDigits number) {
    const size_t leading = number.digits.find_first_not_of('0');
    if (leading == std::string::npos) return DecimalDigits{};
    number.digits.erase(0, leading);
    number.point -= static_cast<int64_t>(leading);
    number.digits.erase(number.digits.find_last_not_of('0') + 1);
    return number;
}

// Whether `value` gives back the decimal `text` stands for: its shortest form
// has the same digits at the same places. A double holds every decimal of 15
// significant digits; past them 2^{52} + 0.5 reads back as 2^{52}.
bool givesBack(double value, const std::string& text) {
    const auto typed = decimalDigitsOf(text);
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (!typed || written.ec != std::errc()) return false;
    std::string shortest(buffer, written.ptr);
    std::replace(shortest.begin(), shortest.end(), 'e', 'E');
    const auto held = decimalDigitsOf(shortest);
    if (!held) return false;
    const DecimalDigits a = significantOf(*typed);
    const DecimalDigits b = significantOf(*held);
    return a.negative == b.negative && a.digits == b.digits && (a.digits.empty() || a.point == b.point);
}

}  // namespace

KalInputSymbolLookup::~KalInputSymbolLookup() = default;

KalInputManager::KalInputManager(KalStringOutput& outputHelper, KalMathOperation* operation,
                                 std::shared_ptr<const KalInputSymbolLookup> symbolLookup)
    : outputHelper_(&outputHelper), operation_(operation), symbolLookup_(std::move(symbolLookup)) {}

KalInputManager& KalInputManager::shared() {
    static KalInputManager instance;
    return instance;
}

KalMathOperation& KalInputManager::operation() const {
    return operation_ ? *operation_ : KalMathOperation::shared();
}

bool KalInputManager::isEffectivelyEmpty(const std::string& text) {
    return text.find_first_not_of("()") == std::string::npos;
}

InputProcessingResult KalInputManager::processInputs(
    const std::vector<std::string>& texts, const std::vector<int64_t>& tags, const std::vector<std::string>& fieldIds,
    const std::vector<std::string>& formats, bool showInputStep, bool isAllFractionIfOccuredOnce,
    bool isDecimalEliminationForced, FormatMode inputFormatMode, const std::string& subcategory,
    const std::string& topic, int64_t requiredAmount, bool allRequired,
    const std::vector<std::string>& requiredFieldIds) {
    isAnyNumberChanged_ = false;
    isWithFraction_ = false;
    isAllFractionIfOccuredOnce_ = isAllFractionIfOccuredOnce;
    isDecimalEliminationForced_ = isDecimalEliminationForced;
    inputFormatMode_ = inputFormatMode;
    allTextFieldTexts_ = texts;
    allInputs_.clear();
    inputSymbols_.clear();
    inputFormat_ = formats;
    subcategory_ = subcategory;
    topic_ = topic;

    isTagUsed_ = !tags.empty();
    if (isTagUsed_) {
        allTextFieldIds_.clear();
        for (const int64_t tag : tags) allTextFieldIds_.push_back(std::to_string(tag));
    } else {
        allTextFieldIds_ = fieldIds;
    }

    auto failed = [this](const Failure& failure) {
        InputProcessingResult result;
        result.errorKey = failure.errorKey;
        result.faultyFieldIds = failure.fieldIds;
        if (isTagUsed_) {
            std::vector<int64_t> faultyTags;
            for (const auto& id : failure.fieldIds) {
                int64_t tag = 0;
                std::from_chars(id.data(), id.data() + id.size(), tag);
                faultyTags.push_back(tag);
            }
            result.faultyTags = std::move(faultyTags);
        }
        result.isAnyNumberChanged = isAnyNumberChanged_;
        allInputs_.clear();
        return result;
    };

    if (auto failure = checkAmountOfInputs(requiredAmount, allRequired, requiredFieldIds)) return failed(*failure);
    if (auto failure = parseInputs()) return failed(*failure);

    if (inputFormatMode_ == FormatMode::variables) buildInputSymbols();
    const size_t firstInputStep = outputHelper_->solutionSteps().size();
    if (showInputStep) writeInputStep(true);

    eliminateDecimalsFrom(firstInputStep);
    cancelInputs();
    normaliseSigns();

    if (isAnyNumberChanged_ && inputFormatMode_ == FormatMode::formula && showInputStep) writeInputStep(false);

    InputProcessingResult result;
    result.allInputs = allInputs_;
    result.isAnyNumberChanged = isAnyNumberChanged_;
    result.solutionSteps = outputHelper_->solutionSteps();
    return result;
}

std::optional<KalInputManager::Failure> KalInputManager::checkAmountOfInputs(
    int64_t requiredAmount, bool allRequired, const std::vector<std::string>& requiredFieldIds) const {
    auto idAt = [this](size_t index) { return index < allTextFieldIds_.size() ? allTextFieldIds_[index] : ""; };
    std::vector<std::string> missing;
    if (requiredFieldIds.empty()) {
        const int64_t needed = allRequired ? static_cast<int64_t>(allTextFieldTexts_.size()) : requiredAmount;
        int64_t count = 0;
        for (size_t i = 0; i < allTextFieldTexts_.size(); ++i) {
            if (isEffectivelyEmpty(allTextFieldTexts_[i])) {
                missing.push_back(idAt(i));
            } else {
                ++count;
            }
            if (count >= needed) return std::nullopt;
        }
    } else {
        for (size_t i = 0; i < allTextFieldTexts_.size(); ++i) {
            const std::string id = idAt(i);
            const bool required =
                std::find(requiredFieldIds.begin(), requiredFieldIds.end(), id) != requiredFieldIds.end();
            if (required && isEffectivelyEmpty(allTextFieldTexts_[i])) missing.push_back(id);
        }
        if (missing.empty()) return std::nullopt;
    }
    return Failure{InputErrorKey::notEnoughInputValues, std::move(missing)};
}

KalInputManager::ParseOutcome KalInputManager::parseNumber(const std::string& original) {
    auto failure = [](const char* key) { return ParseOutcome{std::nullopt, key}; };
    ParsedNumber number;
    std::string text = original;

    // The letter e is always Euler's number, never an exponent.
    const size_t constantCount = countOf(original, kPi) + countOf(original, kE);
    if (constantCount > 1) return failure(InputErrorKey::toManyNaturalConstantsInSubstring);
    if (constantCount == 1 && !endsWith(original, kPi) && !endsWith(original, kE)) {
        return failure(InputErrorKey::naturalConstantInWrongPositionOfSubstring);
    }
    if (original.find(kPi) != std::string::npos) number.constants.emplace_back(kPi, "\\pi", 3.141592653589793);
    if (original.find(kE) != std::string::npos) number.constants.emplace_back(kE, "e", 2.718281828459045);
    for (const auto& constant : number.constants) {
        if (text == constant.key() || text == "-" + constant.key()) {
            replaceAllInInput(text, constant.key(), "1");
        } else {
            replaceAllInInput(text, constant.key(), "");
        }
    }

    const size_t variableCount = countOf(original, "x") + countOf(original, "y") + countOf(original, "z");
    if (variableCount > 1) return failure(InputErrorKey::toManyVariablesInSubstring);
    if (variableCount == 1) {
        const char last = original.back();
        if (last != 'x' && last != 'y' && last != 'z') {
            return failure(InputErrorKey::naturalConstantInWrongPositionOfSubstring);
        }
    }
    for (const char* variable : {"z", "y", "x"}) {
        if (original.find(variable) != std::string::npos) {
            number.variable = variable;
            number.power = 1.0;
            break;
        }
    }
    if (!number.variable.empty()) {
        if (text == number.variable || text == "-" + number.variable) {
            replaceAllInInput(text, number.variable, "1");
        } else {
            replaceAllInInput(text, number.variable, "");
        }
    }

    auto value = readDecimal(text);
    if (!value) return failure(InputErrorKey::inputParameterError);
    // Past the double's range no step could show the number.
    if (!std::isfinite(*value)) return failure(InputErrorKey::inputNumberTooLarge);
    // Digits past the tenth decimal are more than any step writes: the number
    // is taken as the steps write it, so that no line shows one number and
    // computes with another (a typed 1.000000000001 is 1 wherever it stands,
    // and a base that reads 1 is refused as 1 is).
    const auto rounded = roundedAtTenthDecimal(text);
    if (rounded) value = readDecimal(*rounded);
    if (!value) return failure(InputErrorKey::inputParameterError);
    // A number the double would change is refused rather than computed as
    // another, with its cause: below the smallest normal double the double
    // keeps fewer digits, down to none, so even one digit may be lost there.
    if (!givesBack(*value, rounded.value_or(text))) {
        if (!std::isfinite(*value)) return failure(InputErrorKey::inputNumberTooLarge);
        if (std::fabs(*value) < std::numeric_limits<double>::min()) {
            return failure(InputErrorKey::inputNumberTooSmall);
        }
        return failure(InputErrorKey::inputNumberNotHeld);
    }
    number.value = *value;
    return ParseOutcome{std::move(number), nullptr};
}

std::optional<KalInputManager::Failure> KalInputManager::parseInputs() {
    auto idAt = [this](size_t index) { return index < allTextFieldIds_.size() ? allTextFieldIds_[index] : ""; };
    auto failure = [&](const char* key, size_t index) { return Failure{key, {idAt(index)}}; };

    for (size_t i = 0; i < allTextFieldTexts_.size(); ++i) {
        const std::string& text = allTextFieldTexts_[i];
        if (text.find('/') == std::string::npos) continue;
        isWithFraction_ = true;
        operation().setWithFraction(true);
        if (countOf(text, "/") > 1) return failure(InputErrorKey::inputParameterError, i);
    }

    for (size_t i = 0; i < allTextFieldTexts_.size(); ++i) {
        auto digit = Digit::make(std::nullopt, 1.0);
        const std::string text = withoutBrackets(allTextFieldTexts_[i]);
        const bool hasSlash = text.find('/') != std::string::npos;
        const bool asFraction = hasSlash || (isWithFraction_ && isAllFractionIfOccuredOnce_);

        if (!asFraction) {
            if (!text.empty()) {
                auto parsed = parseNumber(text);
                if (!parsed.number) return failure(parsed.errorKey, i);
                digit->setZ(parsed.number->value);
                digit->setZConstants(parsed.number->constants);
                digit->setZVariable(parsed.number->variable);
                digit->setPowerOfZVariable(parsed.number->power);
            }
        } else {
            std::vector<std::string> pieces;
            if (hasSlash) {
                pieces = splitDroppingEmpty(text, '/');
                if (pieces.size() < 2) return failure(InputErrorKey::fractionIncomplete, i);
            }
            if (!text.empty()) {
                const std::string numeratorText = hasSlash ? pieces.front() : text;
                const std::string denominatorText = hasSlash ? pieces.back() : "1";
                auto numerator = parseNumber(numeratorText);
                if (!numerator.number) return failure(numerator.errorKey, i);
                auto denominator = parseNumber(denominatorText);
                if (!denominator.number) return failure(denominator.errorKey, i);
                if (denominator.number->value == 0.0) return failure(InputErrorKey::inputZeroInDenominator, i);
                digit->setZ(numerator.number->value);
                digit->setZConstants(numerator.number->constants);
                digit->setZVariable(numerator.number->variable);
                digit->setPowerOfZVariable(numerator.number->power);
                digit->setN(denominator.number->value);
                digit->setNConstants(denominator.number->constants);
                digit->setNVariable(denominator.number->variable);
                digit->setPowerOfNVariable(denominator.number->power);
            }
        }
        // What was typed is exactly the decimals it reads (a number the double
        // would change was refused above).
        if (digit->z()) {
            digit->setExact(true);
            digit->setTypedSources(i < 32 ? uint32_t{1} << i : 0);
        }
        allInputs_.push_back(std::move(digit));
    }
    return std::nullopt;
}

void KalInputManager::buildInputSymbols() {
    for (auto& line : inputFormat_) {
        const auto parts = splitDroppingEmpty(line, '=');
        if (parts.empty()) return;
        std::string key = parts.front();
        std::erase(key, ' ');
        const auto symbol = symbolLookup_ ? symbolLookup_->findSymbol(subcategory_, topic_, key) : std::nullopt;
        if (!symbol) return;
        replaceAllInInput(line, key, symbol->latex);
        inputSymbols_.push_back(*symbol);
    }
}

std::string KalInputManager::inputLatex(const Digit& digit, bool keepSigns) const {
    if (!digit.z()) return " ? ";
    return KalStringOutput::formatDigitLatex(digit, "", false, false, keepSigns, kWrittenFractionDigits);
}

std::string KalInputManager::unitLatex(size_t index) const {
    // A format line without a symbol has no unit to show.
    return index < inputSymbols_.size() ? inputSymbols_[index].unitLatex : "";
}

void KalInputManager::writeInputStep(bool keepSigns) {
    const std::string& title = isAnyNumberChanged_ ? LocalizedString::modifiedInput() : LocalizedString::yourInput();
    if (inputFormatMode_ == FormatMode::formula) {
        std::string text = inputFormat_.empty() ? "" : inputFormat_.front();
        for (size_t i = 0; i < allInputs_.size(); ++i) {
            const std::string placeholder = "%" + std::to_string(i);
            const std::string latex = inputLatex(*allInputs_[i], keepSigns);
            // A placeholder standing as the base of a power takes brackets
            // where its number would otherwise not read as one base.
            std::string filled;
            size_t from = 0;
            for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, from)) {
                const size_t after = at + placeholder.size();
                const bool isBase = after < text.size() && text[after] == '^';
                filled += text.substr(from, at - from) + (isBase ? KalStringOutput::baseLatex(latex) : latex);
                from = after;
            }
            text = filled + text.substr(from);
        }
        outputHelper_->appendStep(title, text);
        return;
    }
    for (size_t i = 0; i < allInputs_.size(); ++i) {
        std::string line = i < inputFormat_.size() ? inputFormat_[i] : "";
        replaceAllInInput(line, "%0", inputLatex(*allInputs_[i], keepSigns));
        line += " " + unitLatex(i) + "\n";
        outputHelper_->appendStep(i == 0 ? title : "", line);
    }
}

void KalInputManager::eliminateDecimalsFrom(size_t firstInputStep) {
    std::vector<std::pair<size_t, std::string>> lines;
    for (size_t i = 0; i < allInputs_.size(); ++i) {
        Digit& digit = *allInputs_[i];
        if (!digit.z()) continue;  // an empty field shows " ? " and has nothing to expand
        const std::string before = inputLatex(digit, false);
        const std::string zText = exactDecimalText(*digit.z());
        const std::string nText = exactDecimalText(digit.n());
        const double places = KalDigitAnalyser::decimalPlaces(zText, nText);
        const bool wanted = (isWithFraction_ && isAllFractionIfOccuredOnce_) || isDecimalEliminationForced_ ||
                            digit.n() != 1.0;
        if (!(places > 0) || !wanted) continue;
        const double factor = std::pow(10.0, places);
        const double z = std::round(factor * *digit.z());
        const double n = std::round(factor * digit.n());
        // Hundreds of decimals would scale past the double range; such a
        // number stays as it was typed.
        if (!std::isfinite(z) || !std::isfinite(n)) continue;
        const std::string factorText = KalStringOutput::exactNumberLatex(factor, exactDecimalText(factor));
        // The constants stay in the middle term: \frac{1.5\pi}{2} expands to
        // \frac{1.5\pi \cdot 10}{2 \cdot 10}, not to a number without them.
        const auto withConstants = [](std::string text, const NaturalConstants& constants) {
            for (const NaturalConstant& c : constants) KalStringOutput::replaceOneOrAppend(text, c.latex(), "");
            return text;
        };
        const std::string shownZ = KalStringOutput::exactNumberLatex(*digit.z(), zText);
        const std::string shownN = KalStringOutput::exactNumberLatex(digit.n(), nText);
        const std::string expansion = "\\frac{" + withConstants(shownZ, digit.zConstants()) + " \\cdot " +
                                      factorText + "}{" + withConstants(shownN, digit.nConstants()) + " \\cdot " +
                                      factorText + "}";
        digit.setZ(z);
        digit.setN(n);
        // Scaled to whole parts the double holds, the number is still the
        // decimals typed.
        constexpr double kWholesHeldBelow = 9007199254740992.0;  // 2^{53}
        digit.setExact(digit.exact() && std::fabs(z) < kWholesHeldBelow && std::fabs(n) < kWholesHeldBelow);
        const std::string after = inputLatex(digit, false);
        isAnyNumberChanged_ = true;
        isWithFraction_ = true;
        if (inputFormatMode_ == FormatMode::formula) {
            lines.emplace_back(i, before + " = " + expansion + " = " + after);
        } else {
            lines.emplace_back(i, expansion + " = " + after);
        }
    }

    if (inputFormatMode_ == FormatMode::formula) {
        bool first = true;
        for (const auto& [index, line] : lines) {
            outputHelper_->appendStep(first ? LocalizedString::expand() : "", line);
            first = false;
        }
        return;
    }
    auto& steps = outputHelper_->solutionSteps();
    for (const auto& [index, line] : lines) {
        std::string prefix = index < inputFormat_.size() ? inputFormat_[index] : "";
        replaceAllInInput(prefix, "%0", "");
        for (size_t s = firstInputStep; s < steps.size(); ++s) {
            if (KalStringOutput::appendUnitToStep(steps[s], prefix, line, unitLatex(index))) break;
        }
    }
}

void KalInputManager::cancelInputs() {
    bool first = true;
    for (auto& input : allInputs_) {
        const CancelResult cancelled = operation().cancelDown(*input);
        if (!cancelled.digit) continue;
        const std::string line = inputLatex(*input, true) + "= " + cancelled.cancelLatex.value_or("");
        input = cancelled.digit;
        outputHelper_->appendStep(first ? LocalizedString::cancelMath() : "", line);
        first = false;
        isAnyNumberChanged_ = true;
    }
}

void KalInputManager::normaliseSigns() {
    for (auto& input : allInputs_) {
        if (!input->z() || !(input->n() < 0)) continue;
        input->setZ(-*input->z());
        input->setN(-input->n());
        isAnyNumberChanged_ = true;
    }
}
