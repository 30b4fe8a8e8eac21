// Programs built to cost more than they are charged: long texts compared,
// converted and joined, values shared many times over and copied into an
// event, long parameter and loop-variable lists, patterns that do not
// compile, names and keys of 16 MiB bound, compared and passed, loops with
// empty bodies, closures and callbacks by the thousand. Each ends at the
// bound its cost reaches (instructions, memory, time), with what it held on
// the memory account (and, where it can be measured, in resident memory);
// none runs on after the end's stop. What the tests check is the bound that
// stopped a run, the units charged and the CPU time a run cost; their wall
// clocks only catch a run that goes on for minutes.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <string_view>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"
#include "tests/support/Sanitizer.h"
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

// A ceiling far above what a run that its bounds stop costs, in empty loops
// that spend the budget measured beside it (CpuBesideTheLoop): the dearest
// run here costs about a hundred of them, in either tree; a run whose work
// is not charged costs more.
constexpr double kStoppedWithinLoops = 1000;

// The time guard of a run whose stop is checked: out of reach of a charged
// run however crowded its core, so that only the bound under test stops it;
// it ends a run whose work is not charged, which then fails the check of
// what stopped it.
constexpr std::chrono::minutes kCostRunGuard{5};

// The CPU time this thread has spent since `start` (a threadCpuSeconds()).
double cpuSecondsSince(double start) { return threadCpuSeconds() - start; }

struct CostCase {
    const char* what;
    std::string program;
    int stop;  // the bound that ends the run
};

void expectStops(const CostCase& c, MSRPRuntime& runtime) {
    CpuBesideTheLoop cpu;
    ProgramOutcome outcome = runProgram(c.program, &runtime);
    const double loops = cpu.loops();
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << c.what;
    EXPECT_EQ(outcome.stop, c.stop) << c.what << ": " << MSRPRuntime::stopDescription(outcome.stop);
    EXPECT_LE(runtime.getInstructionCount(), runtime.execution().instructionBudget) << c.what;
    EXPECT_LE(runtime.memoryAccount().peak, runtime.memoryAccount().limit + (int64_t{2} << 20)) << c.what;
    EXPECT_LT(loops, kStoppedWithinLoops) << c.what << ": " << cpu.seconds() << " s";
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
        // Blanks of 8 KiB, under the step the trim is charged in, a thousand
        // times: 2,000 instructions' work each, not the dozen of the turn.
        {"text of blanks shorter than a step to a number", doubledText(" ", 13) + R"( (assign "i" 0)
            (loop (lt $i 1000) (assign "i" (add $i 1)) false (list (sub $s 0))))",
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
        CpuBesideTheLoop cpu;
        ProgramOutcome outcome = runProgram(R"((let "f" "n")
            (assign "f" (lambda "f" $names (return $v7999)))
            (assign "n" 0) (assign "i" 0)
            (loop (lt $i 40) (assign "i" (add $i 1)) false (list (assign "n" (add $n (f 1 2 3)))))
            $n)",
                                            &runtime);
        EXPECT_EQ(outcome.error, 0) << MSRPRuntime::stopDescription(outcome.stop);
        EXPECT_EQ(outcome.result, "NaN");
        EXPECT_GE(runtime.getInstructionCount(), 40 * 8000 * MSRPExecution::kBindingInstructions);
        EXPECT_LT(cpu.loops(), 6 * kStoppedWithinLoops) << cpu.seconds() << " s";
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
    double stopped = -1;  // the thread's CPU time when the stop was asked for
    runtime.globalScope().addValue(
        MSRPValue(MSRPNativeFunctionValue::make("stopSoon",
                                                [&](MSRPExecution&, std::span<const MSRPValue>) {
                                                    stopped = threadCpuSeconds();
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
    ASSERT_GE(stopped, 0);
    const double sinceTheStop = cpuSecondsSince(stopped);
    CpuBesideTheLoop loop;
    loop.loops();
    EXPECT_LT(sinceTheStop, kStoppedWithinLoops * loop.loopSeconds()) << sinceTheStop << " s";
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
    // The load builds mebibytes: the editor's 1 s guard, which a crowded
    // core reaches first, is out of the way (a run's own guard is then far
    // past its batch's time, as the application's is).
    editing.runtime().setTimeLimit(kCostRunGuard);
    ASSERT_TRUE(editing.loadProgram(
        callbackProgram(top, R"((if $done (list (call $e "setParamValue" (array "p" 1)) (return 0)))
            (assign "done" true) (call $a "indexOf" (array $u)) (return 0))"),
        &error));
    editing.runtime().setInstructionBudget(int64_t{1} << 50);
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    editing.limitNextRun(0.02);
    CpuBesideTheLoop cpu;
    EXPECT_FALSE(editing.handleEvent(event, &error));
    const double loops = cpu.loops();
    EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(editing.runtime().lastStop(), MSRPErrorCode::kRunLimit);
    EXPECT_EQ(editing.failureReason(), "time per batch");
    EXPECT_LT(loops, kStoppedWithinLoops) << cpu.seconds() << " s";
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
        // Only the memory ceiling may stop it: the editor's 1 s guard is
        // reached first on a crowded core.
        editing.runtime().setTimeLimit(kCostRunGuard);
        ASSERT_TRUE(editing.loadProgram(callbackProgram(shared, R"((call $e "setParamValue" (array "p" $a)))"), &error))
            << error.code();
        CpuBesideTheLoop cpu;
        EXPECT_FALSE(editing.handleEvent(event, &error));
        const double loops = cpu.loops();
        EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
        EXPECT_EQ(editing.failureReason(), "memory ceiling");
        EXPECT_EQ(editing.eventContext().outputEvent->parameters(), event.parameters());
        EXPECT_LT(loops, kStoppedWithinLoops) << cpu.seconds() << " s";
    }
    {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        editing.runtime().setTimeLimit(kCostRunGuard);
        ASSERT_TRUE(editing.loadProgram(
            callbackProgram(shared, R"((let "log") (assign "log" (require "internal.eventLogger")) (log "made" 1 (object "p" $a)))"),
            &error));
        EXPECT_FALSE(editing.handleEvent(event, &error));
        EXPECT_EQ(error.code(), 0);
        EXPECT_FALSE(editing.hasCreatedEvents());
        EXPECT_EQ(editing.refusedEventCount(), 1);
    }
}

// Resident memory of the process: growth from now to its most since. The
// sanitizers hold freed memory back and shadow what is live, so only a plain
// build measures it.
constexpr bool kResidentMeasured = !kUnderAddressSanitizer;

int64_t residentField(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size() + 1)) << 10;
    return -1;
}

