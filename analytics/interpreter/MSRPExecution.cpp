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
