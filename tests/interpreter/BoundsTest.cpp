// Hostile programs end with an error code at a bound of the interpreter's
// own: the instruction budget, the nesting depth, the memory limit, the array
// length; cyclic and deeply nested values are compared, printed, converted
// and freed without recursion.

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <functional>
#include <tuple>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

// Runs `work` on a thread whose native stack is smaller than a worker
// thread's 8 MiB: a bound that failed would overflow it and crash the test.
// At the depth limit a release build uses about 1 MiB of it, a sanitizer
// build between 2 and 4.
void onSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, size_t{6} << 20);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST(Bounds, EndlessLoopsStopAtTheBudgetWhateverTheProgramBinds) {
    const char* programs[] = {
        "(loop true 0 false (list))",
        // The counter is the interpreter's own: a binding of the old name
        // neither resets nor shadows it.
        R"((let "runtime.counter") (loop true (assign "runtime.counter" 0) false (list)))",
        R"((const "runtime.counter" 0) (loop true 0 false (list (block (let "runtime.counter")))))",
        R"((forof "x" (array 1) (list)) (loop true 0 false (list (run (list 1 2 3)))))",
    };
    for (const char* program : programs) {
        MSRPRuntime runtime;
        ProgramOutcome outcome = runProgram(program, &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << program;
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget) << program;
        EXPECT_EQ(runtime.getInstructionCount(), MSRPExecution::kDefaultInstructionBudget) << program;
        // The reset gives the next run the whole budget again.
        runtime.resetInstructionCount();
        EXPECT_EQ(runProgram("(add 1 2)", &runtime).result, "3");
    }
}

TEST(Bounds, WorkInProportionToAValueIsChargedToTheBudget) {
    // Each turn copies a text of a mebibyte, joins an array that grows by
    // one each turn, or compares two texts of a mebibyte: the budget ends
    // them after a few turns, not after the hundreds of thousands that
    // counting evaluations alone would allow.
    std::vector<std::string> programs = {
        R"((let "s" "i" "t") (assign "s" "x") (assign "i" 0)
           (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "s" (add $s $s))))
           (assign "i" 0) (loop true (assign "i" (add $i 1)) false (list (assign "t" (add $s "y")))))",
        R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
           (loop true (assign "i" (add $i 1)) false (list (set $a $i (mul 2 $a)))))",
        R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
           (loop true (assign "i" (add $i 1)) false (list (set $a "length" 100000) (set $a "length" 0))))",
    };
    // Texts of a mebibyte compared in order and for equality.
    for (const char* comparison : {"(lt $s $u)", "(same $s $u)", "(eq $s $u)"}) {
        programs.push_back(std::string(R"((let "s" "u" "i" "t") (assign "s" "x") (assign "i" 0)
           (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "s" (add $s $s))))
           (assign "u" (add $s "")) (assign "i" 0)
           (loop true (assign "i" (add $i 1)) false (list (assign "t" )") + comparison + ")))");
    }
    const int limits[] = {100, 5000, 100, 100, 100, 100};
    for (size_t k = 0; k < std::size(programs); ++k) {
        MSRPRuntime runtime;
        ProgramOutcome outcome = runProgram(programs[k], &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << programs[k];
        EXPECT_LT(runtime.globalScope().valueForName("i").numberValue(), limits[k]) << programs[k];
    }
}

TEST(Bounds, TheBudgetCountsEveryEvaluation) {
    // A program of exactly the budget's number of literals runs; one more
    // does not.
    MSRPRuntime runtime;
    std::vector<MSRPValue> literals(MSRPExecution::kDefaultInstructionBudget, MSRPValue::number(1));
    MSRError error;
    runtime.executeStatementValues(literals, &error);
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(runtime.getInstructionCount(), MSRPExecution::kDefaultInstructionBudget);
    runtime.resetInstructionCount();
    literals.push_back(MSRPValue::number(1));
    runtime.executeStatementValues(literals, &error);
    EXPECT_EQ(error.domain(), MSRPErrorDomain);
    EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
}

