// The rules that make a program's work reach the charge point, each caught by
// what it charges rather than by a clock: a text's bytes when it is made and
// its hash, each item of a for-in and a for-of loop as it is bound, a
// callback's charge point reading the clock and the end's stop, the
// callbacks of the array methods, sort and replace charged before they run,
// and a closure that shares its name with the program.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

constexpr int64_t kMebibyte = int64_t{1} << 20;
// What work on a mebibyte is charged at the least: a byte is a 64th of an instruction.
constexpr int64_t kMebibyteInstructions = kMebibyte / MSRPWork::kBytesPerInstruction;

// Binds "s" to a text of a mebibyte of "x".
const char* const kMebibyteText = R"((let "s" "i") (assign "s" "x") (assign "i" 0)
    (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "s" (add $s $s)))))";

// Adds a native function `name` to the runtime's global scope.
void addNative(MSRPRuntime& runtime, const char* name, MSRPNativeFunctionValue::Body body) {
    runtime.globalScope().addValue(MSRPValue(MSRPNativeFunctionValue::make(name, std::move(body))), name);
}

// Runs `program` after `top` and answers the instructions the program alone was charged.
int64_t instructionsOf(MSRPRuntime& runtime, const std::string& top, const std::string& program) {
    int error = 0;
    if (!top.empty()) evaluateProgram(top, runtime, &error);
    EXPECT_EQ(error, 0) << MSRPRuntime::stopDescription(runtime.lastStop());
    runtime.resetInstructionCount();
    ProgramOutcome outcome = runProgram(program, &runtime);
    EXPECT_EQ(outcome.error, 0) << program << ": " << MSRPRuntime::stopDescription(outcome.stop);
    return runtime.getInstructionCount();
}

TEST(ChargeRules, MakingATextChargesItsBytes) {
    const std::string megabyte(static_cast<size_t>(kMebibyte), 'm');
    MSRPRuntime runtime;
    size_t made = 0;
    addNative(runtime, "makeText", [&](MSRPExecution&, std::span<const MSRPValue>) {
        MSRPText text = MSRPText::make(megabyte);
        made = text.size();
        return MSRPValue::string(std::move(text));
    });
    EXPECT_GE(instructionsOf(runtime, "", "(makeText)"), kMebibyteInstructions)
        << "a text of a mebibyte was made without a charge for its bytes";
    EXPECT_EQ(made, megabyte.size());
    // A budget that cannot pay for it: the text is never made.
    runtime.setInstructionBudget(kMebibyteInstructions / 2);
    runtime.resetInstructionCount();
    ProgramOutcome outcome = runProgram("(makeText)", &runtime);
    EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(made, 0u) << "a text the budget could not pay for was made";
}

TEST(ChargeRules, HashingATextChargesItsBytesOnce) {
    MSRPRuntime runtime;
    addNative(runtime, "hashText", [](MSRPExecution&, std::span<const MSRPValue> arguments) {
        return MSRPValue::number(static_cast<double>(arguments[0].sharedText().hash() & 0xffff));
    });
    EXPECT_GE(instructionsOf(runtime, kMebibyteText, "(hashText $s)"), kMebibyteInstructions)
        << "a text of a mebibyte was hashed without a charge";
    // Kept: hashing it again reads nothing.
    EXPECT_LT(instructionsOf(runtime, "", "(hashText $s)"), kMebibyteInstructions / 16)
        << "a text's kept hash was computed again";
}

// Loops over 20,000 items with empty bodies: each item is charged as it is
// bound, at the least what binding a name is.
struct LoopRow {
    const char* what;
    const char* loop;
};

void expectEveryItemCharged(const LoopRow (&rows)[3], const char* source) {
    constexpr int kItems = 20000;
    const std::string top = R"((let "a" "o" "x" "i") (assign "a" (array)) (assign "o" (object)) (assign "i" 0)
        (loop (lt $i )" + std::to_string(kItems) + R"() (assign "i" (add $i 1)) false
          (list (call $a "push" (array $i)) (set $o (add "k" $i) $i))))";
    for (const LoopRow& row : rows) {
        MSRPRuntime runtime;
        const std::string program = std::string("(") + row.loop + " \"x\" " + source + " (list))";
        EXPECT_GE(instructionsOf(runtime, top, program), kItems * MSRPExecution::kBindingInstructions)
            << row.what << ": the items were bound without a charge each";
    }
}

TEST(ChargeRules, EachForInItemIsChargedAsItIsBound) {
    const LoopRow rows[] = {
        {"for-in into the enclosing scope", "forin"},
        {"for-in, a constant per item", "forinconst"},
        {"for-in, a variable per item", "forinlet"},
    };
    SCOPED_TRACE("over an array's indices");
    expectEveryItemCharged(rows, "$a");
    SCOPED_TRACE("over a map's keys");
    expectEveryItemCharged(rows, "$o");
}

TEST(ChargeRules, EachForOfItemIsChargedAsItIsBound) {
    const LoopRow rows[] = {
        {"for-of into the enclosing scope", "forof"},
        {"for-of, a constant per item", "forofconst"},
        {"for-of, a variable per item", "foroflet"},
    };
    expectEveryItemCharged(rows, "$a");
}

