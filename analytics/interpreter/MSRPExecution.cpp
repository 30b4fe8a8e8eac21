#include "analytics/interpreter/MSRPExecution.h"

bool MSRPExecution::passCheckpoint() {
    if (instructionCount >= instructionBudget) {
        fail(MSRPErrorCode::kInstructionBudget);
        return false;
    }
    return checkClock();
}

bool MSRPExecution::checkClock() {
    if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
        fail(MSRPErrorCode::kTimeLimit);
        return false;
    }
    checkpoint = instructionBudget - instructionCount > kClockInterval ? instructionCount + kClockInterval
                                                                       : instructionBudget;
    return true;
}