TEST(Bounds, DeepRecursionStopsAtTheDepthLimit) {
    onSmallStack([] {
        const char* programs[] = {
            R"((function "f" (array "n") (return (f (add $n 1)))) (f 0))",
            R"((function "f" (array "n") (block (if true (list (return (add 1 (f $n))))))) (f 0))",
            R"((function "f" (array) (call (object "g" $f) "g" (array))) (f))",
            R"((let "g") (assign "g" (lambda "g" (array) (return (seq (g))))) (g))",
        };
        for (const char* program : programs) {
            MSRPRuntime runtime;
            ProgramOutcome outcome = runProgram(program, &runtime);
            EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << program;
            EXPECT_EQ(outcome.stop, MSRPErrorCode::kDepthLimit) << program;
            EXPECT_EQ(runtime.execution().depth, 0);
            // The runtime stays usable after the limit.
            EXPECT_EQ(runProgram(R"((function "h" (array "n") (if (le $n 0) (list (return 0)))
                                      (return (add 1 (h (sub $n 1))))) (h 50))",
                                 &runtime)
                          .result,
                      "50");
        }
    });
}

TEST(Bounds, AllocationStopsAtTheMemoryLimit) {
    const int64_t before = MSRPMemory::used();
    const char* programs[] = {
        // A text that doubles.
        R"((let "s") (assign "s" "x") (loop true (assign "s" (add $s $s)) false (list)))",
        // Arrays kept in an array.
        R"((let "a") (assign "a" (array)) (loop true (set $a (get $a "length") (array 1 2 3 4 5 6 7 8)) false (list)))",
        // Maps that grow a member per turn.
        R"((let "m" "i") (assign "m" (object)) (assign "i" 0)
           (loop true (assign "i" (add $i 1)) false (list (set $m (add "member" $i) (array $i $i $i)))))",
        // An array grown to its length bound's worth of holes at once.
        R"((let "a") (assign "a" (array)) (set $a "length" 16000000))",
    };
    for (const char* program : programs) {
        MSRPRuntime runtime;
        runtime.setMemoryLimit(int64_t{4} << 20);
        ProgramOutcome outcome = runProgram(program, &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << program;
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kMemoryLimit) << program;
    }
    EXPECT_EQ(MSRPMemory::used(), before);
}

// Binds "s" to a text of 2^doublings bytes and "a" to an array of `holes`
// holes, and "i" to 0, for the program that follows.
std::string withLargeValues(int doublings, int holes, const std::string& program) {
    return R"((let "s" "a" "i") (assign "s" "x") (assign "i" 0)
        (loop (lt $i )" + std::to_string(doublings) + R"() (assign "i" (add $i 1)) false (list (assign "s" (add $s $s))))
        (assign "a" (array)) (set $a "length" )" + std::to_string(holes) + R"() (assign "i" 0) )" + program;
}

TEST(Bounds, EveryMethodChargesWhatItTouchesBeforeTheWork) {
    // Each turn calls one method on a text of 64 KiB or an array of 8192
    // elements: charged by what it touches, a budget of 60,000 ends the loop
    // within a few dozen turns; counted as a few evaluations a turn, it would
    // last thousands of turns.
    const char* calls[] = {
        R"((call $s "charAt" (array 0)))",          R"((call $s "indexOf" (array "y")))",
        R"((call $s "lastIndexOf" (array "y")))",   R"((call $s "slice" (array 1)))",
        R"((call $s "substring" (array 1)))",       R"((call $s "trim" (array)))",
        R"((call $s "toUpperCase" (array)))",       R"((call $s "concat" (array "y")))",
        R"((call $s "split" (array "y")))",         R"((call $s "replace" (array "y" "z")))",
        R"((call $s "hasOwnProperty" (array 5)))",  R"((call $s "toString" (array)))",
        R"((call $s "search" (array "y")))",        R"((call $s "match" (array "y")))",
        R"((call "y" "indexOf" (array $s)))",       R"((get $s "length"))",
        R"((call $a "indexOf" (array 1)))",         R"((call $a "lastIndexOf" (array 1)))",
        R"((call $a "reverse" (array)))",           R"((call $a "shift" (array)))",
        R"((call $a "slice" (array)))",             R"((call $a "sort" (array)))",
        R"((call $a "concat" (array $a)))",         R"((call $a "join" (array)))",
        R"((call $a "forEach" (array (lambda "f" (array)))))",
    };
    for (const char* call : calls) {
        MSRPRuntime runtime;
        runtime.setInstructionBudget(60'000);
        std::string program =
            withLargeValues(16, 8192, std::string(R"((loop true (assign "i" (add $i 1)) false (list )") + call + "))");
        ProgramOutcome outcome = runProgram(program, &runtime);
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget) << call;
        EXPECT_LT(runtime.globalScope().valueForName("i").numberValue(), 60) << call;
    }
}

