// The tables of a program and the walks over its data cost what they are
// charged. Names that share a hash under the standard library's string hash
// (computed here, as anyone can) and every text hashed alike end at the
// budget like any other names; a working event of many parameters is
// charged per parameter and bounded; a stop in the middle of a table change
// leaves the table as it was. What the tests check is the bound that stopped
// a run, the units charged and the CPU time a run cost; their wall clocks
// only catch a run that goes on for minutes.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPNativeFunctionValue.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"
#include "tests/support/Sanitizer.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

using TableClock = std::chrono::steady_clock;

// The standard library's string hash (libstdc++'s _Hash_bytes, seed
// 0xc70f6907) on 16 bytes is two 8-byte steps h = (h ^ mix(block)) * m, and
// mix is invertible: for any first block the second one that brings the
// hash to a chosen value is computed, and a name is kept when that block is
// printable (about one in 3,000).
constexpr uint64_t kMurmurMultiplier = 0xc6a4a7935bd1e995ULL;
constexpr uint64_t kStringHashSeed = 0xc70f6907ULL;

uint64_t murmurShift(uint64_t v) { return v ^ (v >> 47); }

uint64_t oddInverse(uint64_t a) {
    uint64_t x = a;  // Newton's steps double the correct low bits
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}

bool printableInName(unsigned char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

std::vector<std::string> namesSharingStdHash(size_t count) {
    const uint64_t inverse = oddInverse(kMurmurMultiplier);
    const uint64_t start = kStringHashSeed ^ (16 * kMurmurMultiplier);
    const uint64_t target = 0x5ec0de5ec0de5ec0ULL * inverse;  // the state after both steps, unmultiplied
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::vector<std::string> names;
    for (uint64_t counter = 0; names.size() < count; ++counter) {
        char first[8];
        uint64_t rest = counter;
        for (char& c : first) {
            c = kAlphabet[rest % 62];
            rest /= 62;
        }
        uint64_t block1;
        std::memcpy(&block1, first, 8);
        const uint64_t state = (start ^ (murmurShift(block1 * kMurmurMultiplier) * kMurmurMultiplier)) * kMurmurMultiplier;
        const uint64_t block2 = murmurShift((target ^ state) * inverse) * inverse;
        unsigned char second[8];
        std::memcpy(second, &block2, 8);
        bool printable = true;
        for (unsigned char c : second) printable = printable && printableInName(c);
        if (!printable) continue;
        names.emplace_back(first, 8);
        names.back().append(reinterpret_cast<const char*>(second), 8);
    }
    return names;
}

// The 5,000 names every row shares, made once.
const std::vector<std::string>& collidingNames() {
    static const std::vector<std::string> names = namesSharingStdHash(5000);
    return names;
}

// `"a" "b" ...` for the names, each followed by `after`.
std::string quotedNames(const std::vector<std::string>& names, const std::string& after = "") {
    std::string text;
    for (const std::string& name : names) text += " \"" + name + "\"" + after;
    return text;
}

// Every text hashes to one value while it lives.
class HashesAlike {
  public:
    explicit HashesAlike(bool alike) : alike_(alike) { MSRPText::setHashesAlikeForTesting(alike); }
    ~HashesAlike() {
        if (alike_) MSRPText::setHashesAlikeForTesting(false);
    }
    HashesAlike(const HashesAlike&) = delete;
    HashesAlike& operator=(const HashesAlike&) = delete;

  private:
    bool alike_;
};

double secondsFrom(TableClock::time_point start) {
    return std::chrono::duration<double>(TableClock::now() - start).count();
}

// What a charged run may cost, in empty loops measured beside it: two
// hundred (a charged run of 5,000 keyed names costs about 15-35, 40,000
// parameters read back 20-60). Under AddressSanitizer the tables' runs,
// which make and free a text or an entry for nearly every charge, slow down
// more than the empty loop: the ceiling is four times wider. A run whose
// work goes uncharged costs tens of thousands of loops (40,000 parameters
// read back without their charge: 25,000-120,000).
constexpr double kTableCpuLoops = kUnderAddressSanitizer ? 800 : 200;

// The time guard of a run whose stop is checked: out of reach of a charged
// run on any machine, however crowded its core, so that only the bound under
// test stops it; it ends a run whose work goes uncharged.
constexpr std::chrono::minutes kTableRunGuard{5};

// Runs `top`, then `program` with a budget of its own; the stop must be `stop`.
void expectTableRunStops(const char* what, const std::string& top, const std::string& program, int stop) {
    MSRPRuntime runtime;
    int error = 0;
    evaluateProgram(top, runtime, &error);
    ASSERT_EQ(error, 0) << what << ": " << MSRPRuntime::stopDescription(runtime.lastStop());
    runtime.resetInstructionCount();
    runtime.setTimeLimit(kTableRunGuard);
    const TableClock::time_point start = TableClock::now();
    CpuBesideTheLoop cpu;
    ProgramOutcome outcome = runProgram(program, &runtime);
    const double loops = cpu.loops();
    const double took = secondsFrom(start);
    EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget) << what;
    EXPECT_EQ(outcome.stop, stop) << what << ": stopped by " << MSRPRuntime::stopDescription(outcome.stop)
                                  << " after " << took << " s";
    EXPECT_LE(runtime.getInstructionCount(), runtime.execution().instructionBudget) << what;
    EXPECT_LT(loops, kTableCpuLoops) << what << ": work went uncharged (" << cpu.seconds() << " s of CPU, the empty loop "
                                     << cpu.loopSeconds() << " s)";
}

