#include "Calvaro/engine/LogarithmicFunctionSolution.h"

#include <cmath>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/LocalizedString.h"

LogarithmicFunctionSolution::LogarithmicFunctionSolution(const std::vector<DigitPtr>& inputs,
                                                         KalMathOperation& operation, KalStringOutput& output)
    : SolutionStepWriter(inputs, operation, output) {}

void LogarithmicFunctionSolution::write() {
    prepareTerms();
    zDotBlank_ = isOne(input(z)) ? "" : z_ + "\\cdot ";
    argument_ = bDot_ + " x " + cTerm_;

    writeDomain();
    writeRange();
    if (isXGiven()) writeValueAtX();
    writeZero();
    writeYIntercept();
    writeInverse();
}

void LogarithmicFunctionSolution::writeDomain() {
    const std::string& title = LocalizedString::domainOfDefinition();
    const Digit& bDigit = input(b);
    const Digit& cDigit = input(c);
    if (isZero(bDigit)) {
        titled(title, "D = \\mathbb{R}");
        return;
    }
    std::string bound = "0";
    if (!isZero(cDigit)) {
        titled(title, "f(x) = " + z_ + "\\cdot \\log_{" + a_ + "}\\color{#ff3333}{(" + b_ + "\\cdot x + " + c_ +
                          ")} + " + d_);
        line("\\color{#009900}{" + b_ + "\\cdot x + " + c_ + "} > 0");
        const auto negatedC = product(cDigit, *minusOne());
        if (!isOne(bDigit)) {
            line(b_ + "\\cdot x + " + c_ + " > 0 \\quad |-" + c_);
            line(b_ + "\\cdot x > -" + c_ + " \\quad |:" + bDivisor_);
            const auto q = quotient(*negatedC, bDigit);
            bound = resultLatex(*q);
            // Dividing by a negative b turns the relation round.
            line((valueOf(bDigit) < 0 ? "x < " : "x > ") + bound);
        } else {
            line("x + " + c_ + " > 0 \\quad |-" + c_);
            line("x > -" + c_);
            bound = resultLatex(*negatedC);
        }
    }
    const double bValue = valueOf(bDigit);
    if (bValue > 0) {
        titled(title, "D = ]" + bound + ", \\infty[");
    } else if (bValue < 0) {
        titled(title, "D = ]-\\infty, " + bound + "[");
    } else {
        titled(title, "");
    }
}

void LogarithmicFunctionSolution::writeRange() {
    const std::string& title = LocalizedString::rangeOfValues();
    if (isZero(input(z))) {
        titled(title, "W = " + d_);
    } else if (isZero(input(b))) {
        const double v = KalMathOperation::sumOrZero(
            naturalLogarithm(input(c)) / naturalLogarithm(input(a)) * valueOf(input(z)), valueOf(input(d)));
        titled(title, "W = " + number(v));
    } else {
        titled(title, "W = \\mathbb{R}");
    }
}

void LogarithmicFunctionSolution::writeValueAtX() {
    const Digit& xDigit = input(x);
    const std::string xText = latex(xDigit);
    const std::string at = "f(" + xText + ") = ";
    titled(LocalizedString::calculateVerb(),
           "f(x) = " + zDot_ + "\\log_{" + a_ + "}(" + bDot_ + " x " + cTerm_ + ") " + dTerm_);
    line(at + zDot_ + " \\log_{" + a_ + "}(" + bDot_ + " " + xText + " " + cTerm_ + ") " + dTerm_);

    DigitPtr p = Digit::make(xDigit.z(), xDigit.n());
    p->assign(xDigit);
    if (!isOne(input(b))) {
        p = product(input(b), xDigit);
        line(at + zDot_ + "\\log_{" + a_ + "}(" + resultLatex(*p) + " " + cTerm_ + ") " + dTerm_);
    }
    DigitPtr e = p;
    if (!isZero(input(c))) {
        e = sum(*p, input(c));
        line(at + zDot_ + "\\log_{" + a_ + "}(" + resultLatex(*e) + ") " + dTerm_);
    }
    writeLogarithmValue(at, *e, zDot_);
}