TEST(Bounds, PatternsAreChargedByTheirCompiledSizeAndCompiledOnce) {
    // A new pattern each turn pays for its compilation; the same pattern
    // again is taken compiled and costs its scan only (the text's length
    // times the program's size).
    const std::pair<const char*, bool> loops[] = {
        {R"((call "abc" "search" (array (add "x{1,100}" $i))))", true},
        {R"((call "abc" "match" (array (add "x{1,100}" $i))))", true},
        {R"((call "abc" "search" (array "x{1,100}")))", false},
    };
    for (const auto& [call, compiledEachTurn] : loops) {
        MSRPRuntime runtime;
        runtime.setInstructionBudget(100'000);
        ProgramOutcome outcome = runProgram(
            std::string(R"((let "i") (assign "i" 0) (loop true (assign "i" (add $i 1)) false (list )") + call + "))",
            &runtime);
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget) << call;
        const double turns = runtime.globalScope().valueForName("i").numberValue();
        if (compiledEachTurn) {
            EXPECT_LT(turns, 50) << call;
        } else {
            EXPECT_GT(turns, 200) << call;
        }
        EXPECT_LE(runtime.patterns().count(), MSRPPatternCache::kMaxPatterns) << call;
    }
}

TEST(Bounds, NativeWorkOnALongTextIsRefusedBeforeItStarts) {
    // Each call would take from tens of milliseconds to seconds: a short
    // pattern that drives RE2 out of its DFA, scanned by its NFA at the
    // text's length times the program's size; case mapping of sigmas that
    // look at their neighbours; the UTF-16 copy of 4 MiB; a text of a
    // character per loop turn, made before the first. Charged at what they
    // cost, each is refused by the budget before it starts.
    // The text: `seed` doubled the given number of times.
    const std::tuple<const char*, int, const char*> calls[] = {
        {"ab", 16, R"((call $s "search" (array "[ab]*a[ab]{1000}[ab]{1000}c")))"},
        {"ab", 16, R"((call $s "match" (array "[ab]*a[ab]{1000}[ab]{1000}c")))"},
        {"\u03A3.", 20, R"((call $s "toLowerCase" (array)))"},
        {"\u03A3.", 20, R"((call $s "toLocaleUpperCase" (array)))"},
        {"ab", 21, R"((call $s "charAt" (array 1)))"},
        {"ab", 21, R"((call $s "slice" (array 1)))"},
        {"ab", 21, R"((get $s 5))"},
        {"ab", 17, R"((forof "c" $s (list)))"},
    };
    for (const auto& [seed, doublings, call] : calls) {
        MSRPRuntime runtime;
        const std::string program = std::string(R"((let "s" "i" "r") (assign "s" ")") + seed +
                                    R"(") (assign "i" 0) (loop (lt $i )" + std::to_string(doublings) +
                                    R"() (assign "i" (add $i 1)) false (list (assign "s" (add $s $s)))))" +
                                    R"( (assign "r" )" + call + ")";
        ProgramOutcome outcome = runProgram(program, &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << call;
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget) << call;
        EXPECT_TRUE(runtime.globalScope().valueForName("r").isUndefined()) << call;
    }
}

// What a search found in one pass may cost, in empty loops that spend the
// budget measured beside it (CpuBesideTheLoop): a few, against thousands for
// a search that compares at every position.
constexpr double kLinearSearchLoops = 400;

