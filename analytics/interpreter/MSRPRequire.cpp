#include "analytics/interpreter/MSRPRequire.h"

#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPObjectManager.h"

MSRPRequire::MSRPRequire(const MSRPDynamicProvider* provider)
    : MSRPFunctionValue(MSRPText::make("require"), {}, {}, MSRPScope::makeScope()), provider_(provider) {}

MSRPValue MSRPRequire::invokeWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments) {
    if (execution.failed()) return MSRPValue();
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (auto it = modules_.find(name); it != modules_.end()) return it->second;
    MSRPValue module = provider_ ? provider_->moduleForName(name, execution.errorSlot()) : MSRPValue();
    if (execution.failed() || module.isUndefined()) return MSRPValue();
    modules_.emplace(name, module);
    return module;
}

void MSRPRequire::markChildren(MSRPMarker& marker) const {
    MSRPFunctionValue::markChildren(marker);
    for (const auto& [name, module] : modules_) marker.markValue(module);
}
