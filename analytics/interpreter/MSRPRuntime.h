#pragma once
// One program's interpreter: its scopes (the initial scope and, below it, the
// global scope where the top level runs), its object manager, and the
// execution state that bounds a run (instructions, nesting depth, memory).

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analytics/interpreter/MSRPDynamicProvider.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/interpreter/MSRPScope.h"
#include "analytics/messages/MSRPBMessages.h"

class MSRError;
class MSRPFunctionValue;

class MSRPRuntime {
  public:
    MSRPRuntime();
    ~MSRPRuntime();
    MSRPRuntime(const MSRPRuntime&) = delete;
    MSRPRuntime& operator=(const MSRPRuntime&) = delete;

    // The interpreter version reported to the configuration server.
    static int64_t runtimeVersion() { return 0; }

    // Converts and runs each entity in the global scope; the last value
    // (undefined for none). A failure gives undefined and the error
    // (MSRPErrorDomain and its code).
    MSRPValue executeStatements(const std::vector<MSRPBRuntimeEntity>& entities, MSRError* error);
    // The same for statements already converted.
    MSRPValue executeStatementValues(std::span<const MSRPValue> statements, MSRError* error);
    // Calls a function from the host with evaluated arguments.
    MSRPValue invokeFunction(MSRPFunctionValue& function, std::span<const MSRPValue> arguments, MSRError* error);

    // A new child of the global scope.
    MSRPRef<MSRPScope> getRunScope() { return globalScope_->createChildScope(); }

    // Instructions counted since the last reset.
    int64_t getInstructionCount() const { return execution_.instructionCount; }
    void resetInstructionCount() { execution_.instructionCount = 0; }
    void setInstructionBudget(int64_t budget) { execution_.instructionBudget = budget; }
    void setDepthLimit(int depth) { execution_.depthLimit = depth; }
    // A run may add at most `bytes` of live interpreter values.
    static constexpr int64_t kDefaultMemoryAllowance = int64_t{64} << 20;
    void setMemoryLimit(int64_t bytes) { memoryLimit_ = bytes; }

    MSRPScope& initialScope() { return *initScope_; }
    MSRPScope& globalScope() { return *globalScope_; }
    MSRPObjectManager& objectManager() { return *objectManager_; }
    void addGarbageCollectionRoot(const MSRPGarbageCollectionRoot* root) { objectManager_->addRoot(root); }
    void removeGarbageCollectionRoot(const MSRPGarbageCollectionRoot* root) { objectManager_->removeRoot(root); }
    void collectGarbage() { objectManager_->collectGarbage(); }
    MSRPExecution& execution() { return execution_; }
    // The modules `require` makes; "internal.platform" is there from the start.
    MSRPDynamicProvider& moduleProvider() { return *moduleProvider_; }

  private:
    class RunGuard;
    bool finish(MSRError* error);

    // Declared first so that it outlives the scopes and their values.
    std::unique_ptr<MSRPObjectManager> objectManager_;
    // Before the scopes: `require`, bound in the initial scope, reads it.
    std::unique_ptr<MSRPDynamicProvider> moduleProvider_;
    MSRPRef<MSRPScope> initScope_;
    MSRPRef<MSRPScope> globalScope_;
    MSRPExecution execution_;
    int64_t memoryLimit_;
    bool running_ = false;
};
