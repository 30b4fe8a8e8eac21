#include "analytics/interpreter/MSRPEvaluator.h"

#include <atomic>
#include <cmath>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommandTable.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPPropertyMap.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {

std::atomic<MSRPMethodEvaluator> gArrayMethods{nullptr};
std::atomic<MSRPMethodEvaluator> gStringMethods{nullptr};

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

namespace {

// A literal argument's evaluation as evaluateStatement counts it.
bool countLiteral(MSRPExecution& execution) {
    return MSRPEvaluator::countInstruction(execution);
}

// Two numbers through the operators of MSRPIsNumberOperator, as their
// handlers compute them for number operands.
MSRPValue numberOperation(int key, double left, double right) {
    using namespace MSRPCommandKey;
    switch (key) {
        case kAdd: return MSRPValue::number(left + right);
        case kSubtract: return MSRPValue::number(left - right);
        case kMultiply: return MSRPValue::number(left * right);
        case kDivide: return MSRPValue::number(left / right);
        case kLessThan: return MSRPValue::boolean(left < right);
        case kLessOrEqual: return MSRPValue::boolean(left <= right);
        case kGreaterThan: return MSRPValue::boolean(left > right);
        case kGreaterOrEqual: return MSRPValue::boolean(left >= right);
        default: return MSRPValue();
    }
}

}  // namespace

