#include "Calvaro/engine/SolutionStepWriter.h"

#include <cmath>
#include <optional>

#include "Calvaro/engine/DecimalText.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/LocalizedString.h"

namespace {

// Thrown inside a writer only, to end the run at the first missing value.
struct MissingValue {};

}  // namespace

SolutionStepWriter::SolutionStepWriter(const std::vector<DigitPtr>& inputs, KalMathOperation& operation,
                                       KalStringOutput& output)
    : operation_(operation), output_(output), inputs_(inputs) {}

SolutionStepWriter::~SolutionStepWriter() = default;

void SolutionStepWriter::run() {
    try {
        write();
    } catch (const MissingValue&) {
        // The steps written so far stand; nothing partial was appended.
    }
}

const Digit& SolutionStepWriter::input(Position position) const {
    if (position >= inputs_.size() || !inputs_[position] || !inputs_[position]->z()) throw MissingValue{};
    return *inputs_[position];
}

void SolutionStepWriter::prepareTerms() {
    a_ = latex(input(a));
    aBase_ = KalStringOutput::baseLatex(a_);
    b_ = latex(input(b));
    c_ = latex(input(c));
    d_ = latex(input(d));
    z_ = latex(input(z));
    zDot_ = isOne(input(z)) ? "" : z_ + "\\cdot";
    bDot_ = isOne(input(b)) ? "" : b_ + "\\cdot";
    cTerm_ = isZero(input(c)) ? "" : "+ " + c_;
    dTerm_ = isZero(input(d)) ? "" : "+ " + d_;
    zDivisor_ = KalStringOutput::divisorLatex(z_);
    bDivisor_ = KalStringOutput::divisorLatex(b_);
}

bool SolutionStepWriter::isXGiven() const {
    return x < inputs_.size() && inputs_[x] && inputs_[x]->z().has_value();
}

std::string SolutionStepWriter::latex(const Digit& digit) const {
    if (!digit.z()) throw MissingValue{};
    return KalStringOutput::formatDigitLatex(digit, "", false, false, false, 10);
}

std::string SolutionStepWriter::resultLatex(const Digit& digit) const {
    if (!digit.exact() || digit.n() == 1.0 || !digit.zConstants().empty() || !digit.nConstants().empty() ||
        !digit.zVariable().empty() || !digit.nVariable().empty()) {
        return latex(digit);
    }
    const auto z = DecimalText::numeratorDecimal(digit);
    const auto n = DecimalText::shortest(digit.n());
    const bool decimalParts = z && n && (z->exponent < 0 || n->exponent < 0);
    if (decimalParts && DecimalText::isShortQuotient(*z, *n)) {
        if (auto text = KalStringOutput::exactValueText(digit)) {
            if (!text->empty() && text->front() == '-') return "-" + text->substr(1);
            return *text;
        }
    }
    return latex(digit);
}

std::string SolutionStepWriter::number(double value) {
    return KalStringOutput::formatNumberLatex("", {}, "", 10, false, value);
}

std::string SolutionStepWriter::number(long double value) { return KalStringOutput::formatPreciseNumberLatex(value); }

std::string SolutionStepWriter::number(const Digit::Split& split) {
    return KalStringOutput::splitLatex(split).value_or(number(split.exact + split.rest));
}

long double SolutionStepWriter::logarithm(const Digit& argument, const Digit& base) const {
    // Near 1 the logarithm rests on digits a double does not hold (a typed
    // 1.0000000001 is held as 1.00000000010000000827): log1p of the exact
    // difference of the parts.
    const auto ln = [this](const Digit& digit) -> long double {
        const double value = valueOf(digit);
        if (value > 0.5 && value < 2) {
            if (const auto difference = KalMathOperation::preciseDifferenceFromOne(digit)) {
                return std::log1p(*difference);
            }
            if (!digit.precise() && digit.zConstants().empty() && digit.nConstants().empty()) {
                if (const auto difference = KalMathOperation::exactDifference(*digit.z(), digit.n())) {
                    return std::log1p(static_cast<long double>(*difference) / digit.n());
                }
            }
        }
        return std::log(KalMathOperation::preciseValueOf(digit));
    };
    return ln(argument) / ln(base);
}

std::optional<Digit::Split> SolutionStepWriter::logarithmNearWhole(const Digit& argument,
                                                                   const Digit& base) const {
    if (!argument.exact() || !base.exact()) return std::nullopt;
    const long double value = logarithm(argument, base);
    const long double k = std::round(value);
    if (!std::isfinite(value) || k == 0 || std::fabs(value - k) > 1e-3L || std::fabs(k) > 128) {
        return std::nullopt;
    }
    // On an arithmetic of its own: what it finds on the way refuses nothing.
    KalMathOperation aside(operation_.outputHelper());
    aside.setWithFraction(true);
    const auto powerOfBase = aside.power(base, static_cast<double>(k));
    if (!powerOfBase || !powerOfBase->exact()) return std::nullopt;
    const auto ratio = aside.divide(argument, *powerOfBase, false).digit;
    const auto difference = ratio ? KalMathOperation::preciseDifferenceFromOne(*ratio) : std::nullopt;
    if (!difference) return std::nullopt;
    return Digit::Split{k, std::log1p(*difference) / KalMathOperation::preciseLogarithm(base)};
}

long double SolutionStepWriter::plus(long double value, long double term) {
    if (KalMathOperation::sumOrZero(static_cast<double>(value), static_cast<double>(term)) == 0) return 0.0L;
    return value + term;
}

double SolutionStepWriter::valueOf(const Digit& digit) const {
    const auto value = digit.value();
    if (!value) throw MissingValue{};
    return *value;
}