// The time guard of work a test sets up or counts rather than times.
constexpr std::chrono::minutes kTableSetUpLimit{5};

// The callback runs on `event`; the run must fail with the reason given.
void expectEditingStops(const char* what, const std::string& top, const std::string& body, const MSRPEvent& event,
                        const std::string& reason) {
    MSRPInterpreterEventEditing editing;
    MSRError error;
    // What the program builds as it loads is no part of the check: a slow machine may take seconds.
    editing.runtime().setTimeLimit(kTableSetUpLimit);
    ASSERT_TRUE(editing.loadProgram(callbackProgram(top, body), &error)) << what << ": " << error.code();
    editing.runtime().setTimeLimit(kTableRunGuard);
    const TableClock::time_point start = TableClock::now();
    CpuBesideTheLoop cpu;
    EXPECT_FALSE(editing.handleEvent(event, &error)) << what;
    const double loops = cpu.loops();
    const double took = secondsFrom(start);
    EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget) << what;
    EXPECT_EQ(editing.failureReason(), reason) << what << " after " << took << " s";
    EXPECT_LT(loops, kTableCpuLoops) << what << ": work went uncharged (" << cpu.seconds() << " s of CPU, the empty loop "
                                     << cpu.loopSeconds() << " s)";
    // A failed run leaves the event as it came.
    EXPECT_EQ(editing.eventContext().outputEvent->parameters().size(), event.parameters().size()) << what;
}

TEST(Cost, TheCollidingNamesShareTheStandardHash) {
    const std::vector<std::string>& names = collidingNames();
    ASSERT_EQ(names.size(), 5000u);
    const size_t hash = std::hash<std::string_view>()(names.front());
    for (const std::string& name : names) {
        EXPECT_EQ(std::hash<std::string_view>()(name), hash) << name;
        for (unsigned char c : name) ASSERT_TRUE(printableInName(c)) << name;
    }
    // Under the keyed hash they are as distinct as any names.
    EXPECT_NE(MSRPText::hashOf(names[0]), MSRPText::hashOf(names[1])) << "the tables hash as the standard library does";
}