// Fifty edit callbacks; the first ends the process's time for runs. The
// next callback's charge point reads the clock before it runs, so no other
// callback runs, however few instructions each takes.
TEST(ChargeRules, ACallbacksChargePointReadsTheEndsStop) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(
        R"((function "rules" (array "r") (let "register" "n")
            (assign "register" (require "internal.registerCallback")) (assign "n" 0)
            (loop (lt $n 50) (assign "n" (add $n 1)) false
              (list (register 0 (lambda "cb" (array "e") (tick) (return 0)) (object "type" "edit" "priority" $n))))))",
        "rules", &error);
    ASSERT_TRUE(program) << error;
    MSRPInterpreterEventEditing editing;
    int ticks = 0;
    addNative(editing.runtime(), "tick", [&](MSRPExecution&, std::span<const MSRPValue>) {
        if (++ticks == 1) editing.runtime().stopRunsWithin(std::chrono::nanoseconds(0));
        return MSRPValue();
    });
    MSRError failure;
    ASSERT_TRUE(editing.loadProgram(*program, &failure)) << failure.code();
    EXPECT_FALSE(editing.handleEvent(MSRPEvent("checkout", 1000.5, {{"value", 3}}), &failure));
    EXPECT_EQ(failure.code(), MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(editing.runtime().lastStop(), MSRPErrorCode::kApplicationEnd) << editing.failureReason();
    EXPECT_EQ(ticks, 1) << "callbacks ran after the end's stop without reading the clock";
}

// A native callback that counts its calls and answers 0: whatever it does,
// each call from a native loop is charged its bindings before it runs.
TEST(ChargeRules, TheCallbacksOfArrayMethodsSortAndReplaceAreChargedBeforeTheyRun) {
    const std::string top = R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
        (loop (lt $i 4096) (assign "i" (add $i 1)) false (list (call $a "push" (array (mod (mul $i 7919) 4099))))))";
    const struct {
        const char* what;
        std::string program;
        int64_t arguments;  // each call's
    } rows[] = {
        {"forEach", R"((call $a "forEach" (array $counted)))", 3},
        {"map", R"((call $a "map" (array $counted)))", 3},
        {"filter", R"((call $a "filter" (array $counted)))", 3},
        {"some", R"((call $a "some" (array $counted)))", 3},
        {"reduce", R"((call $a "reduce" (array $counted 0)))", 4},
        {"sort", R"((call $a "sort" (array $counted)))", 2},
        {"replace", R"((assign "i" 0) (loop (lt $i 4096) (assign "i" (add $i 1)) false
            (list (call "abc" "replace" (array "b" $counted)))))", 3},
    };
    for (const auto& row : rows) {
        MSRPRuntime runtime;
        int64_t calls = 0;
        addNative(runtime, "counted", [&](MSRPExecution&, std::span<const MSRPValue>) {
            ++calls;
            return MSRPValue::number(0);
        });
        int error = 0;
        evaluateProgram(top, runtime, &error);
        ASSERT_EQ(error, 0) << row.what;
        // The replace row's own loop: what it is charged without callbacks.
        const int64_t plain = row.what == std::string("replace")
                                  ? instructionsOf(runtime, "", R"((assign "i" 0) (loop (lt $i 4096) (assign "i" (add $i 1)) false
            (list (call "abc" "replace" (array "b" "c")))))")
                                  : 0;
        const int64_t charged = instructionsOf(runtime, "", row.program);
        ASSERT_GT(calls, 0) << row.what;
        EXPECT_GE(charged - plain, calls * row.arguments * MSRPExecution::kBindingInstructions)
            << row.what << ": " << calls << " callbacks ran without being charged their bindings";
    }
}

// Closures of one lambda named by a mebibyte: each shares the program's
// text, so fifty of them hold one name.
TEST(ChargeRules, AClosureSharesItsNameWithTheProgram) {
    const std::string name(static_cast<size_t>(kMebibyte), 'f');
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 40);
    int error = 0;
    evaluateProgram(R"((let "kept" "i") (assign "kept" (array)) (assign "i" 0)
        (loop (lt $i 50) (assign "i" (add $i 1)) false
          (list (call $kept "push" (array (lambda ")" + name + R"(" (array) (return 1)))))))",
                    runtime, &error);
    ASSERT_EQ(error, 0) << MSRPRuntime::stopDescription(runtime.lastStop());
    const MSRPArrayValue* kept = runtime.globalScope().valueForName("kept").array();
    ASSERT_NE(kept, nullptr);
    ASSERT_EQ(kept->count(), 50u);
    const MSRPText& first = kept->elements().front().function()->functionName();
    size_t sharing = 0;
    for (const MSRPValue& closure : kept->elements()) sharing += closure.function()->functionName().isSameObject(first);
    EXPECT_EQ(sharing, kept->count()) << "closures copied their name";
    EXPECT_LT(runtime.memoryAccount().peak, 8 * kMebibyte) << "the closures hold copies of their name";
}

}  // namespace