void LogarithmicFunctionSolution::writeLogarithmValue(const std::string& at, const Digit& argument,
                                                      const std::string& factor) {
    // The logarithm of an exact power of the base is an exact whole number,
    // and so are its product with z and its sum with d where they are exact.
    if (const auto exact = exactLogarithm(argument, input(a))) {
        line(at + factor + " " + valueNumber(*exact) + " " + dTerm_);
        const auto scaled = product(*exact, input(z));
        if (!isOne(input(z))) line(at + valueNumber(*scaled) + " " + dTerm_);
        if (!isZero(input(d))) line(at + valueNumber(*sum(*scaled, input(d))));
        return;
    }
    // Near a whole k the logarithm is k and a rest, as in the exponential
    // form: log_{10}(9999999999999000) - 16 is the rest, no 0.
    if (const auto nearWhole = logarithmNearWhole(argument, input(a)); nearWhole && input(z).exact() && input(d).exact()) {
        line(at + factor + " " + number(*nearWhole) + " " + dTerm_);
        const long double zValue = KalMathOperation::preciseValueOf(input(z));
        Digit::Split value{nearWhole->exact * zValue, nearWhole->rest * zValue};
        if (!isOne(input(z))) line(at + number(value) + " " + dTerm_);
        value.exact += KalMathOperation::preciseValueOf(input(d));
        if (!isZero(input(d))) line(at + (value.exact == 0 ? number(value.rest) : number(value)));
        return;
    }
    long double value = logarithm(argument, input(a));
    line(at + factor + " " + number(value) + " " + dTerm_);
    value *= KalMathOperation::preciseValueOf(input(z));
    if (!isOne(input(z))) line(at + number(value) + " " + dTerm_);
    if (!isZero(input(d))) line(at + number(plus(value, KalMathOperation::preciseValueOf(input(d)))));
}

void LogarithmicFunctionSolution::writeZero() {
    const std::string log = "\\log_{" + a_ + "}(" + argument_ + ")";
    titled(LocalizedString::zero(), "f(x) = 0");
    line(zDotBlank_ + log + " " + dTerm_ + " = 0");
    if (!isZero(input(d))) line(zDotBlank_ + " " + log + " " + dTerm_ + " = 0 \\quad |-" + d_);
    const auto n = product(input(d), *minusOne());
    if (!isOne(input(z))) line(zDotBlank_ + " " + log + " = " + resultLatex(*n) + " \\quad |:" + zDivisor_);
    const auto q = quotient(*n, input(z));
    const std::string qText = resultLatex(*q);
    line(log + " = " + qText + " \\quad |" + aBase_ + "^{\\wedge}");
    line(aBase_ + "^{" + log + "} = " + aBase_ + "^{" + qText + "}");
    line(argument_ + " = " + aBase_ + "^{" + qText + "}");
    const auto g = power(input(a), *q);
    const std::string gText = valueNumber(*g);
    line(argument_ + " = " + gText);

    DigitPtr t = g;
    std::string tText = gText;
    if (!isZero(input(c))) {
        line(argument_ + " = " + gText + " \\quad |-" + c_);
        line(bDot_ + " x = " + gText + " -" + c_);
        t = difference(*g, input(c));
        tText = resultLatex(*t);
        line(bDot_ + " x = " + tText);
    }
    if (!isOne(input(b))) {
        line(bDot_ + " x = " + tText + " \\quad| :" + bDivisor_);
        const auto w = quotient(*t, input(b));
        const double numerator = *w->z();
        // A numerator with decimals reads better as one decimal number.
        line("x = " + (numerator != std::trunc(numerator) ? valueNumber(*w) : resultLatex(*w)));
    }
}

void LogarithmicFunctionSolution::writeYIntercept() {
    const std::string at = "f(0) = ";
    titled(LocalizedString::calculateVerb(), "f(0) = ?");
    line(at + zDotBlank_ + "\\log_{" + a_ + "}(" + bDot_ + " 0 " + cTerm_ + ") " + dTerm_);
    if (!isOne(input(b))) line(at + zDotBlank_ + " \\log_{" + a_ + "}(0 " + cTerm_ + ") " + dTerm_);
    if (!isZero(input(c))) line(at + zDotBlank_ + " \\log_{" + a_ + "}(" + c_ + ") " + dTerm_);
    writeLogarithmValue(at, input(c), zDotBlank_);
}

void LogarithmicFunctionSolution::writeInverse() {
    const std::string log = "\\log_{" + a_ + "}(" + argument_ + ")";
    const std::string value = writeInverseToCore(zDotBlank_ + " " + log + " " + dTerm_, zDotBlank_ + " " + log, log);
    const std::string exponent = "^{(" + value + ")}";
    line(log + " = " + value + " \\quad |" + aBase_ + "^{\\wedge}");
    line(aBase_ + "^{" + log + "} = " + aBase_ + exponent);
    writeInverseFromInner(argument_, aBase_ + exponent);
}
