#include "analytics/interpreter/MSRPRuntime.h"

#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPHostModules.h"
#include "analytics/interpreter/MSRPMethodEvaluators.h"
#include "analytics/interpreter/MSRPRequire.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/support/MSRError.h"

// Applies the runtime's memory limit for one run and clears the previous
// run's error.
class MSRPRuntime::RunGuard {
  public:
    explicit RunGuard(MSRPRuntime& runtime)
        : runtime_(runtime),
          nested_(runtime.running_),
          previousLimit_(MSRPMemory::limit()),
          previousCount_(MSRPWork::tInstructionCount) {
        // A run started from inside a run (a host function calling back)
        // shares its bounds and its error.
        if (nested_) return;
        runtime.running_ = true;
        MSRPWork::tInstructionCount = &runtime.execution_.instructionCount;
        // The allowance counts from what is live now, so that values another
        // runtime left on this thread do not count against this run.
        MSRPMemory::setLimit(MSRPMemory::used() + runtime.memoryLimit_);
        runtime.execution_.error = 0;
        runtime.execution_.depth = 0;
    }
    ~RunGuard() {
        if (nested_) return;
        runtime_.running_ = false;
        MSRPMemory::setLimit(previousLimit_);
        MSRPWork::tInstructionCount = previousCount_;
    }

  private:
    MSRPRuntime& runtime_;
    bool nested_;
    int64_t previousLimit_;
    int64_t* previousCount_;
};

MSRPRuntime::MSRPRuntime()
    : objectManager_(std::make_unique<MSRPObjectManager>()),
      moduleProvider_(std::make_unique<MSRPDynamicProvider>()),
      initScope_(MSRPScope::makeScope()),
      globalScope_(initScope_->createChildScope()),
      memoryLimit_(kDefaultMemoryAllowance) {
    initScope_->setObjectManager(objectManager_.get());
    objectManager_->addRoot(initScope_.get());
    objectManager_->addRoot(globalScope_.get());
    execution_.objectManager = objectManager_.get();
    MSRPInstallMethodEvaluators();
    moduleProvider_->setModuleCreator(MSRPMakePlatformModule, "internal.platform");
    initScope_->addValue(MSRPValue(MSRPRef<MSRPRequire>::make(moduleProvider_.get())), "require");
}

MSRPRuntime::~MSRPRuntime() {
    objectManager_->removeRoot(initScope_.get());
    objectManager_->removeRoot(globalScope_.get());
}

bool MSRPRuntime::finish(MSRError* error) {
    if (!execution_.failed()) return true;
    if (error) *error = MSRError(MSRPErrorDomain, execution_.error);
    return false;
}

MSRPValue MSRPRuntime::executeStatements(const std::vector<MSRPBRuntimeEntity>& entities, MSRError* error) {
    RunGuard guard(*this);
    MSRPValue result;
    for (const MSRPBRuntimeEntity& entity : entities) {
        MSRPValue statement = MSRPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, execution_.errorSlot());
        if (!execution_.failed()) result = MSRPEvaluator::evaluateStatement(execution_, statement, *globalScope_);
        if (!finish(error)) return MSRPValue();
    }
    return result;
}

MSRPValue MSRPRuntime::executeStatementValues(std::span<const MSRPValue> statements, MSRError* error) {
    RunGuard guard(*this);
    MSRPValue result;
    for (const MSRPValue& statement : statements) {
        result = MSRPEvaluator::evaluateStatement(execution_, statement, *globalScope_);
        if (!finish(error)) return MSRPValue();
    }
    return result;
}

MSRPValue MSRPRuntime::invokeFunction(MSRPFunctionValue& function, std::span<const MSRPValue> arguments,
                                      MSRError* error) {
    RunGuard guard(*this);
    MSRPValue result = function.invokeWithEvaluatedArguments(execution_, arguments);
    if (!finish(error)) return MSRPValue();
    return result;
}
