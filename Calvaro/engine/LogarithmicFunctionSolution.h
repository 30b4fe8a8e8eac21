#pragma once

#include "Calvaro/engine/SolutionStepWriter.h"

// Writes the numbered steps of f(x) = z·log_a(b·x + c) + d: domain of
// definition, range of values, the value at x when x is given, the zero, the
// y-intercept and the inverse function.
class LogarithmicFunctionSolution : public SolutionStepWriter {
public:
    LogarithmicFunctionSolution(const std::vector<DigitPtr>& inputs, KalMathOperation& operation,
                                KalStringOutput& output);

protected:
    void write() override;

private:
    void writeDomain();
    void writeRange();
    void writeValueAtX();
    void writeZero();
    void writeYIntercept();
    void writeInverse();
    // The lines from log_a(argument) to f's value: the logarithm, times z
    // (when z is not 1), plus d (when d is not 0); `factor` stands before the
    // logarithm.
    void writeLogarithmValue(const std::string& at, const Digit& argument, const std::string& factor);

    std::string zDotBlank_;  // "z\cdot " or empty when z is 1
    std::string argument_;   // bDot " x " cTerm
};