MSRPValue MSRPEvaluator::evaluateCommand(MSRPExecution& execution, const MSRPValue& value, MSRPScope& scope) {
    if (!enterStatement(execution)) return MSRPValue();
    const MSRPStatementValue* statement = value.statement();
    DepthGuard depth(execution);
    // No reference is taken on the statement: every list that statements run
    // from (a function's body, a statement's arguments, a snapshot of a
    // statement list) holds them for the run.
    const std::vector<MSRPValue>& arguments = statement->arguments();
    const MSRPCommand* command = statement->command();
    MSRPScope* holder = nullptr;
    switch (statement->shape()) {
        case MSRPStatementValue::Shape::ReadName: {
            // Mostly read in place by evaluateStatement; the same here.
            if (!countLiteral(execution)) return MSRPValue();
            const MSRPPropertyMap::Entry* bound = scope.findBinding(statement->lookedUpName(), statement->nameBit(),
                                                    statement->nameKey(), statement->nameCache(), &holder);
            return bound ? bound->value : MSRPValue();
        }
        case MSRPStatementValue::Shape::Call: {
            // A key without a command names a function of the scope; anything
            // else there makes the statement quietly undefined.
            const MSRPPropertyMap::Entry* bound = scope.findBinding(statement->lookedUpName(), statement->nameBit(),
                                                    statement->nameKey(), statement->nameCache(), &holder);
            if (!bound || !bound->value.isFunction()) return MSRPValue();
            MSRPRef<MSRPFunctionValue> function(bound->value.function());
            return function->invokeWithArguments(execution, arguments, scope);
        }
        case MSRPStatementValue::Shape::Binary: {
            // Made in place, left to right; once one fails, the next
            // evaluation does nothing and answers undefined.
            MSRPValue operands[2] = {evaluateStatement(execution, arguments[0], scope),
                                     evaluateStatement(execution, arguments[1], scope)};
            if (execution.failed()) return MSRPValue();
            if (operands[0].isNumber() && operands[1].isNumber())
                return numberOperation(command->key, operands[0].numberValue(), operands[1].numberValue());
            return command->handler(execution, std::span<const MSRPValue>(operands, 2), scope);
        }
        case MSRPStatementValue::Shape::AssignName: {
            if (!countLiteral(execution)) return MSRPValue();
            MSRPValue assigned = evaluateStatement(execution, arguments[1], scope);
            if (execution.failed()) return MSRPValue();
            // Found after the value: evaluating it may have declared the name.
            MSRPPropertyMap::Entry* bound = scope.findBinding(statement->lookedUpName(), statement->nameBit(),
                                                    statement->nameKey(), statement->nameCache(), &holder);
            if (!bound) return execution.fail(MSRPErrorCode::kUndeclaredVariable);
            // Constants and frozen scopes keep their values, silently.
            if (!bound->immutable && !holder->isImmutable()) bound->value = assigned;
            return assigned;
        }
        case MSRPStatementValue::Shape::Evaluated: {
            const size_t count = arguments.size();
            MSRPValue evaluated[3] = {
                count > 0 ? evaluateStatement(execution, arguments[0], scope) : MSRPValue(),
                count > 1 ? evaluateStatement(execution, arguments[1], scope) : MSRPValue(),
                count > 2 ? evaluateStatement(execution, arguments[2], scope) : MSRPValue()};
            if (execution.failed()) return MSRPValue();
            return command->handler(execution, std::span<const MSRPValue>(evaluated, count), scope);
        }
        case MSRPStatementValue::Shape::Return: {
            MSRPValue data =
                arguments.empty() ? MSRPValue() : evaluateStatement(execution, arguments[0], scope);
            if (execution.failed()) return MSRPValue();
            return MSRPValue(MSRPControlValue::returnValueWithData(std::move(data)));
        }
        case MSRPStatementValue::Shape::ReadProperty: {
            MSRPValue operands[2] = {evaluateStatement(execution, arguments[0], scope),
                                     evaluateStatement(execution, arguments[1], scope)};
            if (execution.failed()) return MSRPValue();
            // An array element by an index in range, read in place; anything
            // else as the handler reads it.
            if (const MSRPArrayValue* array = operands[0].array()) {
                const MSRPValue& key = operands[1];
                const std::vector<MSRPValue>& elements = array->elements();
                if (key.isNumber()) {
                    const double index = key.numberValue();
                    const double size = static_cast<double>(elements.size());
                    if (index >= 0 && index < size && index == std::trunc(index)) {
                        const MSRPValue& element = elements[static_cast<size_t>(index)];
                        return element.isHole() ? MSRPValue() : element;
                    }
                }
                return array->valueForProperty(key, execution.errorSlot());
            }
            return command->handler(execution, std::span<const MSRPValue>(operands, 2), scope);
        }
        case MSRPStatementValue::Shape::WriteProperty: {
            MSRPValue operands[3] = {evaluateStatement(execution, arguments[0], scope),
                                     evaluateStatement(execution, arguments[1], scope),
                                     evaluateStatement(execution, arguments[2], scope)};
            if (execution.failed()) return MSRPValue();
            if (MSRPArrayValue* array = operands[0].array()) {
                array->setValue(operands[2], operands[1], execution.errorSlot());
                return execution.failed() ? MSRPValue() : operands[2];
            }
            return command->handler(execution, std::span<const MSRPValue>(operands, 3), scope);
        }
        case MSRPStatementValue::Shape::General: break;
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

MSRPValue MSRPEvaluator::evaluateClosingReturn(MSRPExecution& execution, const MSRPStatementValue& statement,
                                               MSRPScope& scope) {
    if (!enterStatement(execution)) return MSRPValue();
    DepthGuard depth(execution);
    const std::vector<MSRPValue>& arguments = statement.arguments();
    MSRPValue data = arguments.empty() ? MSRPValue() : evaluateStatement(execution, arguments[0], scope);
    if (execution.failed()) return MSRPValue();
    return data;
}

MSRPValue MSRPEvaluator::executeStatements(MSRPExecution& execution, std::span<const MSRPValue> statements,
                                           MSRPScope& scope) {
    if (statements.empty()) return MSRPValue();
    // Each result is made in place; only the last or a control value leaves.
    for (size_t i = 0; i + 1 < statements.size(); ++i) {
        MSRPValue result = evaluateStatement(execution, statements[i], scope);
        if (execution.failed()) return MSRPValue();
        if (result.isControl()) return result;
    }
    MSRPValue last = evaluateStatement(execution, statements.back(), scope);
    if (execution.failed()) return MSRPValue();
    return last;
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
    MSRPText text = receiver.stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::string(std::move(text));
}

MSRPValue MSRPApplyWithName(MSRPExecution& execution, const MSRPValue& receiver, const MSRPText& name,
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
                MSRPText key = evaluated[0].stringValueOrError(execution.errorSlot());
                if (execution.failed()) return MSRPValue();
                return MSRPValue::boolean(object->propertyMap().hasName(key));
            }
            return MSRPApplyBaseMethod(execution, receiver, name);
        }
        default: return MSRPApplyBaseMethod(execution, receiver, name);
    }
}