// 5,000 names that collide under the standard hash as a lambda's
// parameters, an object literal's keys and the working event's parameters
// read back by getParams; then every text hashed alike. Each run ends at
// its budget.
TEST(Cost, NamesThatShareAHashAreChargedForEveryProbe) {
    const std::vector<std::string>& names = collidingNames();
    const std::string top = R"((let "names" "f" "o") (assign "names" (array)" + quotedNames(names) + "))";
    const std::string lambdas = R"((loop true 0 false (list (assign "f" (lambda "f" $names (return 1))) (f 1))))";
    const std::string objects = R"((loop true 0 false (list (assign "o" (object)" + quotedNames(names, " 0") + "))))";
    const std::string params = R"((forof "n" $names (list (call $e "setParamValue" (array $n 1))))
        (loop true 0 false (list (call $e "getParams" (array)))) (return 0))";
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    for (bool alike : {false, true}) {
        SCOPED_TRACE(alike ? "every text hashed alike" : "the keyed hash");
        const HashesAlike hashes(alike);
        expectTableRunStops("lambda parameters", top, lambdas, MSRPErrorCode::kInstructionBudget);
        expectTableRunStops("object keys", top, objects, MSRPErrorCode::kInstructionBudget);
        expectEditingStops("working-event parameters read by getParams", top, params, event, "instruction budget");
    }
}

// getParams converts every parameter of the working event in one call:
// each is charged, whether the program set it or the event came with it;
// a program that sets more than the bound is stopped by it.
TEST(Cost, ReadingManyEventParametersIsChargedForEach) {
    const auto settingNames = [](int from, int count) {
        return R"((let "i") (assign "i" )" + std::to_string(from) + R"()
            (loop (lt $i )" + std::to_string(from + count) + R"() (assign "i" (add $i 1)) false
              (list (call $e "setParamValue" (array (add "p" $i) 1)))))";
    };
    const std::string readForever = R"((loop true 0 false (list (call $e "getParams" (array)))) (return 0))";
    foundation::Value::Dictionary many;
    for (int i = 0; i < 40000; ++i) many.emplace("p" + std::to_string(100000 + i), i);
    const MSRPEvent small("checkout", 1000.5, {{"value", 3}});
    const MSRPEvent large("checkout", 1000.5, std::move(many));
    const int bound = static_cast<int>(MSRPInterpreterEventEditing::kMaxEventParameters);
    for (bool alike : {false, true}) {
        SCOPED_TRACE(alike ? "every text hashed alike" : "the keyed hash");
        const HashesAlike hashes(alike);
        expectEditingStops("40,000 set, then read", "", settingNames(100000, 40000) + readForever, small,
                           "parameters of an event");
        expectEditingStops("as many as the bound, then read", "", settingNames(100000, bound - 1) + readForever,
                           small, "instruction budget");
        expectEditingStops("an event that came with 40,000, read", "", readForever, large, "instruction budget");
    }
}

