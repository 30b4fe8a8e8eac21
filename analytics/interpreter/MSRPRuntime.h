#pragma once
// One program's interpreter: its scopes (the initial scope and, below it, the
// global scope where the top level runs), its object manager, and the
// execution state that bounds a run (instructions, time, nesting depth), the
// memory account of all its values and its compiled patterns.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analytics/interpreter/MSRPDynamicProvider.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPPatternCache.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/interpreter/MSRPScope.h"
#include "analytics/messages/MSRPBMessageView.h"
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
    // The same for the entities of the repeated field `index` of `message`,
    // read in place.
    MSRPValue executeStatements(MSRPBMessageView message, uint32_t index, MSRError* error);
    // One entity, read in place.
    MSRPValue executeStatement(MSRPBMessageView entity, MSRError* error);
    // The same for statements already converted.
    MSRPValue executeStatementValues(std::span<const MSRPValue> statements, MSRError* error);
    // Calls a function from the host with evaluated arguments.
    MSRPValue invokeFunction(MSRPFunctionValue& function, std::span<const MSRPValue> arguments, MSRError* error);
    // The same for a callback: the call first passes the charge point with
    // `bytes` of work the host did for it, and the clock and the end's stop
    // are looked at, whatever the callback's body.
    MSRPValue invokeCallback(MSRPFunctionValue& function, std::span<const MSRPValue> arguments, int64_t bytes,
                             MSRError* error);

    // A new child of the global scope.
    MSRPRef<MSRPScope> getRunScope() { return globalScope_->createChildScope(); }

    // Instructions counted since the last reset. A reset also restarts the
    // time guard.
    int64_t getInstructionCount() const { return execution_.instructionCount; }
    void resetInstructionCount() {
        execution_.instructionCount = 0;
        execution_.logCalls = 0;
        startTimeGuard();
    }
    void setInstructionBudget(int64_t budget) {
        execution_.instructionBudget = budget;
        execution_.checkpoint = 0;
    }
    void setDepthLimit(int depth) { execution_.depthLimit = depth; }
    // The ceiling of everything this runtime's values hold, whichever run
    // made them (read as a run starts).
    static constexpr int64_t kDefaultMemoryAllowance = int64_t{64} << 20;
    void setMemoryLimit(int64_t bytes) { memory_.limit = bytes; }
    MSRPMemory::Account& memoryAccount() { return memory_; }
    // Runs stop once this long has passed since the guard started (the last
    // reset, or startTimeGuard); 0 or less for no guard (the default).
    void setTimeLimit(std::chrono::nanoseconds limit) {
        timeLimit_ = limit;
        startTimeGuard();
    }
    void startTimeGuard() {
        execution_.deadline = timeLimit_.count() > 0 ? MSRPExecution::Clock::now() + timeLimit_
                                                     : MSRPExecution::Clock::time_point::max();
        execution_.runDeadline = MSRPExecution::Clock::time_point::max();
        execution_.checkpoint = 0;
    }
    // Brings the time guard closer: runs stop once `limit` from now has
    // passed (kRunLimit), unless the guard ends earlier. Until the next reset.
    void shortenTimeGuard(std::chrono::nanoseconds limit) {
        execution_.runDeadline = std::min(execution_.runDeadline, MSRPExecution::Clock::now() + limit);
        execution_.checkpoint = 0;
    }
    // From any thread: every run stops once `limit` from now has passed, the
    // one under way included (at its next look at the clock), and later ones
    // at once. An earlier stop already set stays.
    void stopRunsWithin(std::chrono::nanoseconds limit) {
        const MSRPExecution::Clock::rep at = (MSRPExecution::Clock::now() + limit).time_since_epoch().count();
        MSRPExecution::Clock::rep current = execution_.stopAt.load();
        while (at < current && !execution_.stopAt.compare_exchange_weak(current, at)) {
        }
    }
    // The guard that stopped the last failed run (an internal code from 18
    // to 23; the run's error reported 18), 0 when none did.
    int lastStop() const { return lastStop_; }
    // A short text for the log: "instruction budget", "time limit", ...
    static const char* stopDescription(int code);
    MSRPPatternCache& patterns() { return *patterns_; }

    MSRPScope& initialScope() { return *initScope_; }
    MSRPScope& globalScope() { return *globalScope_; }
    MSRPObjectManager& objectManager() { return *objectManager_; }
    void addGarbageCollectionRoot(const MSRPGarbageCollectionRoot* root) { objectManager_->addRoot(root); }
    void removeGarbageCollectionRoot(const MSRPGarbageCollectionRoot* root) { objectManager_->removeRoot(root); }
    // A whole collection, now and uncharged.
    void collectGarbage() {
        MSRPMemory::UseAccount account(memory_);
        objectManager_->collectGarbage();
    }
    // The collection after a run, when it is due: charged to the run's
    // count as it walks, within the run's bounds (its budget, time guard
    // and the end's stop). False when they stopped it: it is owed to the
    // next call. The run's own outcome (lastStop) is left as it was.
    bool collectGarbageWhenDue();
    // The same, due or not.
    bool collectGarbageWithinBudget();
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
    MSRPMemory::Account memory_;
    std::unique_ptr<MSRPPatternCache> patterns_;
    std::chrono::nanoseconds timeLimit_{0};
    int lastStop_ = 0;
    bool running_ = false;
};
