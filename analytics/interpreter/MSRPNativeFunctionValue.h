#pragma once
// A function the host provides: made outside the object manager (never
// swept), with no parameters or body of its own, answering calls through a
// host callable. Module members are such functions stored in the module's
// property map, so that programs call them as methods.

#include <functional>
#include <span>
#include <string>

#include "analytics/interpreter/MSRPFunctionValue.h"

class MSRPNativeFunctionValue final : public MSRPFunctionValue {
  public:
    // Receives the evaluated arguments (or, for a function that ignores its
    // arguments, none), and reports failures on the execution.
    using Body = std::function<MSRPValue(MSRPExecution& execution, std::span<const MSRPValue> arguments)>;

    // `evaluatesArguments` false: the call's arguments are neither evaluated
    // nor handed over.
    static MSRPRef<MSRPNativeFunctionValue> make(std::string name, Body body, bool evaluatesArguments = true);

    MSRPValue invokeWithArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                  MSRPScope& scope) override;
    MSRPValue invokeWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments) override;

    // A member function reached as `module.name(...)`.
    void addMember(const std::string& name, Body body, bool evaluatesArguments = true);

  private:
    MSRPNativeFunctionValue(std::string name, Body body, bool evaluatesArguments);

    Body body_;
    bool evaluatesArguments_;
};
