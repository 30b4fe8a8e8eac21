#include "analytics/interpreter/MSRPFunctionValue.h"

#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"

MSRPFunctionValue::MSRPFunctionValue(std::string functionName, std::vector<std::string> parameterNames,
                                     std::vector<MSRPValue> statements, MSRPRef<MSRPScope> definingScope)
    : MSRPObjectValue(MSRPValueKind::Function),
      functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {
    distinctParameters_ = true;
    for (const std::string& parameter : parameters_)
        parameterKeys_.push_back(MSRPPropertyMap::leadingKey(parameter));
    for (size_t i = 0; i < parameters_.size() && distinctParameters_; ++i)
        for (size_t j = 0; j < i; ++j)
            if (parameters_[j] == parameters_[i]) distinctParameters_ = false;
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
    MSRPValue result = MSRPEvaluator::executeStatements(execution, statements_, *callScope);
    if (execution.failed()) return MSRPValue();
    if (const MSRPControlValue* control = result.control(); control && control->type() == MSRPControlValue::Type::Return)
        return control->data();
    return result;
}

void MSRPFunctionValue::markChildren(MSRPMarker& marker) const {
    MSRPObjectValue::markChildren(marker);
    for (const MSRPValue& statement : statements_) marker.markValue(statement);
    marker.markScope(definingScope_.get());
}

void MSRPFunctionValue::sweep() {
    std::vector<MSRPValue> statements = std::exchange(statements_, {});
    MSRPRef<MSRPScope> scope = std::exchange(definingScope_, {});
    MSRPObjectValue::sweep();
}
