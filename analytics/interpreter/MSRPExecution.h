#pragma once
// The state of one running program that is the interpreter's own and never a
// program binding: the instruction count and budget, the nesting depth and
// its limit, the object manager that tracks new values, and the first error.
// A program can neither read nor change any of it.

#include <cstdint>

#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPObjectManager;

struct MSRPExecution {
    static constexpr int64_t kDefaultInstructionBudget = 1'000'000;
    // Each level of evaluation takes a few hundred bytes of native stack (a
    // few kilobytes under the sanitizers); this many stay far inside the
    // smallest worker stack.
    static constexpr int kDefaultDepthLimit = 1'000;

    MSRPObjectManager* objectManager = nullptr;
    int64_t instructionCount = 0;
    int64_t instructionBudget = kDefaultInstructionBudget;
    int depth = 0;
    int depthLimit = kDefaultDepthLimit;
    // The first error of the run (a code of MSRPErrorCode); once set, every
    // evaluation answers undefined until the run returns.
    int error = 0;

    int* errorSlot() { return &error; }
    bool failed() const { return error != 0; }
    MSRPValue fail(int code) {
        MSRPSetError(&error, code);
        return MSRPValue();
    }
};
