#include "analytics/interpreter/MSRPEvaluator.h"

#include <atomic>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommandTable.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {

std::atomic<MSRPMethodEvaluator> gArrayMethods{nullptr};
std::atomic<MSRPMethodEvaluator> gStringMethods{nullptr};

constexpr int kReadVariableKey = 15;

struct DepthGuard {
    explicit DepthGuard(MSRPExecution& execution) : execution(execution) { ++execution.depth; }
    ~DepthGuard() { --execution.depth; }
    MSRPExecution& execution;
};

MSRPValue callEvaluated(MSRPExecution& execution, const MSRPCommand& command, std::span<const MSRPValue> arguments,
                        MSRPScope& scope) {
    return MSRPWithEvaluatedArguments(execution, arguments, scope, [&](std::span<const MSRPValue> evaluated) {
        return command.handler(execution, evaluated, scope);
    });
}

}  // namespace

MSRPValue MSRPEvaluator::evaluateCommand(MSRPExecution& execution, const MSRPValue& value, MSRPScope& scope) {
    if (execution.failed()) return MSRPValue();
    if (execution.instructionCount >= execution.instructionBudget)
        return execution.fail(MSRPErrorCode::kInstructionBudget);
    ++execution.instructionCount;
    const MSRPStatementValue* statement = value.statement();
    if (execution.depth >= execution.depthLimit) return execution.fail(MSRPErrorCode::kDepthLimit);
    if (MSRPMemory::used() > MSRPMemory::limit()) return execution.fail(MSRPErrorCode::kMemoryLimit);
    DepthGuard depth(execution);
    // No reference is taken on the statement: every list that statements run
    // from (a function's body, a statement's arguments, a snapshot of a
    // statement list) holds them for the run.
    const std::vector<MSRPValue>& arguments = statement->arguments();
    if (const MSRPCommand* command = statement->command()) {
        // Reading a variable named by a literal, the most frequent statement:
        // the literal's instruction is counted as its evaluation would count it.
        if (command->key == kReadVariableKey && arguments.size() == 1 && arguments[0].isString()) {
            if (execution.instructionCount >= execution.instructionBudget)
                return execution.fail(MSRPErrorCode::kInstructionBudget);
            ++execution.instructionCount;
            const MSRPValue* bound = scope.lookup(arguments[0].text());
            return bound ? *bound : MSRPValue();
        }
        switch (command->mode) {
            case MSRPArgumentMode::Raw: return command->handler(execution, arguments, scope);
            case MSRPArgumentMode::CountedThenEvaluated:
                if (arguments.size() != command->count) return execution.fail(MSRPErrorCode::kArgumentCount);
                return callEvaluated(execution, *command, arguments, scope);
            case MSRPArgumentMode::Evaluated: return callEvaluated(execution, *command, arguments, scope);
        }
        return MSRPValue();
    }
    // A key without a command names a function of the scope; anything else
    // there makes the statement quietly undefined.
    const MSRPValue* bound = scope.lookup(statement->functionName());
    if (!bound || !bound->isFunction()) return MSRPValue();
    MSRPRef<MSRPFunctionValue> function(bound->function());
    return function->invokeWithArguments(execution, arguments, scope);
}

MSRPValue MSRPEvaluator::executeStatements(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                           MSRPScope& scope) {
    MSRPValue result;
    for (const MSRPValue& statement : statements) {
        result = evaluateStatement(execution, statement, scope);
        if (execution.failed()) return MSRPValue();
        if (result.isControl()) return result;
    }
    return result;
}

std::vector<MSRPValue> MSRPEvaluateArguments(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                             MSRPScope& scope) {
    std::vector<MSRPValue> results;
    results.reserve(statements.size());
    for (const MSRPValue& statement : statements) {
        results.push_back(MSRPEvaluator::evaluateStatement(execution, statement, scope));
        if (execution.failed()) break;
    }
    return results;
}

// Member calls ------------------------------------------------------------------

void MSRPSetArrayMethodEvaluator(MSRPMethodEvaluator evaluator) { gArrayMethods = evaluator; }
void MSRPSetStringMethodEvaluator(MSRPMethodEvaluator evaluator) { gStringMethods = evaluator; }

MSRPValue MSRPApplyBaseMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name) {
    if (name != "toString") return execution.fail(MSRPErrorCode::kNotCallable);
    std::string text = receiver.stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::string(std::move(text));
}

MSRPValue MSRPApplyWithName(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                            std::span<const MSRPValue> arguments, MSRPScope& scope) {
    switch (receiver.kind()) {
        case MSRPValueKind::Undefined:
        case MSRPValueKind::Null: return execution.fail(MSRPErrorCode::kMethodOfNothing);
        case MSRPValueKind::String:
            if (MSRPMethodEvaluator methods = gStringMethods.load())
                return methods(execution, receiver, name, arguments, scope);
            return MSRPApplyBaseMethod(execution, receiver, name);
        case MSRPValueKind::Map:
        case MSRPValueKind::Function:
        case MSRPValueKind::Array: {
            const MSRPObjectValue* object = receiver.trackedObject();
            if (const MSRPValue* member = object->propertyMap().lookup(name)) {
                if (!member->isFunction()) return execution.fail(MSRPErrorCode::kNotCallable);
                MSRPRef<MSRPFunctionValue> function(member->function());
                return function->invokeWithArguments(execution, arguments, scope);
            }
            if (receiver.isArray()) {
                if (MSRPMethodEvaluator methods = gArrayMethods.load())
                    return methods(execution, receiver, name, arguments, scope);
                return MSRPApplyBaseMethod(execution, receiver, name);
            }
            if (name == "hasOwnProperty") {
                std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, arguments, scope);
                if (execution.failed()) return MSRPValue();
                if (!MSRPCheckArgumentCount(evaluated.size(), 1, execution.errorSlot())) return MSRPValue();
                std::string key = evaluated[0].stringValueOrError(execution.errorSlot());
                if (execution.failed()) return MSRPValue();
                return MSRPValue::boolean(object->propertyMap().hasName(key));
            }
            return MSRPApplyBaseMethod(execution, receiver, name);
        }
        default: return MSRPApplyBaseMethod(execution, receiver, name);
    }
}
