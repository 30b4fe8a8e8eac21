// The general loop, the counting loop with per-iteration bindings, for-in and for-of.

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommands.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {

using Arguments = std::span<const MSRPValue>;

MSRPValue evaluate(MSRPExecution& execution, const MSRPValue& statement, MSRPScope& scope) {
    return MSRPEvaluator::evaluateStatement(execution, statement, scope);
}

// The body statements of an evaluated body argument; error 10 for a non-array.
bool bodyStatements(MSRPExecution& execution, const MSRPValue& body, std::vector<MSRPValue>& statements) {
    if (execution.failed()) return false;
    if (!body.isArray()) {
        execution.fail(MSRPErrorCode::kArgumentKind);
        return false;
    }
    statements = body.array()->allElements();
    return true;
}

// Runs one iteration; false when the loop ends, with its result in `result`.
bool runBody(MSRPExecution& execution, const std::vector<MSRPValue>& body, MSRPScope& scope, MSRPValue& result) {
    MSRPValue value = MSRPEvaluator::executeStatements(execution, body, scope);
    if (execution.failed()) {
        result = MSRPValue();
        return false;
    }
    if (const MSRPControlValue* control = value.control()) {
        if (control->type() == MSRPControlValue::Type::Break) {
            result = MSRPValue();
            return false;
        }
        if (control->type() == MSRPControlValue::Type::Return) {
            result = value;
            return false;
        }
    }
    return true;
}

bool truthOf(MSRPExecution& execution, const MSRPValue& statement, MSRPScope& scope) {
    MSRPValue condition = evaluate(execution, statement, scope);
    bool truth =
        condition.isBoolean() ? condition.booleanValue() : condition.booleanValueOrError(execution.errorSlot());
    return truth && !execution.failed();
}

enum class Binding { Assigning, Constant, Mutable };

MSRPValue iterate(MSRPExecution& execution, Arguments arguments, MSRPScope& scope, bool overValues, Binding binding) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    MSRPValue nameValue = evaluate(execution, arguments[0], scope);
    MSRPValue source = evaluate(execution, arguments[1], scope);
    MSRPValue bodyValue = evaluate(execution, arguments[2], scope);
    if (execution.failed()) return MSRPValue();
    MSRPText name = nameValue.stringValueOrError(execution.errorSlot());
    std::vector<MSRPValue> body;
    if (!bodyStatements(execution, bodyValue, body)) return MSRPValue();

    std::vector<MSRPValue> items;
    if (source.isString()) {
        // One new text per code unit, each paid for and given room before
        // the loop starts: making one takes about eight evaluations
        // (interpreter_bench: BM_ForOfText).
        const int64_t size = static_cast<int64_t>(source.text().size());
        constexpr int64_t kItem = static_cast<int64_t>(sizeof(MSRPStringValue) + 2 * sizeof(MSRPValue)) + 8;
        constexpr int64_t kItemInstructions = 8;
        if (!execution.reserve(size * (2 + kItem)) || !execution.chargeConversion(source.text().size()) ||
            !execution.charge(size * kItemInstructions * MSRPWork::kBytesPerInstruction))
            return MSRPValue();
        std::u16string units = MSRPUTF16(source.text());
        for (size_t i = 0; i < units.size(); ++i)
            items.push_back(overValues ? MSRPValue::string(MSRPUTF8(std::u16string_view(&units[i], 1)))
                                       : MSRPValue::string(std::to_string(i)));
    } else if (const MSRPArrayValue* array = source.array()) {
        // A name is a new text per element.
        if (!execution.chargeElements(array->count()) ||
            !execution.reserve(static_cast<int64_t>(array->count() * (overValues ? sizeof(MSRPValue)
                                                                                  : sizeof(MSRPStringValue) + 32))))
            return MSRPValue();
        items = overValues ? array->allElements() : array->allPropertyNames();
    } else if (overValues) {
        return execution.fail(MSRPErrorCode::kNotIterable);
    } else if (const MSRPObjectValue* object = source.trackedObject()) {
        if (!execution.chargeElements(object->propertyMap().count())) return MSRPValue();
        for (const MSRPPropertyMap::Entry& entry : object->propertyMap().entries())
            items.push_back(MSRPValue::string(entry.name));
    }

    // Each item is charged as it is bound, whatever the body does with it:
    // an empty body is no free walk.
    MSRPValue result;
    for (const MSRPValue& item : items) {
        if (!execution.chargeBindings(1)) return MSRPValue();
        if (binding == Binding::Assigning) {
            scope.setValue(item, name);
            if (!runBody(execution, body, scope, result)) return result;
            continue;
        }
        MSRPRef<MSRPScope> iteration = scope.createChildScope();
        if (binding == Binding::Constant)
            iteration->addImmutableValue(item, name);
        else
            iteration->addValue(item, name);
        if (!runBody(execution, body, *iteration, result)) return result;
    }
    return MSRPValue();
}

}  // namespace