TEST(Bounds, PlainTextSearchesTakeTimeLinearInTheirTexts) {
    // A needle of many "a" and a "b" sought in many more "a": compared at
    // every position, each call takes from seconds to minutes, far past the
    // time guard, while it is charged a few hundred thousand instructions.
    // Found in one pass, each ends at once: its CPU time tells (the guard,
    // which looks at the clock between evaluations, ends a quadratic search
    // on any machine, and is far past a linear one on a crowded core).
    const std::tuple<int, int, const char*, const char*> calls[] = {
        {20, 16, R"((call $s "indexOf" (array $t)))", "-1"},
        {20, 16, R"((call $s "lastIndexOf" (array $t)))", "-1"},
        {22, 18, R"((eq (call $s "replace" (array $t "x")) $s))", "true"},
        {22, 18, R"((get (call $s "split" (array $t)) "length"))", "1"},
    };
    for (const auto& [textDoublings, needleDoublings, call, expected] : calls) {
        MSRPRuntime runtime;
        runtime.setTimeLimit(kCountGuard);
        const std::string program = R"((let "s" "t" "i") (assign "s" "a") (assign "t" "a") (assign "i" 0)
            (loop (lt $i )" + std::to_string(textDoublings) + R"() (assign "i" (add $i 1)) false
              (list (assign "s" (add $s $s)) (if (lt $i )" + std::to_string(needleDoublings) +
                                    R"() (list (assign "t" (add $t $t))))))
            (assign "t" (add $t "b")) (let "r") (assign "r" )" + call +
                                    R"() (assign "i" 0) (loop (lt $i 5000) (assign "i" (add $i 1)) false (list)) $r)";
        CpuBesideTheLoop cpu;
        ProgramOutcome outcome = runProgram(program, &runtime);
        EXPECT_LT(cpu.loops(), kLinearSearchLoops) << call << ": " << cpu.seconds() << " s";
        EXPECT_EQ(outcome.error, 0) << call << " stopped by " << MSRPRuntime::stopDescription(outcome.stop);
        EXPECT_EQ(outcome.result, expected) << call;
    }
}

TEST(Bounds, CopyingMethodsMakeRoomBeforeTheyAllocate) {
    // From a text of 1 MiB (or an array) under a ceiling of 4 MiB, each
    // makes more than the ceiling: each stops before making it, so the
    // runtime never held more than its ceiling.
    // The array case: 100,000 holes (1.6 MiB) concatenated thrice.
    const std::tuple<int, int, const char*> programs[] = {
        {20, 0, R"((call $s "concat" (array $s $s $s $s $s $s $s $s)))"},
        {20, 0, R"((call $s "split" (array "")))"},
        {20, 0, R"((call $s "split" (array "x")))"},
        {20, 0, R"((forof "c" $s (list)))"},
        {4, 100'000, R"((call $a "concat" (array $a $a)))"},
    };
    for (const auto& [doublings, holes, program] : programs) {
        MSRPRuntime runtime;
        runtime.setMemoryLimit(int64_t{4} << 20);
        ProgramOutcome outcome = runProgram(withLargeValues(doublings, holes, program), &runtime);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << program;
        EXPECT_EQ(outcome.stop, MSRPErrorCode::kMemoryLimit) << program;
        EXPECT_LE(runtime.memoryAccount().peak, int64_t{4} << 20) << program;
    }
}

TEST(Bounds, TheTimeGuardStopsWhatTheBudgetStillAllows) {
    MSRPRuntime runtime;
    runtime.setTimeLimit(std::chrono::nanoseconds(1));
    ProgramOutcome outcome = runProgram("(loop true 0 false (list))", &runtime);
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(outcome.stop, MSRPErrorCode::kTimeLimit);
    EXPECT_LT(runtime.getInstructionCount(), MSRPExecution::kClockInterval * 2);
}

TEST(Bounds, ArrayLengthIsBounded) {
    const char* programs[] = {
        R"((let "a") (assign "a" (array)) (set $a 9007199254740991 1))",
        R"((let "a") (assign "a" (array)) (set $a "length" 9007199254740991))",
        R"((let "a") (assign "a" (array)) (set $a "length" 4294967295))",
    };
    for (const char* program : programs) {
        ProgramOutcome outcome = runProgram(program);
        EXPECT_EQ(outcome.error, MSRPErrorCode::kInvalidLength) << program;
    }
}

TEST(Bounds, CyclicValuesArePrintedComparedAndConverted) {
    MSRPRuntime runtime;
    int error = 0;
    // a = [1, a]; m = {self: m, a: a}
    MSRPValue a = evaluateProgram(R"((let "a" "m") (assign "a" (array 1)) (set $a 1 $a) $a)", runtime, &error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(runProgram(R"((add "" $a))", &runtime).result, R"("1,")");
    EXPECT_EQ(runProgram(R"((mul $a 1))", &runtime).result, "NaN");
    MSRPValue m = evaluateProgram(R"((assign "m" (object "a" $a)) (set $m "self" $m) $m)", runtime, &error);
    ASSERT_EQ(error, 0);

    // Two separately built cycles of the same shape are equal; a different
    // leaf makes them unequal.
    MSRPValue b = evaluateProgram(R"((let "b") (assign "b" (array 1)) (set $b 1 $b) $b)", runtime, &error);
    MSRPValue c = evaluateProgram(R"((let "c") (assign "c" (array 2)) (set $c 1 $c) $c)", runtime, &error);
    EXPECT_TRUE(a.isEqualToRuntimeValue(b));
    EXPECT_FALSE(a.isEqualToRuntimeValue(c));
    EXPECT_TRUE(m.isEqualToRuntimeValue(m));

    for (const MSRPValue& cyclic : {a, m}) {
        int conversion = 0;
        foundation::Value host = MSRPRuntimeEntityConverter::objectFromRuntimeValue(cyclic, &conversion);
        EXPECT_EQ(conversion, MSRPErrorCode::kArgumentKind);
    }
}

TEST(Bounds, DeeplyNestedValuesArePrintedComparedConvertedAndFreed) {
    onSmallStack([] {
        const int64_t before = MSRPMemory::used();
        {
            MSRPRuntime runtime;
            runtime.setInstructionBudget(10'000'000);
            const char* build = R"((let "a" "b" "i") (assign "a" (array)) (assign "b" (array)) (assign "i" 0)
                (loop (lt $i 100000) (assign "i" (add $i 1)) false
                  (list (assign "a" (array $a)) (assign "b" (array $b)))))";
            int error = 0;
            evaluateProgram(build, runtime, &error);
            ASSERT_EQ(error, 0);
            MSRPValue a = runtime.globalScope().valueForName("a");
            MSRPValue b = runtime.globalScope().valueForName("b");
            EXPECT_TRUE(a.isEqualToRuntimeValue(b));

            EXPECT_EQ(runProgram(R"((add "" $a))", &runtime).error, MSRPErrorCode::kNoTextForm);
            int conversion = 0;
            MSRPRuntimeEntityConverter::objectFromRuntimeValue(a, &conversion);
            EXPECT_EQ(conversion, MSRPErrorCode::kArgumentKind);

            // Marking walks the chain without recursion; both stay.
            runtime.collectGarbage();
            EXPECT_EQ(a.array()->count(), 1u);
            EXPECT_TRUE(a.isEqualToRuntimeValue(b));
        }
        // The runtime and both chains are gone, freed from a loop.
        EXPECT_EQ(MSRPMemory::used(), before);
    });
}

TEST(Bounds, ShallowerNestingStillPrints) {
    MSRPRuntime runtime;
    ProgramOutcome outcome = runProgram(R"((let "a" "i") (assign "a" (array 7)) (assign "i" 0)
        (loop (lt $i 150) (assign "i" (add $i 1)) false (list (assign "a" (array $a))))
        (add "" $a))",
                                        &runtime);
    EXPECT_EQ(outcome.result, R"("7")");
}

}  // namespace
