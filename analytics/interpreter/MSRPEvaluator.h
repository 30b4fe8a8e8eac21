#pragma once
// The evaluation loop: one statement at a time, dispatched through the
// command table. Every evaluation, literals included, counts against the
// execution's instruction budget; every statement nests one level deeper and
// stops at the depth limit; the memory limit is checked before each statement.

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPScope;

class MSRPEvaluator {
  public:
    // A statement value: counted, bounded and dispatched.
    static MSRPValue evaluateCommand(MSRPExecution& execution, const MSRPValue& statement, MSRPScope& scope);
    static MSRPValue evaluateStatement(MSRPExecution& execution, const MSRPValue& value, MSRPScope& scope) {
        // Literals, most arguments, cost one instruction and no call.
        if (!value.isStatement()) {
            if (execution.failed()) return MSRPValue();
            if (execution.instructionCount >= execution.instructionBudget)
                return execution.fail(MSRPErrorCode::kInstructionBudget);
            ++execution.instructionCount;
            return value;
        }
        return evaluateCommand(execution, value, scope);
    }
    // In order in `scope`; the first error gives undefined, the first control
    // value is returned, else the last result (undefined for none).
    static MSRPValue executeStatements(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                       MSRPScope& scope);
};

// Evaluates each in order; stops after the first error (its result appended).
std::vector<MSRPValue> MSRPEvaluateArguments(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                             MSRPScope& scope);

// Evaluates each in order and hands the values to `then`; undefined, without
// calling it, once one fails. Most calls have at most a few arguments: theirs
// are evaluated into a buffer on the stack.
template <class Then>
MSRPValue MSRPWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                     MSRPScope& scope, Then&& then) {
    constexpr size_t kInlineArguments = 4;
    if (statements.size() <= kInlineArguments) {
        MSRPValue evaluated[kInlineArguments];
        for (size_t i = 0; i < statements.size(); ++i) {
            evaluated[i] = MSRPEvaluator::evaluateStatement(execution, statements[i], scope);
            if (execution.failed()) return MSRPValue();
        }
        return then(std::span<const MSRPValue>(evaluated, statements.size()));
    }
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, statements, scope);
    if (execution.failed()) return MSRPValue();
    return then(std::span<const MSRPValue>(evaluated));
}

// A member call `receiver.name(arguments...)` with unevaluated arguments.
MSRPValue MSRPApplyWithName(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                            std::span<const MSRPValue> arguments, MSRPScope& scope);

// Where the array and string methods plug in. Until they are installed, both
// answer what every value answers: "toString" gives the text form, any other
// name error 17.
using MSRPMethodEvaluator = MSRPValue (*)(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                                          std::span<const MSRPValue> arguments, MSRPScope& scope);
void MSRPSetArrayMethodEvaluator(MSRPMethodEvaluator evaluator);
void MSRPSetStringMethodEvaluator(MSRPMethodEvaluator evaluator);
// The behaviour every value shares: "toString", else error 17.
MSRPValue MSRPApplyBaseMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name);
