// The nesting depth limit at its exact end: the statement that would reach
// the limit is refused, the one just above it runs.

#include <gtest/gtest.h>

#include <string>

#include "analytics/interpreter/MSRPRuntime.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

// `levels` statements, each inside the one before: (add 1 (add 1 ... 1)),
// worth `levels` + 1.
std::string nestedAdditions(int levels) {
    std::string program;
    for (int i = 0; i < levels; ++i) program += "(add 1 ";
    program += "1";
    program += std::string(static_cast<size_t>(levels), ')');
    return program;
}

// With the limit at N, N statements nested run and N + 1 do not (a program
// of nested statements decodes up to 200 levels, below the default limit,
// which a recursion test reaches). A run stopped by the limit leaves the
// runtime usable.
TEST(DepthLimitTest, NestingExactlyToTheLimitFailsAndOneLevelLessRuns) {
    for (const int limit : {1, 2, 7, 100}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        MSRPRuntime runtime;
        runtime.setDepthLimit(limit);
        ProgramOutcome within = runProgram(nestedAdditions(limit), &runtime);
        EXPECT_EQ(within.error, 0);
        EXPECT_EQ(within.result, std::to_string(limit + 1));
        runtime.resetInstructionCount();
        ProgramOutcome past = runProgram(nestedAdditions(limit + 1), &runtime);
        EXPECT_EQ(past.error, MSRPErrorCode::kInstructionBudget);
        EXPECT_EQ(past.stop, MSRPErrorCode::kDepthLimit);
        EXPECT_EQ(runtime.execution().depth, 0);
        runtime.resetInstructionCount();
        EXPECT_EQ(runProgram(nestedAdditions(limit), &runtime).result, std::to_string(limit + 1));
    }
}

}  // namespace
