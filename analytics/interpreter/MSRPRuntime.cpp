#include "analytics/interpreter/MSRPRuntime.h"

#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPHostModules.h"
#include "analytics/interpreter/MSRPMethodEvaluators.h"
#include "analytics/interpreter/MSRPRequire.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/support/MSRError.h"

// Makes the runtime's memory account the one in use for one run and clears
// the previous run's error.
class MSRPRuntime::RunGuard {
  public:
    explicit RunGuard(MSRPRuntime& runtime)
        : runtime_(runtime),
          nested_(runtime.running_),
          account_(runtime.memory_),
          previousExecution_(MSRPWork::tExecution) {
        // A run started from inside a run (a host function calling back)
        // shares its bounds and its error.
        if (nested_) return;
        runtime.running_ = true;
        MSRPWork::tExecution = &runtime.execution_;
        runtime.execution_.error = 0;
        runtime.execution_.depth = 0;
    }
    ~RunGuard() {
        if (nested_) return;
        runtime_.running_ = false;
        MSRPWork::tExecution = previousExecution_;
    }

  private:
    MSRPRuntime& runtime_;
    bool nested_;
    MSRPMemory::UseAccount account_;
    MSRPExecution* previousExecution_;
};

MSRPRuntime::MSRPRuntime()
    : objectManager_(std::make_unique<MSRPObjectManager>()),
      moduleProvider_(std::make_unique<MSRPDynamicProvider>()),
      initScope_(MSRPScope::makeScope()),
      globalScope_(initScope_->createChildScope()),
      patterns_(std::make_unique<MSRPPatternCache>()) {
    memory_.limit = kDefaultMemoryAllowance;
    initScope_->setObjectManager(objectManager_.get());
    objectManager_->addRoot(initScope_.get());
    objectManager_->addRoot(globalScope_.get());
    execution_.objectManager = objectManager_.get();
    execution_.patterns = patterns_.get();
    MSRPInstallMethodEvaluators();
    moduleProvider_->setModuleCreator(MSRPMakePlatformModule, "internal.platform");
    initScope_->addValue(MSRPValue(MSRPRef<MSRPRequire>::make(moduleProvider_.get())), "require");
}

MSRPRuntime::~MSRPRuntime() {
    objectManager_->removeRoot(initScope_.get());
    objectManager_->removeRoot(globalScope_.get());
}

bool MSRPRuntime::collectGarbageWhenDue() {
    RunGuard guard(*this);
    return objectManager_->collectGarbageWhenDue(execution_);
}

bool MSRPRuntime::collectGarbageWithinBudget() {
    RunGuard guard(*this);
    return objectManager_->collectGarbageWithin(execution_);
}

bool MSRPRuntime::finish(MSRError* error) {
    lastStop_ = 0;
    if (!execution_.failed()) return true;
    int code = execution_.error;
    if (MSRPErrorCode::isStop(code)) {
        lastStop_ = code;
        code = MSRPErrorCode::kInstructionBudget;
    }
    if (error) *error = MSRError(MSRPErrorDomain, code);
    return false;
}

const char* MSRPRuntime::stopDescription(int code) {
    switch (code) {
        case MSRPErrorCode::kInstructionBudget: return "instruction budget";
        case MSRPErrorCode::kDepthLimit: return "nesting depth";
        case MSRPErrorCode::kMemoryLimit: return "memory ceiling";
        case MSRPErrorCode::kTimeLimit: return "time limit";
        case MSRPErrorCode::kApplicationEnd: return "application end";
        case MSRPErrorCode::kRunLimit: return "run limit";
        case MSRPErrorCode::kEventParameters: return "parameters of an event";
        case MSRPErrorCode::kFunctionParameters: return "parameters of a function";
        default: return "";
    }
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

MSRPValue MSRPRuntime::executeStatements(MSRPBMessageView message, uint32_t index, MSRError* error) {
    RunGuard guard(*this);
    MSRPValue result;
    message.forEachElement(index, [&](MSRPBMessageView entity) {
        MSRPValue statement = MSRPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, execution_.errorSlot());
        if (!execution_.failed()) result = MSRPEvaluator::evaluateStatement(execution_, statement, *globalScope_);
        return !execution_.failed();
    });
    if (!finish(error)) return MSRPValue();
    return result;
}

MSRPValue MSRPRuntime::executeStatement(MSRPBMessageView entity, MSRError* error) {
    RunGuard guard(*this);
    MSRPValue statement = MSRPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, execution_.errorSlot());
    MSRPValue result;
    if (!execution_.failed()) result = MSRPEvaluator::evaluateStatement(execution_, statement, *globalScope_);
    if (!finish(error)) return MSRPValue();
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

MSRPValue MSRPRuntime::invokeCallback(MSRPFunctionValue& function, std::span<const MSRPValue> arguments,
                                      int64_t bytes, MSRError* error) {
    RunGuard guard(*this);
    MSRPValue result;
    if (execution_.chargeBindings(arguments.size()) && execution_.charge(bytes) && execution_.checkClock())
        result = function.invokeWithEvaluatedArguments(execution_, arguments);
    if (!finish(error)) return MSRPValue();
    return result;
}
