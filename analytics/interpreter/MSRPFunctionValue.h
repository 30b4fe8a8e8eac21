#pragma once
// A function: a name, parameter names, unevaluated body statements and the
// scope it closes over. Native functions derive from it and replace the two
// invoke operations; they are made outside the object manager.

#include <span>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPScope.h"

struct MSRPExecution;

class MSRPFunctionValue : public MSRPObjectValue {
  public:
    MSRPFunctionValue(std::string functionName, MSRPParameterNames parameterNames,
                      std::vector<MSRPValue> statements, MSRPRef<MSRPScope> definingScope);
    ~MSRPFunctionValue() override;

    const std::string& functionName() const { return functionName_; }
    const MSRPParameterNames& parameterNames() const { return parameters_; }
    const std::vector<MSRPValue>& statements() const { return statements_; }
    MSRPScope* definingScope() const { return definingScope_.get(); }

    // Evaluates the argument statements in the caller's scope, then calls.
    virtual MSRPValue invokeWithArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                          MSRPScope& scope);
    // Binds the parameters in a new child of the defining scope and runs the
    // body there; a return marker gives its data.
    virtual MSRPValue invokeWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments);

    void markChildren(MSRPMarker& marker) const override;
    void sweep() override;

  private:
    std::string functionName_;
    static constexpr size_t kUnchargedBindings = 16;
    static constexpr size_t kUnchargedBindingBytes = 1024;

    MSRPParameterNames parameters_;
    // No name repeats among the parameters: each binds without a search,
    // with its MSRPPropertyMap::leadingKey worked out once.
    bool distinctParameters_;
    MSRPMemory::List<uint64_t> parameterKeys_;
    // The bytes of all the names, which every call copies into its scope.
    size_t parameterBytes_ = 0;
    std::vector<MSRPValue> statements_;
    MSRPRef<MSRPScope> definingScope_;
};

inline MSRPFunctionValue* MSRPValue::function() const {
    return isFunction() ? static_cast<MSRPFunctionValue*>(object_) : nullptr;
}