// The walks over a program's data that ran beside the charge point: each
// now visits only what it is charged for, or charges what it visits.
TEST(Cost, TheWalksOverAProgramsDataAreCharged) {
    // 2^20 elements, and lastIndexOf from index 0, which visits one of them.
    expectTableRunStops("lastIndexOf from the start of a long array", R"((let "a" "i") (assign "a" (array 1)) (assign "i" 0)
        (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "a" (call $a "concat" (array $a))))))",
                        R"((loop true 0 false (list (call $a "lastIndexOf" (array 2 0)))))",
                        MSRPErrorCode::kInstructionBudget);
    // A map of 10,000 members logged as an event again and again: the
    // measuring walk is charged (and past the count, not made).
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    const std::string members = R"((let "m" "i") (assign "m" (object)) (assign "i" 0)
        (loop (lt $i 10000) (assign "i" (add $i 1)) false (list (set $m (add "k" $i) $i))))";
    expectEditingStops("logEvent of a large map", members, R"((let "log") (assign "log" (require "internal.eventLogger"))
        (loop true 0 false (list (log "made" 1 $m))) (return 0))",
                       event, "instruction budget");
    // Counted: a parameter added in front of 9,999 and removed again, a
    // hundred times; each moves them all, at least a quarter of an
    // instruction a parameter.
    {
        foundation::Value::Dictionary many;
        for (int i = 0; i < 9999; ++i) many.emplace("p" + std::to_string(100000 + i), i);
        MSRPInterpreterEventEditing editing;
        MSRError error;
        editing.runtime().setTimeLimit(kTableSetUpLimit);
        ASSERT_TRUE(editing.loadProgram(callbackProgram("", R"((let "i") (assign "i" 0)
            (loop (lt $i 100) (assign "i" (add $i 1)) false (list (call $e "setParamValue" (array "a" 1))
              (call $e "setParamValue" (array "a" (null))))) (return 0))"),
                                        &error));
        editing.runtime().setInstructionBudget(int64_t{1} << 40);
        EXPECT_FALSE(editing.handleEvent(MSRPEvent("checkout", 1000.5, std::move(many)), &error))
            << editing.failureReason();
        EXPECT_EQ(error.code(), 0);
        EXPECT_GE(editing.runtime().getInstructionCount(), 100 * 2 * 9999 / 4)
            << "parameters moved in the working event without their charge";
    }

    // Counted: a sort without a comparator compares the text forms of the
    // numbers, more than three evaluations' work a comparison (and there
    // are at least n/2 log n of them); blanks trimmed before a number is
    // read cost a quarter of an instruction a byte, however few.
    const struct {
        const char* what;
        std::string top;
        std::string program;
        int64_t atLeast;
    } counted[] = {
        {"a sort of 4,096 numbers without a comparator", R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
            (loop (lt $i 4096) (assign "i" (add $i 1)) false (list (call $a "push" (array (div (mod (mul $i 7919) 4099) 7))))))",
         R"((call $a "sort" (array)))", 2048 * 12 * 3},
        {"255 blanks read as a number a thousand times", R"((let "b" "i") (assign "b" ")" + std::string(255, ' ') + R"("))",
         R"((assign "i" 0) (loop (lt $i 1000) (assign "i" (add $i 1)) false (list (sub $b 0))))", 1000 * 60},
    };
    for (const auto& c : counted) {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(c.top, runtime, &error);
        ASSERT_EQ(error, 0) << c.what;
        runtime.resetInstructionCount();
        ProgramOutcome outcome = runProgram(c.program, &runtime);
        EXPECT_EQ(outcome.error, 0) << c.what << ": " << MSRPRuntime::stopDescription(outcome.stop);
        EXPECT_GE(runtime.getInstructionCount(), c.atLeast) << c.what << ": work done without its charge";
    }
}

