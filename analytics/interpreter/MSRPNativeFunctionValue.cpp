#include "analytics/interpreter/MSRPNativeFunctionValue.h"

#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"

MSRPNativeFunctionValue::MSRPNativeFunctionValue(std::string name, Body body, bool evaluatesArguments)
    : MSRPFunctionValue(MSRPText::make(name), {}, {}, MSRPScope::makeScope()),
      body_(std::move(body)),
      evaluatesArguments_(evaluatesArguments) {}

MSRPRef<MSRPNativeFunctionValue> MSRPNativeFunctionValue::make(std::string name, Body body, bool evaluatesArguments) {
    return MSRPRef<MSRPNativeFunctionValue>(
        new MSRPNativeFunctionValue(std::move(name), std::move(body), evaluatesArguments));
}

MSRPValue MSRPNativeFunctionValue::invokeWithArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                                       MSRPScope& scope) {
    if (execution.failed()) return MSRPValue();
    if (!evaluatesArguments_) return body_ ? body_(execution, {}) : MSRPValue();
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, arguments, scope);
    if (execution.failed()) return MSRPValue();
    return invokeWithEvaluatedArguments(execution, evaluated);
}

MSRPValue MSRPNativeFunctionValue::invokeWithEvaluatedArguments(MSRPExecution& execution,
                                                                std::span<const MSRPValue> arguments) {
    if (execution.failed() || !body_) return MSRPValue();
    if (!evaluatesArguments_) return body_(execution, {});
    return body_(execution, arguments);
}

void MSRPNativeFunctionValue::addMember(const std::string& name, Body body, bool evaluatesArguments) {
    setValue(MSRPValue(make(name, std::move(body), evaluatesArguments)), name);
}
