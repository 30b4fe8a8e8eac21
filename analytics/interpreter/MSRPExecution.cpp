#include "analytics/interpreter/MSRPExecution.h"

#include <algorithm>

bool MSRPExecution::passCheckpoint() {
    if (instructionCount >= instructionBudget) {
        fail(MSRPErrorCode::kInstructionBudget);
        return false;
    }
    return checkClock();
}

bool MSRPExecution::checkClock() {
    const Clock::rep stop = stopAt.load(std::memory_order_relaxed);
    const Clock::time_point limit = std::min(deadline, runDeadline);
    if (limit != Clock::time_point::max() || stop != std::numeric_limits<Clock::rep>::max()) {
        const Clock::time_point now = Clock::now();
        // The end's stop is named first: whatever else has passed, the
        // process is ending.
        if (now.time_since_epoch().count() >= stop) {
            fail(MSRPErrorCode::kApplicationEnd);
            return false;
        }
        if (now >= limit) {
            fail(runDeadline < deadline ? MSRPErrorCode::kRunLimit : MSRPErrorCode::kTimeLimit);
            return false;
        }
    }
    checkpoint = instructionBudget - instructionCount > kClockInterval ? instructionCount + kClockInterval
                                                                       : instructionBudget;
    return true;
}

bool MSRPExecution::passCharge() {
    if (MSRPMemory::exceeded()) {
        fail(MSRPErrorCode::kMemoryLimit);
        return false;
    }
    if (instructionCount < checkpoint) return true;
    return checkClock();
}

namespace MSRPWork {

bool charge(int64_t bytes) { return !tExecution || tExecution->charge(bytes); }

bool chargeConversion(int64_t bytes) {
    return !tExecution || tExecution->chargeConversion(static_cast<size_t>(bytes > 0 ? bytes : 0));
}

bool stopped() { return tExecution && tExecution->failed(); }

}  // namespace MSRPWork
