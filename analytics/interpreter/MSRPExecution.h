#pragma once
// The state of one running program that is the interpreter's own and never a
// program binding: the instruction count and budget, the time guard, the
// nesting depth and its limit, the object manager that tracks new values, the
// compiled patterns, and the first error. A program can neither read nor
// change any of it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

#include "analytics/interpreter/MSRPRuntimeValue.h"

class MSRPObjectManager;
class MSRPPatternCache;

struct MSRPExecution {
    using Clock = std::chrono::steady_clock;
    static constexpr int64_t kDefaultInstructionBudget = 1'000'000;
    // Each level of evaluation takes a few hundred bytes of native stack (a
    // few kilobytes under the sanitizers); this many stay far inside the
    // smallest worker stack.
    static constexpr int kDefaultDepthLimit = 1'000;
    // The clock is read once per this many instructions: often enough that
    // the time guard holds within a few milliseconds, rarely enough that the
    // evaluation loop does not feel it.
    static constexpr int64_t kClockInterval = 4'096;

    MSRPObjectManager* objectManager = nullptr;
    MSRPPatternCache* patterns = nullptr;
    int64_t instructionCount = 0;
    int64_t instructionBudget = kDefaultInstructionBudget;
    // The count at which the next slow check runs (the budget, or earlier
    // for a look at the clock); 0 after every reset.
    int64_t checkpoint = 0;
    // Past it the run stops whatever its count: the last line behind the
    // budget, for work that no charge foresaw.
    Clock::time_point deadline = Clock::time_point::max();
    // Past it this run stops, when it comes before the deadline: a limit the
    // caller set for one run (kRunLimit).
    Clock::time_point runDeadline = Clock::time_point::max();
    // The same for every run from now on, set from any thread (the clock's
    // ticks; the largest value for none): what the end of the process uses
    // to stop a run under way.
    std::atomic<Clock::rep> stopAt{std::numeric_limits<Clock::rep>::max()};
    // Lines the program wrote through its logger since the last reset.
    int64_t logCalls = 0;
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

    // At the checkpoint: false (the run stopped) once the budget is spent or
    // the deadline passed, else the next checkpoint is set. Out of line, so
    // that the evaluation loop's inline count stays a compare and an add.
    bool passCheckpoint();
    bool checkClock();
    bool passCharge();
    // The charge point: charges work on `bytes` bytes (or elements counted
    // as the bytes of their handles), before it is done or while it is done
    // (MSRPWork::charge). False, with the run stopped, once the budget
    // cannot pay for it, the memory account is past its ceiling, the
    // deadline or the end's stop has passed: work charged before it starts
    // is then never started, work under way ends at its next charge.
    bool charge(int64_t bytes) {
        if (!addWork(bytes)) return false;
        if (instructionCount >= checkpoint || MSRPMemory::exceeded()) return passCharge();
        return true;
    }
    // The same for the collector's walk, which frees memory rather than
    // takes it: the memory account is not looked at.
    bool chargeWalk(int64_t bytes) {
        if (!addWork(bytes)) return false;
        return instructionCount < checkpoint || checkClock();
    }
    // Adds the instructions of work on `bytes` bytes to the count; false,
    // with the run stopped, when the run had stopped or the budget cannot
    // pay for them.
    bool addWork(int64_t bytes) {
        if (failed()) return false;
        const int64_t cost = bytes > 0 ? bytes / MSRPWork::kBytesPerInstruction : 0;
        if (cost > instructionBudget - instructionCount) {
            instructionCount = instructionBudget;
            fail(MSRPErrorCode::kInstructionBudget);
            return false;
        }
        instructionCount += cost;
        return true;
    }
    // The same for `count` elements of an array.
    bool chargeElements(size_t count) { return charge(static_cast<int64_t>(count * sizeof(MSRPValue))); }
    // Converting between UTF-8 and UTF-16 costs about a nanosecond a byte,
    // a quarter of an evaluation (interpreter_bench: BM_UTF16Copy).
    static constexpr int64_t kConversionBytesPerInstruction = 4;
    // The same for converting a text of `bytes` bytes.
    bool chargeConversion(size_t bytes) {
        return charge(static_cast<int64_t>(bytes) * MSRPWork::kBytesPerInstruction /
                      kConversionBytesPerInstruction);
    }
    // The same for binding `count` names (each shares its text with the
    // binding; an index grows): about two evaluations a binding.
    static constexpr int64_t kBindingInstructions = 2;
    bool chargeBindings(size_t count) {
        return charge(static_cast<int64_t>(count) * kBindingInstructions * MSRPWork::kBytesPerInstruction);
    }
    // Room for `bytes` more under the memory ceiling; false with the
    // memory error when there is none.
    bool reserve(int64_t bytes) {
        if (failed()) return false;
        if (MSRPMemory::fits(bytes)) return true;
        fail(MSRPErrorCode::kMemoryLimit);
        return false;
    }
};
