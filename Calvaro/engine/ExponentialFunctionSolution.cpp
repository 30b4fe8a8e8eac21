#include "Calvaro/engine/ExponentialFunctionSolution.h"

#include <cmath>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/LocalizedString.h"

ExponentialFunctionSolution::ExponentialFunctionSolution(const std::vector<DigitPtr>& inputs,
                                                         KalMathOperation& operation, KalStringOutput& output)
    : SolutionStepWriter(inputs, operation, output) {}

void ExponentialFunctionSolution::write() {
    prepareTerms();
    exponent_ = bDot_ + " x " + cTerm_;
    function_ = zDot_ + " " + aBase_ + "^{(" + exponent_ + ")} " + dTerm_;
    power_ = aBase_ + "^{(" + exponent_;

    titled(LocalizedString::domainOfDefinition(), "D = \\mathbb{R}");
    writeRange();
    titled(LocalizedString::asymptote(), "f_a(x) = d");
    line("f_a(x) = " + d_);
    if (isXGiven()) writeValueAtX();
    writeZero();
    writeYIntercept();
    writeInverse();
}

void ExponentialFunctionSolution::writeRange() {
    const std::string& title = LocalizedString::rangeOfValues();
    if (isZero(input(z))) {
        titled(title, "W = " + d_);
    } else if (isZero(input(b))) {
        const auto power = this->power(input(a), input(c));
        const auto scaled = product(input(z), *power);
        titled(title, "W = " + resultLatex(*sum(*scaled, input(d))));
    } else if (valueOf(input(z)) > 0) {
        titled(title, "W = ]" + d_ + " , \\infty[");
    } else {
        titled(title, "W = ]-\\infty, " + d_ + "[");
    }
}

void ExponentialFunctionSolution::writeValueAtX() {
    const Digit& xDigit = input(x);
    const std::string xText = latex(xDigit);
    const std::string at = "f(" + xText + ") = ";
    titled(LocalizedString::calculateVerb(), "f(x) = " + function_);
    line(at + zDot_ + " " + aBase_ + "^{(" + bDot_ + " " + xText + " " + cTerm_ + ")} " + dTerm_);
    const auto p = product(input(b), xDigit);
    if (!isOne(input(b))) line(at + zDot_ + " " + aBase_ + "^{(" + resultLatex(*p) + " " + cTerm_ + ")} " + dTerm_);
    const auto e = sum(*p, input(c));
    if (!isZero(input(c))) line(at + zDot_ + " " + aBase_ + "^{" + resultLatex(*e) + "} " + dTerm_);
    const auto g = power(input(a), *e);
    line(at + zDot_ + " " + resultLatex(*g) + " " + dTerm_);
    const auto m = product(input(z), *g);
    if (!isOne(input(z))) line(at + resultLatex(*m) + " " + dTerm_);
    if (!isZero(input(d))) line(at + resultLatex(*sum(*m, input(d))));
}

void ExponentialFunctionSolution::writeZero() {
    titled(LocalizedString::zero(), "f(x) = 0");
    line(function_ + " = 0");
    if (!isZero(input(d))) line(function_ + " = 0 \\quad |-" + d_);
    const auto n = product(input(d), *minusOne());
    if (!isOne(input(z))) line(zDot_ + " " + power_ + ")} = " + resultLatex(*n) + " \\quad |:" + zDivisor_);
    const auto q = quotient(*n, input(z));
    const std::string qText = resultLatex(*q);
    const std::string logA = "\\log_{" + a_ + "}";
    line(power_ + ")} = " + qText + " \\quad |" + logA);
    line(logA + "(" + power_ + ")}) = " + logA + "(" + qText + ")");
    line(exponent_ + " = " + logA + "(" + qText + ")");
    // The logarithm of an exact power of the base is exact, and so is what
    // follows from it: x is then the exact quotient rounded once.
    if (const auto exact = exactLogarithm(*q, input(a))) {
        const std::string lText = valueNumber(*exact);
        line(exponent_ + " = " + lText);
        DigitPtr t = exact;
        std::string tText = lText;
        if (!isZero(input(c))) {
            line(exponent_ + " = " + lText + " \\quad |-" + c_);
            line(bDot_ + " x = " + lText + " -" + c_);
            t = difference(*exact, input(c));
            tText = valueNumber(*t);
            line(bDot_ + " x = " + tText);
        }
        if (!isOne(input(b))) {
            line(bDot_ + " x = " + tText + " \\quad| :" + bDivisor_);
            line("x = " + valueNumber(*quotient(*t, input(b))));
        }
        return;
    }
    // Near a whole k the logarithm is k and a rest, which subtracting c = k
    // leaves whole.
    const auto nearWhole = logarithmNearWhole(*q, input(a));
    long double value = nearWhole ? nearWhole->exact + nearWhole->rest : logarithm(*q, input(a));
    // The logarithm near a whole number keeps its rest apart while what
    // follows is the whole number's exact result.
    std::optional<Digit::Split> rest = nearWhole;
    const std::string logarithmText = nearWhole ? number(*nearWhole) : number(value);
    line(exponent_ + " = " + logarithmText);
    if (!isZero(input(c))) {
        line(exponent_ + " = " + logarithmText + " \\quad |-" + c_);
        line(bDot_ + " x = " + logarithmText + " -" + c_);
        const long double cValue = KalMathOperation::preciseValueOf(input(c));
        value = nearWhole && input(c).exact() ? (nearWhole->exact - cValue) + nearWhole->rest
                                              : plus(value, -cValue);
        if (nearWhole && input(c).exact()) {
            rest = Digit::Split{nearWhole->exact - cValue, nearWhole->rest};
        } else {
            rest.reset();
        }
        line(bDot_ + " x = " + (rest ? number(*rest) : number(value)));
    }
    if (!isOne(input(b))) {
        line(bDot_ + " x = " + (rest ? number(*rest) : number(value)) + " \\quad| :" + bDivisor_);
        const long double bValue = KalMathOperation::preciseValueOf(input(b));
        line("x = " + (rest ? number(Digit::Split{rest->exact / bValue, rest->rest / bValue}) : number(value / bValue)));
    }
}

void ExponentialFunctionSolution::writeYIntercept() {
    const std::string at = "f(0) = ";
    titled(LocalizedString::calculateVerb(), "f(0) = ?");
    line(at + zDot_ + " " + aBase_ + "^{(" + bDot_ + " 0 " + cTerm_ + ")} " + dTerm_);
    if (!isOne(input(b))) line(at + zDot_ + " " + aBase_ + "^{(0 " + cTerm_ + ")} " + dTerm_);
    if (!isZero(input(c))) line(at + zDot_ + " " + aBase_ + "^{(" + c_ + ")} " + dTerm_);
    const auto h = power(input(a), input(c));
    line(at + zDot_ + " " + resultLatex(*h) + " " + dTerm_);
    const auto m = product(input(z), *h);
    if (!isOne(input(z))) line(at + resultLatex(*m) + " " + dTerm_);
    const auto r = sum(*m, input(d));
    if (!isZero(input(d))) line(at + resultLatex(*r));
}

void ExponentialFunctionSolution::writeInverse() {
    const std::string logA = "\\log_{" + a_ + "}";
    const std::string core = power_ + ")}";
    const std::string value = writeInverseToCore(function_, zDot_ + " " + core, core);
    const std::string logTerm = logA + "(" + value + ")";
    line(core + " = " + value + " \\quad |" + logA);
    line(logA + "(" + core + ") = " + logTerm);
    writeInverseFromInner(exponent_, logTerm);
}
