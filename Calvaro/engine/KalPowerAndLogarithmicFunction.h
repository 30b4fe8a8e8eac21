#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/CommonSplineChartData.h"
#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalStringOutput.h"

class KalMathOperation;
class KalInputSymbolLookup;

// One chart row of spline series; a solution has at most one.
using SplineChartRow = std::vector<std::shared_ptr<CommonSplineChartData>>;

// Parameters for which neither form is a function with an inverse; the
// calculator refuses them before writing a step.
namespace CalculatorErrorKey {
inline constexpr const char* baseNotPositive = "baseNotPositive";  // a <= 0
inline constexpr const char* baseIsOne = "baseIsOne";              // a = 1
inline constexpr const char* factorOfXIsZero = "factorOfXIsZero";  // b = 0
inline constexpr const char* factorIsZero = "factorIsZero";        // z = 0
// A result of typed numbers that no line could write as it is: more digits
// than its double gives back, past the double's range, or below its normal
// numbers.
inline constexpr const char* resultNotHeld = "resultNotHeld";
inline constexpr const char* resultTooLarge = "resultTooLarge";
inline constexpr const char* resultTooSmall = "resultTooSmall";
}  // namespace CalculatorErrorKey

// The outcome of one calculation: either the steps, the formula line and the
// chart, or the error key with the fields at fault.
struct CalculatorResult {
    std::optional<std::string> errorKey;
    std::optional<std::vector<std::string>> faultyFieldIds;
    std::optional<std::vector<StepDictionary>> solutionSteps;
    std::optional<std::string> formulaLatex;
    std::vector<SplineChartRow> chartSteps;
};

// The calculator of f(x) = z·log_a(b·x + c) + d (mode 0) and
// f(x) = z·a^(b·x + c) + d (mode 1). It coordinates: the input manager parses
// and writes the input steps, the solution writers the numbered steps, and the
// chart description samples the function and its inverse. The caller makes a
// new calculator per run and clears the shared step output around it.
class KalPowerAndLogarithmicFunction {
public:
    static constexpr int64_t logarithmicMode = 0;
    static constexpr int64_t exponentialMode = 1;

    KalPowerAndLogarithmicFunction(KalMathOperation& operation, KalStringOutput& output);
    // With the shared arithmetic and step output.
    KalPowerAndLogarithmicFunction();

    CalculatorResult calculate(const std::optional<std::string>& aText, const std::string& aId,
                               const std::optional<std::string>& bText, const std::string& bId,
                               const std::optional<std::string>& cText, const std::string& cId,
                               const std::optional<std::string>& dText, const std::string& dId,
                               const std::optional<std::string>& xText, const std::string& xId,
                               const std::optional<std::string>& zText, const std::string& zId, int64_t mode);

    // The solution writers and the chart description of the last parsed inputs.
    void solveLogarithmicFunction();
    void solveExponentialFunction();
    std::vector<SplineChartRow> makeChartData(int64_t mode) const;

    KalMathOperation& operation() const { return *operation_; }
    KalStringOutput& output() const { return *output_; }
    // The parsed inputs a, b, c, d, x, z of the last run; absent before the
    // first run and after a failed one.
    const std::optional<std::vector<DigitPtr>>& allInputs() const { return allInputs_; }

private:
    KalMathOperation* operation_;
    KalStringOutput* output_;
    std::optional<std::vector<DigitPtr>> allInputs_;
};
