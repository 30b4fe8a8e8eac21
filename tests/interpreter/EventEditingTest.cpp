// The engine's event editor over the interpreter: loading runs the top level
// and reports its errors in the two domains; events pass unedited while no
// callback can be registered, and each event has the whole budget.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <utility>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

MSRPBProgram program(const char* text) {
    std::string error;
    std::optional<MSRPBProgram> assembled = ProgramAssembler::assembleProgram(text, &error);
    EXPECT_TRUE(assembled) << error;
    return assembled ? *assembled : MSRPBProgram();
}

TEST(EventEditing, LoadingReportsInterpreterAndEditingErrors) {
    struct Case {
        const char* text;
        const char* domain;
        int code;
        const char* reason = "";
    } cases[] = {
        {R"((function "rule" (array "r") (return $r)) 1)", nullptr, 0},
        {R"((assign "undeclared" 1))", MSRPErrorDomain, MSRPErrorCode::kUndeclaredVariable},
        {"(loop true 0 false (list))", MSRPErrorDomain, MSRPErrorCode::kInstructionBudget, "instruction budget"},
        // Every bound of the interpreter's own stops a program with the
        // budget's code; the editor says which bound it was.
        {R"((function "f" (array) (return (f))) (f))", MSRPErrorDomain, MSRPErrorCode::kInstructionBudget,
         "nesting depth"},
        {R"((let "a") (assign "a" (array)) (set $a "length" 5000000))", MSRPErrorDomain,
         MSRPErrorCode::kInstructionBudget, "memory ceiling"},
        {R"((let "a") (assign "a" (array)) (set $a 1e15 1))", MSRPErrorDomain, MSRPErrorCode::kInvalidLength},
        {"(return 1)", MSRPEditingErrorDomain, MSRPInterpreterEventEditing::kEditingErrorControlValue},
        {"1 (break)", MSRPEditingErrorDomain, MSRPInterpreterEventEditing::kEditingErrorControlValue},
    };
    for (const Case& c : cases) {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        EXPECT_EQ(editing.loadProgram(program(c.text), &error), c.domain == nullptr) << c.text;
        EXPECT_EQ(error.code(), c.code) << c.text;
        if (c.domain) {
            EXPECT_EQ(error.domain(), c.domain) << c.text;
        }
        EXPECT_EQ(editing.failureReason(), c.reason) << c.text;
    }
}

TEST(EventEditing, EventsPassUneditedWithTheWholeBudget) {
    MSRPInterpreterEventEditing editing;
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(program("(let \"x\") (assign \"x\" (object)) 1"), &error));
    for (int i = 0; i < 3; ++i) {
        MSRPEvent event("purchase", 1234.5, {{"value", 3}, {"currency", "EUR"}});
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(error.code(), 0);
        EXPECT_FALSE(editing.hasEdits());
        EXPECT_FALSE(editing.hasCreatedEvents());
        ASSERT_TRUE(editing.eventContext().outputEvent);
        EXPECT_EQ(editing.eventContext().outputEvent->name(), "purchase");
        EXPECT_EQ(editing.eventContext().outputEvent->parameters(), event.parameters());
        EXPECT_EQ(editing.runtime().getInstructionCount(), 0);
    }
}

// The end of the process stops a program that the budget and the time
// guard would let run on: the run under way (or about to start) ends,
// named for the end, and so does every later one, at once.
TEST(EventEditing, AStopFromAnotherThreadEndsTheRunUnderWayAndEveryLaterOne) {
    MSRPInterpreterEventEditing editing;
    std::string assembleError;
    std::optional<MSRPBProgram> endless = ProgramAssembler::assembleEditingProgram(R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") (loop true 0 false (list)) (return 0)) (object "type" "edit")))
)",
                                                                                 "rules", &assembleError);
    ASSERT_TRUE(endless) << assembleError;
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(*endless, &error));
    // Minutes of work allowed: only the stop ends it within the wait below.
    editing.runtime().setInstructionBudget(int64_t{1} << 40);
    editing.runtime().setTimeLimit(std::chrono::minutes(2));
    const MSRPEvent event("purchase", 1234.5, {{"value", 3}});
    auto run = std::async(std::launch::async, [&] {
        MSRError failure;
        const bool edited = editing.handleEvent(event, &failure);
        return std::pair(edited, failure.code());
    });
    editing.stopRunsWithin(0);
    ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(run.get(), std::pair(false, int64_t{MSRPErrorCode::kInstructionBudget}));
    EXPECT_EQ(editing.failureReason(), "application end");
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(editing.failureReason(), "application end");
        EXPECT_LE(editing.runtime().getInstructionCount(), MSRPExecution::kClockInterval);
    }
}

}  // namespace
