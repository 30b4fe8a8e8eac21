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
#include "analytics/interpreter/MSRPPropertyMap.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/interpreter/MSRPScope.h"

class MSRPEvaluator {
  public:
    // One instruction of the budget; false (the execution failed) when there
    // is none left or it had failed already.
    static bool countInstruction(MSRPExecution& execution) {
        if (execution.failed()) return false;
        if (execution.instructionCount >= execution.checkpoint && !execution.passCheckpoint()) return false;
        ++execution.instructionCount;
        return true;
    }
    // A statement's instruction, and room for it below the depth and memory
    // limits.
    static bool enterStatement(MSRPExecution& execution) {
        if (!countInstruction(execution)) return false;
        if (execution.depth >= execution.depthLimit) {
            execution.fail(MSRPErrorCode::kDepthLimit);
            return false;
        }
        if (MSRPMemory::exceeded()) {
            execution.fail(MSRPErrorCode::kMemoryLimit);
            return false;
        }
        return true;
    }
    // A statement value: counted, bounded and dispatched.
    static MSRPValue evaluateCommand(MSRPExecution& execution, const MSRPValue& statement, MSRPScope& scope);
    static MSRPValue evaluateStatement(MSRPExecution& execution, const MSRPValue& value, MSRPScope& scope) {
        // Literals, most arguments, cost one instruction and no call.
        if (!value.isStatement()) return countInstruction(execution) ? value : MSRPValue();
        const MSRPStatementValue* statement = value.statement();
        if (statement->shape() == MSRPStatementValue::Shape::ReadName)
            return readName(execution, *statement, scope);
        return evaluateCommand(execution, value, scope);
    }
    // A variable read named by a literal, the most frequent statement, in
    // place: counted, bounded and answered as evaluateCommand would.
    static MSRPValue readName(MSRPExecution& execution, const MSRPStatementValue& statement,
                              MSRPScope& scope) {
        // The statement's instruction, then the literal name's own.
        if (!enterStatement(execution) || !countInstruction(execution)) return MSRPValue();
        MSRPScope* holder = nullptr;
        const MSRPPropertyMap::Entry* bound = scope.findBinding(statement.lookedUpName(), statement.nameBit(),
                                                                statement.nameKey(), statement.nameCache(), &holder);
        return bound ? bound->value : MSRPValue();
    }
    // A function body's closing `return` (a Return statement), counted and
    // bounded as evaluateCommand runs it, answering the returned value itself:
    // the return marker it would make is only unwrapped by the call.
    static MSRPValue evaluateClosingReturn(MSRPExecution& execution, const MSRPStatementValue& statement,
                                           MSRPScope& scope);
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
    const size_t count = statements.size();
    if (count <= kInlineArguments) {
        // Made in place, left to right; once one fails, the next evaluation
        // does nothing and answers undefined.
        auto at = [&](size_t i) {
            return i < count ? MSRPEvaluator::evaluateStatement(execution, statements[i], scope) : MSRPValue();
        };
        MSRPValue evaluated[kInlineArguments] = {at(0), at(1), at(2), at(3)};
        if (execution.failed()) return MSRPValue();
        return then(std::span<const MSRPValue>(evaluated, count));
    }
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, statements, scope);
    if (execution.failed()) return MSRPValue();
    return then(std::span<const MSRPValue>(evaluated));
}

// A member call `receiver.name(arguments...)` with unevaluated arguments.
MSRPValue MSRPApplyWithName(MSRPExecution& execution, const MSRPValue& receiver, const MSRPText& name,
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