class ResidentGrowth {
  public:
    // Resets the kernel's high-water mark, where it lets the process.
    ResidentGrowth() {
        std::ofstream("/proc/self/clear_refs") << "5";
        before_ = residentField("VmRSS:");
        measured_ = kResidentMeasured && before_ > 0 && residentField("VmHWM:") - before_ < (int64_t{4} << 20);
    }
    // Whether the growth since is at most `bytes`: true where it cannot be measured.
    bool atMost(int64_t bytes) const { return !measured_ || residentField("VmHWM:") - before_ <= bytes; }
    int64_t growth() const { return residentField("VmHWM:") - before_; }

  private:
    int64_t before_ = 0;
    bool measured_ = false;
};

// What a run may hold beyond its account: the runtime's own bookkeeping.
constexpr int64_t kResidentBeyondTheAccount = int64_t{32} << 20;

// A text of 16 MiB in "s", made by doubling.
const std::string kSixteenMebibytes = doubledText("x", 24);

// `statement` run until a bound ends it.
std::string endlessly(const std::string& statement) { return "(loop true 0 false (list " + statement + "))"; }

struct HoleCase {
    const char* what;
    std::string top;      // run first, with a budget of its own
    std::string program;  // the run that must end at a bound it is charged to
};

// The run ends at its budget or at the memory ceiling, however little each of
// its instructions looks; the time guard is only there to end a run whose
// work is not charged (which then fails the check of what stopped it).
void expectChargedToItsEnd(const HoleCase& c) {
    MSRPRuntime runtime;
    int error = 0;
    evaluateProgram(c.top, runtime, &error);
    ASSERT_EQ(error, 0) << c.what << ": " << MSRPRuntime::stopDescription(runtime.lastStop());
    // The program as it arrived is the host's, bounded on arrival: what the
    // run holds is measured from there on, and its time too.
    std::string assemblyError;
    const auto statements = ProgramAssembler::assembleStatements(c.program, &assemblyError);
    ASSERT_TRUE(statements) << c.what << ": " << assemblyError;
    runtime.resetInstructionCount();
    runtime.setTimeLimit(kCostRunGuard);
    const ResidentGrowth resident;
    const CostClock::time_point start = CostClock::now();
    CpuBesideTheLoop cpu;
    MSRError failure;
    runtime.executeStatements(*statements, &failure);
    const ProgramOutcome outcome{"", static_cast<int>(failure.code()), runtime.lastStop()};
    const double took = secondsSince(start);
    const double loops = cpu.loops();
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << c.what;
    EXPECT_TRUE(outcome.stop == MSRPErrorCode::kInstructionBudget || outcome.stop == MSRPErrorCode::kMemoryLimit)
        << c.what << ": " << MSRPRuntime::stopDescription(outcome.stop) << " after " << took << " s";
    EXPECT_LE(runtime.getInstructionCount(), runtime.execution().instructionBudget) << c.what;
    EXPECT_LT(loops, kStoppedWithinLoops) << c.what << ": " << cpu.seconds() << " s";
    EXPECT_TRUE(resident.atMost(runtime.memoryAccount().peak + kResidentBeyondTheAccount))
        << c.what << ": " << (resident.growth() >> 20) << " MiB more resident, the account's peak "
        << (runtime.memoryAccount().peak >> 20) << " MiB";
}

