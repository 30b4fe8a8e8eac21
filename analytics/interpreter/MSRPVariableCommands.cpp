// Declarations, assignment, variable and property reads and writes, array
// and object literals, type names, undefined and null.

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommands.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPScope.h"

namespace MSRPVariableCommands {

MSRP_HANDLER(declareVariables) {
    for (const MSRPValue& name : arguments) {
        if (!name.isString()) return execution.fail(MSRPErrorCode::kArgumentKind);
        scope.addValue(MSRPValue(), name.sharedText());
    }
    return MSRPValue();
}

MSRP_HANDLER(declareConstants) {
    if (arguments.size() % 2 != 0) return execution.fail(MSRPErrorCode::kArgumentCount);
    for (size_t i = 0; i < arguments.size(); i += 2) {
        if (!arguments[i].isString()) return execution.fail(MSRPErrorCode::kArgumentKind);
        scope.addImmutableValue(arguments[i + 1], arguments[i].sharedText());
    }
    return MSRPValue();
}

MSRP_HANDLER(assign) {
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    if (!arguments[0].isString()) return execution.fail(MSRPErrorCode::kArgumentKind);
    const MSRPText name = arguments[0].sharedText();
    if (!scope.hasName(name)) return execution.fail(MSRPErrorCode::kUndeclaredVariable);
    scope.setValue(arguments[1], name);
    return arguments[1];
}

MSRP_HANDLER(readVariable) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    if (!arguments[0].isString()) return execution.fail(MSRPErrorCode::kArgumentKind);
    const MSRPValue* value = scope.lookup(arguments[0].sharedText());
    return value ? *value : MSRPValue();
}

MSRP_HANDLER(arrayLiteral) {
    (void)scope;
    return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::vector<MSRPValue>(arguments.begin(), arguments.end()),
                                                            execution.objectManager));
}

MSRP_HANDLER(objectLiteral) {
    (void)scope;
    if (arguments.size() % 2 != 0) return execution.fail(MSRPErrorCode::kArgumentCount);
    MSRPRef<MSRPMapValue> map = MSRPObjectManager::mapValue(execution.objectManager);
    for (size_t i = 0; i < arguments.size(); i += 2) {
        MSRPText name = arguments[i].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        map->setValue(arguments[i + 1], name);
    }
    return MSRPValue(map);
}

MSRP_HANDLER(readProperty) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    const MSRPValue& object = arguments[0];
    const MSRPValue& property = arguments[1];
    if (const MSRPArrayValue* array = object.array()) return array->valueForProperty(property, execution.errorSlot());
    if (const MSRPObjectValue* members = object.trackedObject()) {
        MSRPText name = property.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        return members->valueForProperty(name);
    }
    if (object.isString()) {
        MSRPText name = property.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        const int64_t size = static_cast<int64_t>(object.text().size());
        if (!execution.chargeConversion(object.text().size()) || !execution.reserve(size * 2))
            return MSRPValue();
        std::u16string units = MSRPUTF16(object.text());
        if (name == "length") return MSRPValue::number(static_cast<double>(units.size()));
        if (MSRPIsArrayIndex(property)) {
            double index = property.doubleValueOrError(nullptr);
            if (index < static_cast<double>(units.size()))
                return MSRPValue::string(MSRPUTF8(std::u16string_view(&units[static_cast<size_t>(index)], 1)));
        }
    }
    return MSRPValue();
}

MSRP_HANDLER(writeProperty) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    const MSRPValue& object = arguments[0];
    const MSRPValue& property = arguments[1];
    const MSRPValue& value = arguments[2];
    if (object.isUndefined() || object.isNull()) return execution.fail(MSRPErrorCode::kPropertyOfNothing);
    if (MSRPArrayValue* array = object.array()) {
        array->setValue(value, property, execution.errorSlot());
        return execution.failed() ? MSRPValue() : value;
    }
    if (MSRPObjectValue* members = object.trackedObject()) {
        MSRPText name = property.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        members->setValue(value, name);
    }
    return value;
}

MSRP_HANDLER(typeName) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    switch (arguments[0].kind()) {
        case MSRPValueKind::Boolean: return MSRPValue::string("boolean");
        case MSRPValueKind::Function: return MSRPValue::string("function");
        case MSRPValueKind::Number: return MSRPValue::string("number");
        case MSRPValueKind::String: return MSRPValue::string("string");
        case MSRPValueKind::Undefined: return MSRPValue::string("undefined");
        default: return MSRPValue::string("object");
    }
}

MSRP_HANDLER(undefinedValue) {
    (void)execution;
    (void)arguments;
    (void)scope;
    return MSRPValue();
}

MSRP_HANDLER(nullValue) {
    (void)execution;
    (void)arguments;
    (void)scope;
    return MSRPValue::null();
}

}  // namespace MSRPVariableCommands
