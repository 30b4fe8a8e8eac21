#pragma once

#include "Calvaro/engine/SolutionStepWriter.h"

// Writes the numbered steps of f(x) = z·a^(b·x + c) + d: domain of definition,
// range of values, asymptote, the value at x when x is given, the zero, the
// y-intercept and the inverse function.
class ExponentialFunctionSolution : public SolutionStepWriter {
public:
    ExponentialFunctionSolution(const std::vector<DigitPtr>& inputs, KalMathOperation& operation,
                                KalStringOutput& output);

protected:
    void write() override;

private:
    void writeRange();
    void writeValueAtX();
    void writeZero();
    void writeYIntercept();
    void writeInverse();

    std::string exponent_;  // bDot " x " cTerm
    std::string function_;  // zDot " a^{(exponent)} " dTerm
    std::string power_;     // "a^{(exponent", closed by the caller
};