// Loops of items whose names are 16 MiB texts, with nothing in their bodies:
// each item is charged as it is bound, and the binding shares the name.
TEST(Cost, EveryItemOfALoopIsChargedWhateverItsBody) {
    const std::string top = kSixteenMebibytes + doubledArray("1", 4);
    const HoleCase cases[] = {
        {"for-of, a constant per item", top, endlessly(R"((forofconst $s $a (list)))")},
        {"for-of, a variable per item", top, endlessly(R"((foroflet $s $a (list)))")},
        {"for-of into the enclosing scope", top, endlessly(R"((forof $s $a (list)))")},
        {"for-in, a constant per item", top, endlessly(R"((forinconst $s $a (list)))")},
        {"a counting loop's variable", top, R"((for (array $s) true 0 (list)))"},
    };
    for (const HoleCase& c : cases) expectChargedToItsEnd(c);
}

// One instruction that names, compares or looks up by a 16 MiB text: the
// text is shared where it is bound and passed, and compared in full only
// against another text, charged as it is read.
TEST(Cost, NamesAndKeysAreSharedAndComparedWithACharge) {
    // "t" is another text equal to "s"; "m" holds "s" as a key.
    const std::string& s16 = kSixteenMebibytes;
    const std::string keyed = s16 + R"( (let "t" "m") (assign "t" (add $s "")) (assign "m" (object)) (set $m $s 1))";
    const std::string bound = s16 + R"( (let $s))";
    const HoleCase cases[] = {
        {"eq of a long text and a short one", s16, endlessly(R"((eq $s "x"))")},
        {"ne of a short text and a long one", s16, endlessly(R"((ne "x" $s))")},
        {"a map read by an equal key", keyed, endlessly(R"((get $m $t))")},
        {"a map write by an equal key", keyed, endlessly(R"((set $m $t 2))")},
        {"let of a computed name", bound, endlessly(R"((let $s))")},
        {"const of a computed name", s16, endlessly(R"((block (const $s 1)))")},
        {"assign to a computed name", bound, endlessly(R"((assign $s 1))")},
        {"read of a computed name", bound, endlessly(R"((var $s))")},
        {"require of a long name", s16, endlessly(R"((require $s))")},
    };
    for (const HoleCase& c : cases) expectChargedToItsEnd(c);
}

// Closures named by a 16 MiB text in the program: each shares it, so the
// account holds what the closures hold.
TEST(Cost, AClosureSharesItsNameAndBodyWithTheProgram) {
    const std::string name(size_t{16} << 20, 'f');
    expectChargedToItsEnd({"closures of a long name", "",
                           R"((let "kept" "i") (assign "kept" (array)) (assign "i" 0)
        (loop (lt $i 20) (assign "i" (add $i 1)) false
          (list (call $kept "push" (array (lambda ")" + name + R"(" (array) (return 1))))))
        (loop true 0 false (list)))"});
}

// An event program with `count` edit callbacks of `body` (the event is $e),
// registered at load after `top`.
MSRPBProgram manyCallbacks(const std::string& top, int count, const std::string& body) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(
        top + R"( (function "rules" (array "r") (let "register" "n")
            (assign "register" (require "internal.registerCallback")) (assign "n" 0)
            (loop (lt $n )" + std::to_string(count) + R"() (assign "n" (add $n 1)) false
              (list (register 0 (lambda "cb" (array "e") )" + body + R"() (object "type" "edit" "priority" $n))))))",
        "rules", &error);
    EXPECT_TRUE(program) << error;
    return program ? *program : MSRPBProgram();
}

