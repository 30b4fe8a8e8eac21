#pragma once
// Runs programs written for the assembler and describes their results.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/messages/MSRPBMessages.h"

// The time guard of a test that counts instead of timing: it only ends a run
// that loops for ever (loads of many values take seconds under the
// sanitizers on a slow core).
inline constexpr std::chrono::minutes kCountGuard{5};

// The CPU time this thread has used, in seconds: what a run on it costs,
// however many other processes share its core (a wall clock would count
// their turns too).
inline double threadCpuSeconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// A run's CPU time in units of what an empty loop costs to spend the
// default instruction budget on this thread, the loop measured beside the
// run, before and after it, and the larger taken: a machine that other work
// crowds makes both dearer at once (its caches and memory are shared, not
// only its cores), so their ratio holds where a figure in seconds would not.
class CpuBesideTheLoop {
  public:
    CpuBesideTheLoop() : before_(emptyLoopSeconds()), start_(threadCpuSeconds()) {}
    // Ends the measurement: the run's time in loops.
    double loops() {
        const double cost = threadCpuSeconds() - start_;
        loop_ = std::max(before_, emptyLoopSeconds());
        seconds_ = cost;
        return cost / std::max(loop_, 1e-6);
    }
    double seconds() const { return seconds_; }
    double loopSeconds() const { return loop_; }

  private:
    static double emptyLoopSeconds();
    double before_;
    double start_;
    double loop_ = 0;
    double seconds_ = 0;
};

struct ProgramOutcome {
    std::string result;  // describeValue of the last value; "" on an error
    int error = 0;       // the interpreter's error code, 0 for none
    int stop = 0;        // the bound that stopped the run (18 to 21; the error is 18), 0 for none
};

// A readable form: numbers and texts as programs print them ("..." around
// texts), [a,b] for arrays, {k:v} for maps, <break>, <return v>, <hole>.
std::string describeValue(const MSRPValue& value);
// Assembles and runs `program` in `runtime` (a fresh runtime when none).
ProgramOutcome runProgram(std::string_view program, MSRPRuntime* runtime = nullptr);
// The value of the last statement, for tests that look at it directly.
MSRPValue evaluateProgram(std::string_view program, MSRPRuntime& runtime, int* error = nullptr);
// An editing program: `top`, then one edit callback of priority 1 whose
// statements are `body` (the event is $e). Empty, with a test failure, when
// it does not assemble.
MSRPBProgram callbackProgram(const std::string& top, const std::string& body);
