// Programs built to cost more than they are charged: long texts compared,
// converted and joined, values shared many times over and copied into an
// event, long parameter and loop-variable lists, patterns that do not
// compile. Each ends at the bound its cost reaches (instructions, memory,
// time), with what it held on the memory account; none runs on after the
// end's stop. What the tests check is the bound that stopped a run and the
// units charged; their clocks only catch a run that goes on for seconds.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

using CostClock = std::chrono::steady_clock;

// Binds "s" to `seed` doubled `times` times.
std::string doubledText(const std::string& seed, int times) {
    return R"((let "s" "i") (assign "s" ")" + seed + R"(") (assign "i" 0)
        (loop (lt $i )" + std::to_string(times) + R"() (assign "i" (add $i 1)) false (list (assign "s" (add $s $s)))))";
}

// Binds "a" to an array of 2^times references to the value of `element`.
std::string doubledArray(const std::string& element, int times) {
    return R"((let "a") (assign "a" (array )" + element + R"()) (assign "i" 0)
        (loop (lt $i )" + std::to_string(times) + R"() (assign "i" (add $i 1)) false
          (list (assign "a" (call $a "concat" (array $a))))))";
}

// Binds "names" to `count` distinct names.
std::string distinctNames(int count) {
    return R"((let "names" "i") (assign "names" (array)) (assign "i" 0)
        (loop (lt $i )" + std::to_string(count) + R"() (assign "i" (add $i 1)) false
          (list (call $names "push" (array (add "v" $i))))))";
}

double secondsSince(CostClock::time_point start) {
    return std::chrono::duration<double>(CostClock::now() - start).count();
}

// A generous ceiling for a run that its bounds stop at once: seconds where
// the charged work takes milliseconds even under the sanitizers.
constexpr double kStoppedWithin = 5.0;

struct CostCase {
    const char* what;
    std::string program;
    int stop;  // the bound that ends the run
};

void expectStops(const CostCase& c, MSRPRuntime& runtime) {
    const CostClock::time_point start = CostClock::now();
    ProgramOutcome outcome = runProgram(c.program, &runtime);
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << c.what;
    EXPECT_EQ(outcome.stop, c.stop) << c.what << ": " << MSRPRuntime::stopDescription(outcome.stop);
    EXPECT_LE(runtime.getInstructionCount(), runtime.execution().instructionBudget) << c.what;
    EXPECT_LE(runtime.memoryAccount().peak, runtime.memoryAccount().limit + (int64_t{2} << 20)) << c.what;
    EXPECT_LT(secondsSince(start), kStoppedWithin) << c.what;
}

TEST(Cost, ComparingSearchingAndConvertingLongTextsIsChargedAsItIsDone) {
    // 4 MiB texts that differ in their last byte, one sought among 2^14
    // references to the other: every comparison reads all of it.
    const std::string texts = doubledText("x", 22) + R"( (let "u" "v") (assign "u" (add $s "a")) (assign "v" (add $s "b")))";
    const std::string manyV = texts + doubledArray("$v", 14);
    const std::string blanks = doubledText(" ", 22);
    const CostCase cases[] = {
        {"indexOf", manyV + R"( (call $a "indexOf" (array $u)))", MSRPErrorCode::kInstructionBudget},
        {"lastIndexOf", manyV + R"( (call $a "lastIndexOf" (array $u)))", MSRPErrorCode::kInstructionBudget},
        {"switch over the cases", manyV + R"( (switch $u $a $a))", MSRPErrorCode::kInstructionBudget},
        // Text to number trims 4 MiB of blanks each time.
        {"text of blanks to a number", blanks + R"( (assign "i" 0)
            (loop (lt $i 20) (assign "i" (add $i 1)) false (list (sub $s 0))))",
         MSRPErrorCode::kInstructionBudget},
        {"sorting long equal-prefixed texts", texts + R"( (let "b") (assign "b" (array $v $u $v $u $v $u $v $u))
            (assign "i" 0) (loop (lt $i 100) (assign "i" (add $i 1)) false (list (call $b "sort" (array)))))",
         MSRPErrorCode::kInstructionBudget},
    };
    for (const CostCase& c : cases) {
        MSRPRuntime runtime;
        expectStops(c, runtime);
    }
}