// A thousand callbacks that each rename the event and a parameter to a
// 16 MiB text: the copy of the event that each callback may be undone to
// shares those texts, is charged by their size and read against the clock.
TEST(Cost, EachCallbackChargesTheEventItWorksOn) {
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"event name", R"((call $e "setEventName" (array $s)) (return 0))"},
        {"parameter name", R"((call $e "setParamValue" (array $s 1)) (return 0))"},
        {"both, read back", R"((call $e "setEventName" (array $s)) (call $e "setParamValue" (array $s 1))
            (call $e "getParamValue" (array $s)) (call $e "getEventName" (array)) (return 0))"},
    };
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    for (const auto& c : cases) {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        // Only the budget may stop the load and the run: the editor's 1 s
        // guard is reached first on a crowded core.
        editing.runtime().setTimeLimit(kCostRunGuard);
        ASSERT_TRUE(editing.loadProgram(manyCallbacks(kSixteenMebibytes, 1000, c.body), &error)) << c.what;
        const ResidentGrowth resident;
        const CostClock::time_point start = CostClock::now();
        CpuBesideTheLoop cpu;
        EXPECT_FALSE(editing.handleEvent(event, &error)) << c.what;
        const double took = secondsSince(start);
        const double loops = cpu.loops();
        EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget) << c.what;
        EXPECT_EQ(editing.failureReason(), "instruction budget") << c.what << " after " << took << " s";
        EXPECT_LT(loops, kStoppedWithinLoops) << c.what << ": " << cpu.seconds() << " s";
        EXPECT_TRUE(editing.eventContext().outputEvent->name() == "checkout") << c.what;
        const MSRPMemory::Account& account = editing.runtime().memoryAccount();
        EXPECT_TRUE(resident.atMost(account.peak + kResidentBeyondTheAccount))
            << c.what << ": " << (resident.growth() >> 20) << " MiB more resident, the account's peak "
            << (account.peak >> 20) << " MiB";
    }
}

// Joining writes its text a chunk at a time, each chunk charged: 200 joins of
// a 16 MiB text would write 3.2 GB, and the account holds no more than
// three such texts at a time.
TEST(Cost, AJoinIsChargedForTheTextItWrites) {
    MSRPRuntime runtime;
    int error = 0;
    evaluateProgram(kSixteenMebibytes + R"( (let "a" "j") (assign "a" (array $s)))", runtime, &error);
    ASSERT_EQ(error, 0);
    runtime.resetInstructionCount();
    ProgramOutcome outcome = runProgram(R"((assign "i" 0)
        (loop (lt $i 200) (assign "i" (add $i 1)) false (list (assign "j" (call $a "join" (array ""))))))",
                                        &runtime);
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(outcome.stop, MSRPErrorCode::kInstructionBudget) << MSRPRuntime::stopDescription(outcome.stop);
    EXPECT_LT(runtime.globalScope().valueForName("i").numberValue(), 200);
}

// Before an event is copied out of the program its size is measured, and
// the walk is charged: an array of 2^18 references back to the array that
// holds it walks a quarter of a million elements for a few bytes of event.
TEST(Cost, TheSizeWalkBeforeAnEventCopyIsCharged) {
    const std::string top = doubledText("x", 21) + R"( (let "back" "c" "k") (assign "back" (array))
        (assign "c" (array $back)) (assign "k" 0)
        (loop (lt $k 18) (assign "k" (add $k 1)) false (list (assign "c" (call $c "concat" (array $c)))))
        (call $back "push" (array $c)))";
    MSRPInterpreterEventEditing editing;
    // The budget stops the run on any machine; under the sanitizers on a slow
    // or crowded core the editor's 1 s guard would come first.
    editing.runtime().setTimeLimit(kCostRunGuard);
    MSRError error;
    // The walk, then a parameter past what one event may create: refused
    // without an error, so the loop goes on.
    ASSERT_TRUE(editing.loadProgram(
        callbackProgram(top, R"((let "log" "i") (assign "log" (require "internal.eventLogger")) (assign "i" 0)
            (loop (lt $i 200) (assign "i" (add $i 1)) false (list (log "made" 1 (object "walk" $back "big" $s))))
            (return 0))"),
        &error))
        << error.code();
    EXPECT_FALSE(editing.handleEvent(MSRPEvent("checkout", 1000.5, {}), &error));
    EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
    EXPECT_EQ(editing.failureReason(), "instruction budget");
    EXPECT_LT(editing.refusedEventCount(), 200);
}

}  // namespace
