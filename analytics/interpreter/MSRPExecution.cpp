#include "analytics/interpreter/MSRPExecution.h"

bool MSRPExecution::passCheckpoint() {
    if (instructionCount >= instructionBudget) {
        fail(MSRPErrorCode::kInstructionBudget);
        return false;
    }
    return checkClock();
}

bool MSRPExecution::checkClock() {
    const Clock::rep stop = stopAt.load(std::memory_order_relaxed);
    if (deadline != Clock::time_point::max() || stop != std::numeric_limits<Clock::rep>::max()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline || now.time_since_epoch().count() >= stop) {
            fail(MSRPErrorCode::kTimeLimit);
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