// Each bound accepts its number and refuses one more, with its own stop.
TEST(Cost, TheBoundsOnParametersAcceptTheirNumberAndRefuseOneMore) {
    const int eventBound = static_cast<int>(MSRPInterpreterEventEditing::kMaxEventParameters);
    const MSRPEvent event("checkout", 1000.5, {{"value", 3}});
    for (int extra : {0, 1}) {
        // The event has one; the program sets the rest in the order they are kept.
        MSRPInterpreterEventEditing editing;
        MSRError error;
        // What is checked is the bound, not the time: a slow machine may take seconds.
        editing.runtime().setTimeLimit(kTableSetUpLimit);
        ASSERT_TRUE(editing.loadProgram(callbackProgram("", R"((let "i") (assign "i" 100000)
            (loop (lt $i )" + std::to_string(100000 + eventBound - 1 + extra) + R"() (assign "i" (add $i 1)) false
              (list (call $e "setParamValue" (array (add "p" $i) 1)))) (return 0))"),
                                        &error));
        const bool edited = editing.handleEvent(event, &error);
        if (extra == 0) {
            EXPECT_TRUE(edited) << editing.failureReason();
            EXPECT_EQ(editing.eventContext().outputEvent->parameters().size(), static_cast<size_t>(eventBound));
        } else {
            EXPECT_FALSE(edited);
            EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
            EXPECT_EQ(editing.runtime().lastStop(), MSRPErrorCode::kEventParameters);
            EXPECT_EQ(editing.failureReason(), "parameters of an event");
        }
    }
    const int functionBound = static_cast<int>(MSRPFunctionValue::kMaxParameters);
    for (int extra : {0, 1}) {
        MSRPRuntime runtime;
        ProgramOutcome outcome = runProgram(R"((let "names" "i" "f") (assign "names" (array)) (assign "i" 0)
            (loop (lt $i )" + std::to_string(functionBound + extra) + R"() (assign "i" (add $i 1)) false
              (list (call $names "push" (array (add "v" $i)))))
            (assign "f" (lambda "f" $names (return $v0))) (f 7))",
                                            &runtime);
        if (extra == 0) {
            EXPECT_EQ(outcome.error, 0) << MSRPRuntime::stopDescription(outcome.stop);
            EXPECT_EQ(outcome.result, "7");
        } else {
            EXPECT_EQ(outcome.error, MSRPErrorCode::kInstructionBudget);
            EXPECT_EQ(outcome.stop, MSRPErrorCode::kFunctionParameters);
            EXPECT_STREQ(MSRPRuntime::stopDescription(outcome.stop), "parameters of a function");
        }
    }
}

// A run whose budget ends in the middle of a map's change: the map is as it
// was before the instruction, and later runs find and change its entries.
TEST(Cost, AStopInsideATableChangeLeavesTheTableWhole) {
    // "s" and "t" are equal texts of a mebibyte, distinct objects; "big"
    // holds twenty short keys (an indexed map), "small" holds "s".
    const std::string top = R"((let "s" "t" "big" "small" "i") (assign "s" "x") (assign "i" 0)
        (loop (lt $i 20) (assign "i" (add $i 1)) false (list (assign "s" (add $s $s))))
        (assign "t" (add $s ""))
        (assign "big" (object)) (assign "i" 0)
        (loop (lt $i 20) (assign "i" (add $i 1)) false (list (set $big (add "k" $i) $i)))
        (assign "small" (object)) (set $small $s 1))";
    const struct {
        const char* what;
        const char* map;
        const char* write;     // stopped by a budget too small for hashing or comparing a mebibyte
        size_t entries;        // before and after the stopped write
    } cases[] = {
        {"a new long key hashed for the index", "big", R"((set $big $s 1))", 20},
        {"an equal long key compared", "small", R"((set $small $t 2))", 1},
    };
    for (const auto& c : cases) {
        MSRPRuntime runtime;
        int error = 0;
        evaluateProgram(top, runtime, &error);
        ASSERT_EQ(error, 0) << c.what << ": " << MSRPRuntime::stopDescription(runtime.lastStop());
        const auto entries = [&] { return runtime.globalScope().valueForName(c.map).map()->propertyMap().count(); };
        ASSERT_EQ(entries(), c.entries) << c.what;
        runtime.resetInstructionCount();
        runtime.setInstructionBudget(1000);
        ProgramOutcome stopped = runProgram(c.write, &runtime);
        EXPECT_EQ(stopped.stop, MSRPErrorCode::kInstructionBudget) << c.what;
        EXPECT_EQ(entries(), c.entries) << c.what << ": the stopped write added an entry";
        runtime.setInstructionBudget(MSRPExecution::kDefaultInstructionBudget);
        runtime.resetInstructionCount();
        ProgramOutcome later = runProgram(std::string("(set $") + c.map + " $t 3) (get $" + c.map + " $s)", &runtime);
        EXPECT_EQ(later.error, 0) << c.what;
        EXPECT_EQ(later.result, "3") << c.what << ": the key written later is not the one read";
        EXPECT_EQ(entries(), c.map == std::string("big") ? c.entries + 1 : c.entries) << c.what;
    }
}

}  // namespace
