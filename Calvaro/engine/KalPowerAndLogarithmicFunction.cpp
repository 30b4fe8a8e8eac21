#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"

#include <algorithm>
#include <utility>

#include "Calvaro/engine/ExponentialFunctionSolution.h"
#include "Calvaro/engine/FunctionChartDescription.h"
#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/LogarithmicFunctionSolution.h"

namespace {

// An absent text, an empty one or one of brackets only takes the default; a
// field of brackets only would otherwise count as filled yet carry no value.
std::string textOrDefault(const std::optional<std::string>& text, const char* fallback) {
    if (!text || KalInputManager::isEffectivelyEmpty(*text)) return fallback;
    return *text;
}

// The first parameter for which the exercise is no function with an inverse
// (a base of at most 0 or of 1, a factor b or z of 0), with its position;
// none when the exercise can be solved. The writers would otherwise state
// false things such as "x = 1" for a = 1.
std::optional<std::pair<const char*, size_t>> refusedParameter(const std::vector<DigitPtr>& inputs) {
    const auto valueAt = [&inputs](size_t position) {
        return position < inputs.size() && inputs[position] ? inputs[position]->value() : std::nullopt;
    };
    const auto a = valueAt(0);
    if (a && !(*a > 0)) return std::pair{CalculatorErrorKey::baseNotPositive, size_t{0}};
    if (a && *a == 1.0) return std::pair{CalculatorErrorKey::baseIsOne, size_t{0}};
    const auto b = valueAt(1);
    if (b && *b == 0.0) return std::pair{CalculatorErrorKey::factorOfXIsZero, size_t{1}};
    const auto z = valueAt(5);
    if (z && *z == 0.0) return std::pair{CalculatorErrorKey::factorIsZero, size_t{5}};
    return std::nullopt;
}

const char* unheldKey(UnheldCause cause) {
    switch (cause) {
        case UnheldCause::tooLarge:
            return CalculatorErrorKey::resultTooLarge;
        case UnheldCause::tooSmall:
            return CalculatorErrorKey::resultTooSmall;
        case UnheldCause::tooManyDigits:
            break;
    }
    return CalculatorErrorKey::resultNotHeld;
}

}  // namespace

KalPowerAndLogarithmicFunction::KalPowerAndLogarithmicFunction(KalMathOperation& operation, KalStringOutput& output)
    : operation_(&operation), output_(&output) {}

KalPowerAndLogarithmicFunction::KalPowerAndLogarithmicFunction()
    : KalPowerAndLogarithmicFunction(KalMathOperation::shared(), KalStringOutput::shared()) {}

CalculatorResult KalPowerAndLogarithmicFunction::calculate(
    const std::optional<std::string>& aText, const std::string& aId, const std::optional<std::string>& bText,
    const std::string& bId, const std::optional<std::string>& cText, const std::string& cId,
    const std::optional<std::string>& dText, const std::string& dId, const std::optional<std::string>& xText,
    const std::string& xId, const std::optional<std::string>& zText, const std::string& zId, int64_t mode) {
    const std::string x = textOrDefault(xText, "");
    const std::vector<std::string> texts = {textOrDefault(aText, "2"), textOrDefault(bText, "1"),
                                            textOrDefault(cText, "0"), textOrDefault(dText, "0"),
                                            x,                         textOrDefault(zText, "1")};
    const std::vector<std::string> ids = {aId, bId, cId, dId, xId, zId};

    std::string format;
    if (mode == logarithmicMode) {
        format = "f(x) = %5 \\cdot \\log_{%0}(%1 x + %2) + %3";
    } else if (mode == exponentialMode) {
        format = "f(x) = %5 \\cdot %0^{(%1 x + %2)} + %3";
    }
    if (!x.empty()) format += "\\quad \\quad x=%4";

    const size_t stepsBefore = output_->solutionSteps().size();
    const int64_t counterBefore = output_->solutionStepCounter();
    KalInputManager inputManager(*output_, operation_);
    InputProcessingResult processed =
        inputManager.processInputs(texts, {}, ids, {format}, true, false, false, FormatMode::formula, "", "", 5,
                                   false, {});
    allInputs_ = processed.allInputs;

    CalculatorResult result;
    if (!allInputs_) {
        result.errorKey = processed.errorKey;
        result.faultyFieldIds = processed.faultyFieldIds;
        return result;
    }

    if (const auto refused = refusedParameter(*allInputs_)) {
        // Refused before any solution step: the input steps go again too.
        output_->solutionSteps().resize(std::min(stepsBefore, output_->solutionSteps().size()));
        allInputs_.reset();
        result.errorKey = refused->first;
        result.faultyFieldIds = std::vector<std::string>{ids[refused->second]};
        return result;
    }

    operation_->setWithFraction(true);
    operation_->clearUnheldResult();
    if (mode == logarithmicMode) {
        solveLogarithmicFunction();
    } else if (mode == exponentialMode) {
        solveExponentialFunction();
    }
    if (const auto unheld = operation_->unheldResult()) {
        // A line would show another number than its operation gives: the
        // exercise is refused, naming the fields whose numbers met there.
        output_->solutionSteps().resize(std::min(stepsBefore, output_->solutionSteps().size()));
        output_->setSolutionStepCounter(counterBefore);
        allInputs_.reset();
        result.errorKey = unheldKey(unheld->cause);
        // A field left empty gave only its default and is not named.
        const std::vector<const std::optional<std::string>*> given = {&aText, &bText, &cText,
                                                                       &dText, &xText, &zText};
        std::vector<std::string> fields;
        for (size_t i = 0; i < ids.size(); ++i) {
            const bool typed = given[i]->has_value() && !KalInputManager::isEffectivelyEmpty(**given[i]);
            if (typed && ((unheld->typedSources >> i) & 1U) != 0) fields.push_back(ids[i]);
        }
        result.faultyFieldIds = std::move(fields);
        operation_->clearUnheldResult();
        return result;
    }
    result.chartSteps = makeChartData(mode);

    result.solutionSteps = output_->solutionSteps();
    if (!output_->solutionSteps().empty()) {
        const auto& first = output_->solutionSteps().front();
        const auto found = first.find("latexString");
        if (found != first.end()) result.formulaLatex = found->second;
    }
    return result;
}

void KalPowerAndLogarithmicFunction::solveLogarithmicFunction() {
    if (!allInputs_) return;
    LogarithmicFunctionSolution(*allInputs_, *operation_, *output_).run();
}

void KalPowerAndLogarithmicFunction::solveExponentialFunction() {
    if (!allInputs_) return;
    ExponentialFunctionSolution(*allInputs_, *operation_, *output_).run();
}

std::vector<SplineChartRow> KalPowerAndLogarithmicFunction::makeChartData(int64_t mode) const {
    if (!allInputs_) return {};
    return FunctionChartDescription(*allInputs_).makeChartData(mode);
}