TEST(Cost, WhatAProgramBuildsIsOnTheMemoryAccountAsItIsBuilt) {
    const std::string megabyte = doubledText("x", 20);
    // Arrays nested 7 deep, each holding the one below twice: a text of
    // 128 MiB, written level by level (a separator after each nested text).
    const CostCase nestedJoin = {"nested join", megabyte + R"( (let "a") (assign "a" (array $s)) (assign "i" 0)
        (loop (lt $i 7) (assign "i" (add $i 1)) false (list (assign "a" (array $a $a))))
        (call $a "join" (array ",")))",
                                 MSRPErrorCode::kMemoryLimit};
    // The budget would end both about when the account does (a byte copied
    // is a byte held): here only the account's ceiling may.
    {
        MSRPRuntime runtime;
        runtime.setInstructionBudget(int64_t{1} << 40);
        expectStops(nestedJoin, runtime);
        // The account saw what was held: it stopped near its ceiling.
        EXPECT_GT(runtime.memoryAccount().peak, runtime.memoryAccount().limit / 2);
    }
    // 60 references to a text of a mebibyte as a function's parameter list,
    // the function made 20 times and kept: the names are the one text,
    // shared, and the account holds little more than it.
    {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(megabyte + R"( (let "names" "kept")
            (assign "names" (array)) (assign "i" 0)
            (loop (lt $i 60) (assign "i" (add $i 1)) false (list (call $names "push" (array $s))))
            (assign "kept" (array)) (assign "i" 0)
            (loop (lt $i 20) (assign "i" (add $i 1)) false
              (list (call $kept "push" (array (lambda "f" $names (return 1)))))))",
                        runtime, &error);
        EXPECT_EQ(error, 0) << MSRPRuntime::stopDescription(runtime.lastStop());
        EXPECT_LT(runtime.memoryAccount().peak, int64_t{4} << 20);
    }

    // A join that fits (16 texts of a mebibyte and the commas of the inner
    // levels): the text it writes counts as it grows, the room it leaves
    // and the room it grows into at once (the program's own values held
    // less than 2 MiB before).
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 40);
    const std::string sixteen = megabyte + R"( (let "a" "j") (assign "a" (array $s)) (assign "i" 0)
        (loop (lt $i 4) (assign "i" (add $i 1)) false (list (assign "a" (array $a $a))))
        (assign "j" (call $a "join" (array ""))))";
    int error = 0;
    evaluateProgram(sixteen, runtime, &error);
    EXPECT_EQ(error, 0) << MSRPRuntime::stopDescription(runtime.lastStop());
    const MSRPValue joined = runtime.globalScope().valueForName("j");
    ASSERT_TRUE(joined.isString());
    EXPECT_EQ(joined.text().size(), (size_t{16} << 20) + 14);
    EXPECT_GE(runtime.memoryAccount().peak, int64_t{24} << 20);
}

TEST(Cost, LongNameListsBindInTimeLinearInTheirLength) {
    // A function of 8,000 parameters called 40 times: each call binds them
    // once (the index of a scope's names is not made again per name).
    // Binding is charged by what it does, so nothing stops the calls: only
    // their time shows a binding that is not linear (seconds per call).
    {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(distinctNames(8000), runtime, &error);
        ASSERT_EQ(error, 0);
        runtime.resetInstructionCount();
        const CostClock::time_point start = CostClock::now();
        ProgramOutcome outcome = runProgram(R"((let "f" "n")
            (assign "f" (lambda "f" $names (return $v7999)))
            (assign "n" 0) (assign "i" 0)
            (loop (lt $i 40) (assign "i" (add $i 1)) false (list (assign "n" (add $n (f 1 2 3)))))
            $n)",
                                            &runtime);
        EXPECT_EQ(outcome.error, 0) << MSRPRuntime::stopDescription(outcome.stop);
        EXPECT_EQ(outcome.result, "NaN");
        EXPECT_GE(runtime.getInstructionCount(), 40 * 8000 * MSRPExecution::kBindingInstructions);
        EXPECT_LT(secondsSince(start), 6 * kStoppedWithin);
    }
    // A counting loop over 20,000 names copies them into every iteration's
    // scope: each copy is charged, three turns as much as 60,000 bindings.
    {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(distinctNames(20000) + R"( (let "k") (assign "k" 0))", runtime, &error);
        ASSERT_EQ(error, 0);
        runtime.resetInstructionCount();
        ProgramOutcome outcome = runProgram(R"((for $names (lt $k 3) (assign "k" (add $k 1)) (list)) $k)", &runtime);
        EXPECT_EQ(outcome.error, 0) << MSRPRuntime::stopDescription(outcome.stop);
        EXPECT_EQ(outcome.result, "3");
        EXPECT_GE(runtime.getInstructionCount(), 3 * 20000 * MSRPExecution::kBindingInstructions);
    }
}

TEST(Cost, APatternIsParsedOnceAndOnlyWhenItsParsingIsPaidFor) {
    // 2^21 empty groups: 4 MiB of pattern, refused by the budget before
    // RE2 parses it.
    {
        MSRPRuntime runtime;
        expectStops({"a pattern of 4 MiB", doubledText("()", 21) + R"( (call "x" "match" (array $s)))",
                     MSRPErrorCode::kInstructionBudget},
                    runtime);
        EXPECT_EQ(runtime.patterns().count(), 0u);
    }
    // A pattern that does not compile is remembered with its error: later
    // uses, in the same run or another, are refused without parsing it.
    MSRPRuntime runtime;
    const std::string bad = doubledText("(", 10) + R"( (call "x" "search" (array $s)))";
    for (int run = 0; run < 3; ++run) {
        runtime.resetInstructionCount();
        ProgramOutcome outcome = runProgram(bad, &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kArgumentKind);
        EXPECT_EQ(runtime.patterns().count(), 1u);
    }
}

