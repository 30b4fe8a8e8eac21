#pragma once
// A function: a name, parameter names, unevaluated body statements and the
// scope it closes over. Native functions derive from it and replace the two
// invoke operations; they are made outside the object manager.
//
// The name and the parameter names are the program's texts, shared; the
// list of body statements holds references to the program's statements and
// counts on the memory account like every list a program makes.

#include <span>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPObjectValue.h"
#include "analytics/interpreter/MSRPScope.h"

struct MSRPExecution;

class MSRPFunctionValue : public MSRPObjectValue {
  public:
    using Statements = MSRPMemory::List<MSRPValue>;
    // The most parameters one function may name (kFunctionParameters past
    // it): thousands of times what a rule takes.
    static constexpr size_t kMaxParameters = 10'000;
    MSRPFunctionValue(MSRPText functionName, MSRPParameterNames parameterNames, Statements statements,
                      MSRPRef<MSRPScope> definingScope);
    ~MSRPFunctionValue() override;

    const MSRPText& functionName() const { return functionName_; }
    const MSRPParameterNames& parameterNames() const { return parameters_; }
    std::span<const MSRPValue> statements() const { return statements_; }
    MSRPScope* definingScope() const { return definingScope_.get(); }

    // Evaluates the argument statements in the caller's scope, then calls.
    virtual MSRPValue invokeWithArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                          MSRPScope& scope);
    // Binds the parameters in a new child of the defining scope and runs the
    // body there; a return marker gives its data.
    virtual MSRPValue invokeWithEvaluatedArguments(MSRPExecution& execution, std::span<const MSRPValue> arguments);
    // The same for a call that a native loop makes (an array method's or a
    // replacement's callback): charged with its bindings before it runs,
    // whatever its body, so that a loop of empty calls is no free walk.
    MSRPValue invokeAsCallback(MSRPExecution& execution, std::span<const MSRPValue> arguments);

    void markChildren(MSRPMarker& marker) const override;
    void sweep() override;

  private:
    MSRPText functionName_;
    static constexpr size_t kUnchargedBindings = 16;

    MSRPParameterNames parameters_;
    // No name repeats among the parameters: each binds without a search,
    // with its MSRPPropertyMap::leadingKey worked out once.
    bool distinctParameters_;
    MSRPMemory::List<uint64_t> parameterKeys_;
    Statements statements_;
    MSRPRef<MSRPScope> definingScope_;
};

inline MSRPFunctionValue* MSRPValue::function() const {
    return isFunction() ? static_cast<MSRPFunctionValue*>(object_) : nullptr;
}