namespace MSRPLoopCommands {

MSRP_HANDLER(generalLoop) {
    if (!MSRPCheckArgumentCount(arguments.size(), 4, execution.errorSlot())) return MSRPValue();
    const MSRPValue& condition = arguments[0];
    const MSRPValue& step = arguments[1];
    bool runFirst = evaluate(execution, arguments[2], scope).booleanValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    std::vector<MSRPValue> body;
    if (!bodyStatements(execution, evaluate(execution, arguments[3], scope), body)) return MSRPValue();
    MSRPValue result;
    if (runFirst && !runBody(execution, body, scope, result)) return result;
    while (truthOf(execution, condition, scope)) {
        if (!runBody(execution, body, scope, result)) return result;
        evaluate(execution, step, scope);
        if (execution.failed()) return MSRPValue();
    }
    return MSRPValue();
}

MSRP_HANDLER(countingLoop) {
    if (!MSRPCheckArgumentCount(arguments.size(), 4, execution.errorSlot())) return MSRPValue();
    MSRPValue namesValue = evaluate(execution, arguments[0], scope);
    if (execution.failed()) return MSRPValue();
    if (!namesValue.isArray()) return execution.fail(MSRPErrorCode::kArgumentKind);
    std::vector<MSRPValue> body;
    if (!bodyStatements(execution, evaluate(execution, arguments[3], scope), body)) return MSRPValue();
    const MSRPValue& condition = arguments[1];
    const MSRPValue& step = arguments[2];

    MSRPParameterNames names;
    for (const MSRPValue& name : namesValue.array()->allElements()) {
        names.push_back(name.stringValueOrError(execution.errorSlot()));
        if (execution.failed()) return MSRPValue();
    }
    // Every iteration gets its own scope binding the loop variables again
    // (the names shared), so closures made in the body keep their
    // iteration's values. A long list of them is charged for each scope:
    // the loop's own evaluations pay only for a few.
    constexpr size_t kUnchargedNames = 16;
    auto chargeCopy = [&] { return names.size() <= kUnchargedNames || execution.chargeBindings(names.size()); };
    if (!chargeCopy()) return MSRPValue();
    MSRPRef<MSRPScope> current = scope.createChildScope();
    for (const MSRPText& name : names) current->addValue(scope.valueForName(name), name);
    if (!truthOf(execution, condition, *current)) return MSRPValue();
    MSRPValue result;
    while (true) {
        if (!runBody(execution, body, *current, result)) return result;
        if (!chargeCopy()) return MSRPValue();
        MSRPRef<MSRPScope> next = scope.createChildScope();
        for (const MSRPText& name : names) next->addValue(current->valueForName(name), name);
        evaluate(execution, step, *next);
        if (execution.failed()) return MSRPValue();
        if (!truthOf(execution, condition, *next)) return MSRPValue();
        current = next;
    }
}

MSRP_HANDLER(forInAssigning) { return iterate(execution, arguments, scope, false, Binding::Assigning); }
MSRP_HANDLER(forInConstant) { return iterate(execution, arguments, scope, false, Binding::Constant); }
MSRP_HANDLER(forInMutable) { return iterate(execution, arguments, scope, false, Binding::Mutable); }
MSRP_HANDLER(forOfAssigning) { return iterate(execution, arguments, scope, true, Binding::Assigning); }
MSRP_HANDLER(forOfConstant) { return iterate(execution, arguments, scope, true, Binding::Constant); }
MSRP_HANDLER(forOfMutable) { return iterate(execution, arguments, scope, true, Binding::Mutable); }

}  // namespace MSRPLoopCommands