TEST(Cost, TheEndsStopEndsANativeCallUnderWay) {
    // No budget to speak of and no time guard: only the stop ends the
    // search, which would read 2^16 texts of 4 MiB.
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 50);
    CostClock::time_point stopped = CostClock::time_point::max();
    runtime.globalScope().addValue(
        MSRPValue(MSRPNativeFunctionValue::make("stopSoon",
                                                [&](MSRPExecution&, std::span<const MSRPValue>) {
                                                    stopped = CostClock::now();
                                                    runtime.stopRunsWithin(std::chrono::milliseconds(20));
                                                    return MSRPValue();
                                                })),
        "stopSoon");
    ProgramOutcome outcome =
        runProgram(doubledText("x", 22) + R"( (let "u" "v") (assign "u" (add $s "a")) (assign "v" (add $s "b")))" +
                       doubledArray("$v", 16) + R"( (stopSoon) (call $a "indexOf" (array $u)))",
                   &runtime);
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(outcome.stop, MSRPErrorCode::kApplicationEnd);
    ASSERT_NE(stopped, CostClock::time_point::max());
    EXPECT_LT(secondsSince(stopped), kStoppedWithin);
}

// An event program whose callback is `body` (the event is $e).
MSRPBProgram costEditingProgram(const std::string& top, const std::string& body) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(
        top + R"( (function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback"))
            (register 0 (lambda "cb" (array "e") )" + body + R"() (object "type" "edit" "priority" 1))))",
        "rules", &error);
    EXPECT_TRUE(program) << error;
    return program ? *program : MSRPBProgram();
}

TEST(Cost, ARunEndsWhenItsBatchHasNoTimeLeft) {
    // A search that the budget no longer bounds: only time ends it, in the
    // middle of the native call. What its batch has left ends long before
    // the run's own guard, whenever the clock is read, and is named as the
    // stop; the next event's run has its own guard again.
    const std::string top = doubledText("x", 22) + R"( (let "u" "v" "done") (assign "done" false)
        (assign "u" (add $s "a")) (assign "v" (add $s "b")))" + doubledArray("$v", 16);
    MSRPInterpreterEventEditing editing;
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(
        costEditingProgram(top, R"((if $done (list (call $e "setParamValue" (array "p" 1)) (return 0)))
            (assign "done" true) (call $a "indexOf" (array $u)) (return 0))"),
        &error));
    editing.runtime().setInstructionBudget(int64_t{1} << 50);
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    editing.limitNextRun(0.02);
    const CostClock::time_point start = CostClock::now();
    EXPECT_FALSE(editing.handleEvent(event, &error));
    EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(editing.runtime().lastStop(), MSRPErrorCode::kRunLimit);
    EXPECT_EQ(editing.failureReason(), "time per batch");
    EXPECT_LT(secondsSince(start), kStoppedWithin);
    EXPECT_EQ(editing.eventContext().outputEvent->parameters(), event.parameters());
    // The limit was for one run: the next one runs to its end.
    MSRError next;
    EXPECT_TRUE(editing.handleEvent(event, &next)) << editing.failureReason();
    EXPECT_EQ(next.code(), 0);
    EXPECT_EQ(editing.eventContext().outputEvent->parameters().size(), 2u);
}

TEST(Cost, AValueSharedManyTimesOverIsMeasuredAsTheEventWouldHoldIt) {
    // [a, a] twenty deep: 21 arrays, 2^20 leaves once copied out.
    const std::string shared = R"((let "a" "i") (assign "a" (array "leaf")) (assign "i" 0)
        (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "a" (array $a $a)))))";
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        ASSERT_TRUE(editing.loadProgram(costEditingProgram(shared, R"((call $e "setParamValue" (array "p" $a)))"), &error))
            << error.code();
        const CostClock::time_point start = CostClock::now();
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
        EXPECT_EQ(editing.failureReason(), "memory ceiling");
        EXPECT_EQ(editing.eventContext().outputEvent->parameters(), event.parameters());
        EXPECT_LT(secondsSince(start), kStoppedWithin);
    }
    {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        ASSERT_TRUE(editing.loadProgram(
            costEditingProgram(shared, R"((let "log") (assign "log" (require "internal.eventLogger")) (log "made" 1 (object "p" $a)))"),
            &error));
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(error.code(), 0);
        EXPECT_FALSE(editing.hasCreatedEvents());
        EXPECT_EQ(editing.refusedEventCount(), 1);
    }
}

}  // namespace
