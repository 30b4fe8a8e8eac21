#include "analytics/interpreter/MSRPFunctionValue.h"

#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"

MSRPFunctionValue::MSRPFunctionValue(MSRPText functionName, MSRPParameterNames parameterNames,
                                     Statements statements, MSRPRef<MSRPScope> definingScope)
    : MSRPObjectValue(MSRPValueKind::Function),
      functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {
    parameterKeys_.reserve(parameters_.size());
    for (const MSRPText& parameter : parameters_) parameterKeys_.push_back(MSRPPropertyMap::leadingKey(parameter));
    // Whether a name repeats: the names bound in a map of their own, which
    // charges its searches as a scope's do (the caller charged reading the
    // names). A list whose check a stop cut short binds as one with repeats.
    MSRPPropertyMap seen;
    seen.reserve(parameters_.size());
    distinctParameters_ = true;
    const MSRPValue bound;
    for (const MSRPText& parameter : parameters_) {
        const size_t before = seen.count();
        seen.setValue(bound, parameter);
        if (MSRPWork::stopped() || seen.count() == before) {
            distinctParameters_ = false;
            break;
        }
    }
    MSRPMemory::add(static_cast<int64_t>(sizeof(*this)));
}

MSRPFunctionValue::~MSRPFunctionValue() { MSRPMemory::add(-static_cast<int64_t>(sizeof(*this))); }

MSRPValue MSRPFunctionValue::invokeWithArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                                 MSRPScope& scope) {
    return MSRPWithEvaluatedArguments(execution, arguments, scope, [&](std::span<const MSRPValue> evaluated) {
        return invokeWithEvaluatedArguments(execution, evaluated);
    });
}

MSRPValue MSRPFunctionValue::invokeWithEvaluatedArguments(MSRPExecution& execution,
                                                          std::span<const MSRPValue> arguments) {
    if (execution.failed()) return MSRPValue();
    MSRPRef<MSRPFunctionValue> hold(this);
    // Binding shares every name with the new scope: charged for long lists
    // (a short list is paid for by the call's evaluation).
    if (parameters_.size() > kUnchargedBindings && !execution.chargeBindings(parameters_.size()))
        return MSRPValue();
    MSRPRef<MSRPScope> callScope = MSRPScope::makeScope(definingScope_, parameters_.size() + 2);
    // A later parameter of the same name takes the place of an earlier one.
    const MSRPValue missing;
    for (size_t i = 0; i < parameters_.size(); ++i) {
        const MSRPValue& argument = i < arguments.size() ? arguments[i] : missing;
        if (distinctParameters_)
            callScope->addAbsentValue(argument, parameters_[i], parameterKeys_[i]);
        else
            callScope->addValue(argument, parameters_[i]);
    }
    std::span<const MSRPValue> body(statements_);
    const MSRPStatementValue* last = body.empty() ? nullptr : body.back().statement();
    const bool closingReturn = last && last->shape() == MSRPStatementValue::Shape::Return;
    MSRPValue result =
        MSRPEvaluator::executeStatements(execution, closingReturn ? body.first(body.size() - 1) : body, *callScope);
    if (execution.failed()) return MSRPValue();
    // Without an earlier control value, a body ending in `return` gives what
    // that return evaluates to (a control value too, as it is).
    if (closingReturn && !result.isControl()) return MSRPEvaluator::evaluateClosingReturn(execution, *last, *callScope);
    if (const MSRPControlValue* control = result.control(); control && control->type() == MSRPControlValue::Type::Return)
        return control->data();
    return result;
}

MSRPValue MSRPFunctionValue::invokeAsCallback(MSRPExecution& execution, std::span<const MSRPValue> arguments) {
    if (!execution.chargeBindings(arguments.size())) return MSRPValue();
    return invokeWithEvaluatedArguments(execution, arguments);
}

void MSRPFunctionValue::markChildren(MSRPMarker& marker) const {
    MSRPObjectValue::markChildren(marker);
    for (const MSRPValue& statement : statements_) marker.markValue(statement);
    marker.markScope(definingScope_.get());
}

void MSRPFunctionValue::sweep() {
    Statements statements = std::exchange(statements_, {});
    MSRPRef<MSRPScope> scope = std::exchange(definingScope_, {});
    MSRPObjectValue::sweep();
}
