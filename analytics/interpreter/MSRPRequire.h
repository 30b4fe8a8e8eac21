#pragma once
// `require(name)`: the program's one way to the host. Each module is made
// once per runtime and the same value is answered afterwards.

#include <map>
#include <string>

#include "analytics/interpreter/MSRPDynamicProvider.h"
#include "analytics/interpreter/MSRPFunctionValue.h"

class MSRPRequire final : public MSRPFunctionValue {
  public:
    explicit MSRPRequire(const MSRPDynamicProvider* provider);

    MSRPValue invokeWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments) override;

    void markChildren(MSRPMarker& marker) const override;

  private:
    const MSRPDynamicProvider* provider_;
    // By the program's texts that named them.
    std::map<MSRPText, MSRPValue, MSRPTextLess> modules_;
};