double SolutionStepWriter::naturalLogarithm(const Digit& digit) const {
    const double value = valueOf(digit);
    if (value > 0.5 && value < 2 && digit.zConstants().empty() && digit.nConstants().empty()) {
        if (const auto difference = KalMathOperation::exactDifference(*digit.z(), digit.n())) return std::log1p(*difference / digit.n());
    }
    return std::log(value);
}

bool SolutionStepWriter::isOne(const Digit& digit) {
    const auto value = digit.value();
    return value && *value == 1.0;
}

bool SolutionStepWriter::isZero(const Digit& digit) {
    const auto value = digit.value();
    return value && *value == 0.0;
}

DigitPtr SolutionStepWriter::required(DigitPtr digit) const {
    if (!digit || !digit->z()) throw MissingValue{};
    return digit;
}

DigitPtr SolutionStepWriter::product(const Digit& u, const Digit& v) const {
    return required(operation_.multiply(u, v).digit);
}

DigitPtr SolutionStepWriter::sum(const Digit& u, const Digit& v) const { return required(operation_.add(u, v).digit); }

DigitPtr SolutionStepWriter::difference(const Digit& u, const Digit& v) const {
    return required(operation_.subtract(u, v).digit);
}

DigitPtr SolutionStepWriter::quotient(const Digit& u, const Digit& v) const {
    return required(operation_.divide(u, v, false).digit);
}

DigitPtr SolutionStepWriter::power(const Digit& u, const Digit& exponent) const {
    auto result = required(operation_.power(u, valueOf(exponent), KalMathOperation::preciseValueOf(exponent)));
    if (result->exact() && !exponent.exact()) {
        // A whole exponent that is no exact number gives no exact power.
        result->setExact(false);
        result->setExactZ(std::nullopt);
    }
    result->setTypedSources(result->exact() ? u.typedSources() | exponent.typedSources() : 0);
    return result;
}

DigitPtr SolutionStepWriter::exactLogarithm(const Digit& q, const Digit& a) const {
    const auto k = KalMathOperation::exactLogarithm(q, a);
    if (!k) return nullptr;
    auto result = Digit::make(static_cast<double>(*k), 1.0);
    result->setExact(true);
    result->setTypedSources(q.typedSources() | a.typedSources());
    return result;
}

std::string SolutionStepWriter::valueNumber(const Digit& digit) const {
    const double value = valueOf(digit);
    std::optional<std::string> text = KalStringOutput::exactValueText(digit);
    if (!text && digit.fullDigits() && digit.n() == 1.0 && digit.zConstants().empty() && digit.nConstants().empty() &&
        std::isfinite(value) && value != 0) {
        text = KalStringOutput::formatDigitLatex(digit, "", false, false, false, 10);
    }
    if (!text) return digit.zConstants().empty() && digit.nConstants().empty() && digit.precise()
                          ? number(*digit.precise())
                          : number(KalMathOperation::preciseValueOf(digit));
    return value < 0 ? "(" + *text + ")" : *text;
}

DigitPtr SolutionStepWriter::reciprocal(const Digit& u) const {
    auto result = Digit::make(u.z(), u.n());
    result->assign(u);
    if (!result->invert()) throw MissingValue{};
    return result;
}

DigitPtr SolutionStepWriter::minusOne() {
    // Exact, so that a typed number turned round stays exact.
    auto minusOne = Digit::make(-1.0, 1.0);
    minusOne->setExact(true);
    return minusOne;
}

void SolutionStepWriter::titled(const std::string& title, const std::string& text) {
    output_.appendStep(output_.stepTitle(title), text);
}

void SolutionStepWriter::line(const std::string& text) { output_.appendStep("", text); }

std::string SolutionStepWriter::writeInverseToCore(const std::string& function, const std::string& scaledCore,
                                                   const std::string& core) {
    const bool dIsZero = isZero(input(d));
    titled(LocalizedString::inverseFunction(), "f(x) = y");
    line(function + " = y");
    if (!dIsZero) line(function + " = y \\quad |-" + d_);
    if (!isOne(input(z))) {
        const std::string minusD = dIsZero ? "" : "- " + d_;
        const std::string dOverZ = dIsZero ? "" : "- \\frac{" + d_ + "}{" + z_ + "}";
        line(scaledCore + " = y " + minusD + " \\quad |:" + zDivisor_);
        line(core + " = \\frac{y " + minusD + "}{" + z_ + "}");
        if (!dIsZero) line(core + " = \\frac{y}{" + z_ + "} " + dOverZ);
        line(core + " = \\frac{1}{" + z_ + "}y " + dOverZ);
    }
    const auto w = reciprocal(input(z));
    const std::string wText = isOne(*w) ? "" : resultLatex(*w);
    const auto s = quotient(input(d), input(z));
    const std::string sText = isZero(*s) ? "" : "- " + resultLatex(*s);
    return wText + "y " + sText;
}

void SolutionStepWriter::writeInverseFromInner(const std::string& inner, const std::string& value) {
    if (!isZero(input(c))) line(inner + " = " + value + " \\quad |-" + c_);
    if (!isOne(input(b))) {
        const std::string minusC = isZero(input(c)) ? "" : "- " + c_;
        line(bDot_ + " x = " + value + " " + minusC + " \\quad |:" + bDivisor_);
    }
    const auto v = reciprocal(input(b));
    const std::string vText = isOne(*v) ? "" : resultLatex(*v) + " \\cdot";
    const auto t = quotient(input(c), input(b));
    const std::string tText = isZero(*t) ? "" : "- " + resultLatex(*t);
    line("x = " + vText + " " + value + " " + tText);
}
