// The event-editing interpreter beside Lua 5.4 on the same two algorithms: a
// recursive fib(27) and building then summing a 100,000-element array. Lua
// runs as a child process and times itself (os.clock around the work only),
// so its start-up is not counted; its figures are reported as manual time.
//
//   build/release/bench/interpreter/interpreter_bench
//
// The ratio is interpreter time / Lua time for the same benchmark name.
//
// The native work that grows with a text, on texts of the given KiB: a
// search with a pattern that makes RE2 leave its DFA for its NFA, case
// mapping, the UTF-16 copy and a loop over a text's characters. Each reports
// the instructions it was charged; set against the time of one evaluation
// (Fib27's time over its instructions) they show whether a charge matches
// the work.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/support/MSRError.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

const char* const kFibDefinition = R"(
    (function "fib" (array "n")
      (if (lt $n 2) (list (return $n)))
      (return (add (fib (sub $n 1)) (fib (sub $n 2))))))";

const char* const kFibCall = "(fib 27)";

const char* const kArraySum = R"(
    (block
      (let "a" "i" "s")
      (assign "a" (array)) (assign "i" 0)
      (loop (lt $i 100000) (assign "i" (add $i 1)) false (list (set $a $i $i)))
      (assign "s" 0) (assign "i" 0)
      (loop (lt $i (get $a "length")) (assign "i" (add $i 1)) false (list (assign "s" (add $s (get $a $i)))))
      $s))";

const char* const kLuaFib = R"(
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
local start = os.clock()
local result = fib(27)
io.write(os.clock() - start, " ", result))";

const char* const kLuaArraySum = R"(
local start = os.clock()
local a = {}
local i = 0
while i < 100000 do a[i + 1] = i i = i + 1 end
local s = 0
i = 0
while i < #a do s = s + a[i + 1] i = i + 1 end
io.write(os.clock() - start, " ", s))";

std::vector<MSRPBRuntimeEntity> assemble(const char* text) {
    std::string error;
    auto statements = ProgramAssembler::assembleStatements(text, &error);
    if (!statements) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    return *statements;
}

void runInterpreter(benchmark::State& state, const char* definitions, const char* call, double expected) {
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 40);
    MSRError error;
    if (definitions) runtime.executeStatements(assemble(definitions), &error);
    std::vector<MSRPBRuntimeEntity> work = assemble(call);
    for (auto _ : state) {
        MSRPValue result = runtime.executeStatements(work, &error);
        if (!result.isNumber() || result.numberValue() != expected) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    state.counters["instructions"] = static_cast<double>(runtime.getInstructionCount()) /
                                     static_cast<double>(state.iterations());
}

void runLua(benchmark::State& state, const char* script, double expected) {
    std::string command = "lua5.4 -e '" + std::string(script) + "'";
    for (auto _ : state) {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        double seconds = 0, result = 0;
        if (!pipe || std::fscanf(pipe.get(), "%lf %lf", &seconds, &result) != 2 || result != expected) {
            state.SkipWithError("lua5.4 did not run");
            break;
        }
        state.SetIterationTime(seconds);
    }
}

void BM_Fib27_Interpreter(benchmark::State& state) { runInterpreter(state, kFibDefinition, kFibCall, 196418); }
void BM_Fib27_Lua(benchmark::State& state) { runLua(state, kLuaFib, 196418); }
void BM_ArraySum_Interpreter(benchmark::State& state) { runInterpreter(state, nullptr, kArraySum, 4999950000.0); }
void BM_ArraySum_Lua(benchmark::State& state) { runLua(state, kLuaArraySum, 4999950000.0); }

// One call of `call` on $s, a text of `state.range(0)` KiB of "ab" built
// beforehand (of `seed` doubled), under a budget that never stops it.
void runMethodOnText(benchmark::State& state, const std::string& call, const std::string& seed = "ab") {
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 50);
    MSRError error;
    const int64_t copies = state.range(0) * 1024 / static_cast<int64_t>(seed.size());
    const std::string build = R"((let "s" "i") (assign "s" ")" + seed + R"(") (assign "i" 1)
        (loop (lt $i )" + std::to_string(copies) + R"() (assign "i" (mul $i 2)) false
          (list (assign "s" (add $s $s)))))";
    runtime.executeStatements(assemble(build.c_str()), &error);
    std::vector<MSRPBRuntimeEntity> work = assemble(call.c_str());
    int64_t charged = 0;
    // What a call makes is released on the runtime's account.
    MSRPMemory::UseAccount account(runtime.memoryAccount());
    for (auto _ : state) {
        runtime.resetInstructionCount();
        runtime.executeStatements(work, &error);
        charged = runtime.getInstructionCount();
        runtime.collectGarbage();
        if (error.code() != 0) {
            const std::string stop = std::string("stopped by ") + MSRPRuntime::stopDescription(runtime.lastStop());
            state.SkipWithError(stop.c_str());
            break;
        }
    }
    state.counters["instructions"] = static_cast<double>(charged);
    state.SetBytesProcessed(state.iterations() * state.range(0) * 1024);
}

constexpr const char* kNfaPattern = "[ab]*a[ab]{1000}[ab]{1000}c";

void BM_PatternScan(benchmark::State& state) {
    runMethodOnText(state, std::string(R"((call $s "search" (array ")") + kNfaPattern + R"(")))");
    RE2::Options options;
    options.set_max_mem(MSRPPatternCache::kPatternMemory);
    state.counters["program_size"] = RE2(kNfaPattern, options).ProgramSize();
}
// ASCII maps at about 6 ns a byte; capital sigmas between full stops, each
// lowered by what surrounds it, were the slowest text found (about 20 ns).
void BM_CaseMapping(benchmark::State& state) { runMethodOnText(state, R"((call $s "toUpperCase" (array)))"); }
void BM_CaseMappingSigmas(benchmark::State& state) {
    runMethodOnText(state, R"((call $s "toLowerCase" (array)))", "\u03A3.");
}
void BM_UTF16Copy(benchmark::State& state) { runMethodOnText(state, R"((call $s "charAt" (array 1)))"); }

void BM_ForOfText(benchmark::State& state) { runMethodOnText(state, R"((forof "c" $s (list)))"); }

// Programs built to cost more than they are charged, each run under the
// default budget until a bound stops it: the time per charged instruction,
// set against Fib27's, shows whether any native work outruns its charge.
// `"key0" 0 "key1" 0 ...`: 5,000 keys and their values.
std::string manyKeys() {
    std::string keys;
    for (int i = 0; i < 5000; ++i) keys += " \"key" + std::to_string(i) + "\" 0";
    return keys;
}

struct CostlyProgram {
    const char* name;
    std::string setup;  // run once, unbounded
    std::string work;   // run per iteration under the default bounds
};

std::string costlyText(const char* seed, int doublings) {
    return R"((let "s" "i") (assign "s" ")" + std::string(seed) + R"(") (assign "i" 0)
        (loop (lt $i )" + std::to_string(doublings) + R"() (assign "i" (add $i 1)) false (list (assign "s" (add $s $s)))))";
}

const std::vector<CostlyProgram>& costlyPrograms() {
    static const std::vector<CostlyProgram> programs = {
        {"indexOf of 4 MiB texts",
         costlyText("x", 22) + R"( (let "u" "v" "a") (assign "u" (add $s "a")) (assign "v" (add $s "b"))
            (assign "a" (array $v)) (assign "i" 0)
            (loop (lt $i 14) (assign "i" (add $i 1)) false (list (assign "a" (call $a "concat" (array $a))))))",
         R"((call $a "indexOf" (array $u)))"},
        {"switch over 4 MiB texts", "", R"((switch $u $a $a))"},
        {"text of 4 MiB of blanks to a number", costlyText(" ", 22), R"((loop true 0 false (list (sub $s 0))))"},
        {"counting loop over 20,000 names",
         R"((let "names") (assign "names" (array)) (assign "i" 0)
            (loop (lt $i 20000) (assign "i" (add $i 1)) false (list (call $names "push" (array (add "v" $i))))))",
         R"((for $names true 0 (list)))"},
        {"calls with 8,000 parameters",
         R"((let "names" "f") (assign "names" (array)) (assign "i" 0)
            (loop (lt $i 8000) (assign "i" (add $i 1)) false (list (call $names "push" (array (add "w" $i)))))
            (assign "f" (lambda "f" $names (return 1))))",
         R"((loop true 0 false (list (f))))"},
        {"pattern of 16 KiB of groups", costlyText("()", 13), R"((loop true 0 false (list (call "x" "search" (array $s)))))"},
        {"join of arrays nested 7 deep", costlyText("x", 18) + R"( (let "a") (assign "a" (array $s)) (assign "i" 0)
            (loop (lt $i 7) (assign "i" (add $i 1)) false (list (assign "a" (array $a $a)))))",
         R"((loop true 0 false (list (call $a "join" (array "")))))"},
        {"sort of 196,608 numbers without a comparator",
         R"((let "n" "i") (assign "n" (array)) (assign "i" 0)
            (loop (lt $i 196608) (assign "i" (add $i 1)) false (list (call $n "push" (array (mod (mul $i 7919) 100003))))))",
         R"((loop true 0 false (list (call $n "sort" (array)))))"},
        {"text of 255 blanks to a number", costlyText(std::string(255, ' ').c_str(), 0),
         R"((loop true 0 false (list (sub $s 0))))"},
        // Every text hashed alike (BM_CostlyProgram's argument past this list).
        {"object literals of 5,000 keys", "", R"((loop true 0 false (list (object )" + manyKeys() + ")))"},
        {"lambdas of 5,000 parameters", R"((let "names" "i") (assign "names" (array)) (assign "i" 0)
            (loop (lt $i 5000) (assign "i" (add $i 1)) false (list (call $names "push" (array (add "name" $i))))))",
         R"((loop true 0 false (list (lambda "f" $names (return 1)))))"},
    };
    return programs;
}

// The programs from this one on run with every text hashed alike: each
// probe of a table is charged, so a bucket of all names costs what it is.
constexpr size_t kFirstHashedAlike = 9;

void BM_CostlyProgram(benchmark::State& state) {
    const CostlyProgram& program = costlyPrograms()[static_cast<size_t>(state.range(0))];
    state.SetLabel(program.name);
    // The setup of a program whose own is empty is the one before it.
    size_t from = static_cast<size_t>(state.range(0));
    while (from > 0 && costlyPrograms()[from].setup.empty()) --from;
    const bool alike = static_cast<size_t>(state.range(0)) >= kFirstHashedAlike;
    MSRPText::setHashesAlikeForTesting(alike);
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 50);
    MSRError error;
    runtime.executeStatements(assemble(costlyPrograms()[from].setup.c_str()), &error);
    runtime.setInstructionBudget(MSRPExecution::kDefaultInstructionBudget);
    std::vector<MSRPBRuntimeEntity> work = assemble(program.work.c_str());
    int64_t charged = 0;
    MSRPMemory::UseAccount account(runtime.memoryAccount());
    for (auto _ : state) {
        runtime.resetInstructionCount();
        runtime.executeStatements(work, &error);
        charged += runtime.getInstructionCount();
        runtime.collectGarbage();
    }
    state.counters["instructions"] = static_cast<double>(charged) / static_cast<double>(state.iterations());
    state.counters["ns_per_instruction"] = benchmark::Counter(
        static_cast<double>(charged) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["peak_MiB"] = static_cast<double>(runtime.memoryAccount().peak) / (1 << 20);
    runtime.collectGarbage();
    MSRPText::setHashesAlikeForTesting(false);
}

// A collection of what a program keeps, charged as the collection after an
// event is: 200,000 kept maps of two members (about 40 MiB on the account:
// what a program that keeps 42 MB holds), or one array of 2,000,000 numbers.
// Its ns_per_instruction set against Fib27's shows whether the walk's
// charge matches its time.
void BM_CollectKept(benchmark::State& state) {
    const char* const kKept[] = {
        R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
           (loop (lt $i 200000) (assign "i" (add $i 1)) false (list (set $a $i (object "k" $i "v" "x")))))",
        R"((let "a" "i") (assign "a" (array)) (assign "i" 0)
           (loop (lt $i 2000000) (assign "i" (add $i 1)) false (list (set $a $i $i))))",
    };
    MSRPRuntime runtime;
    runtime.setInstructionBudget(int64_t{1} << 50);
    runtime.setMemoryLimit(int64_t{1} << 30);
    MSRError error;
    runtime.executeStatements(assemble(kKept[state.range(0)]), &error);
    int64_t charged = 0;
    for (auto _ : state) {
        runtime.resetInstructionCount();
        if (!runtime.collectGarbageWithinBudget()) {
            state.SkipWithError("the collection stopped");
            break;
        }
        charged += runtime.getInstructionCount();
    }
    state.counters["instructions"] = static_cast<double>(charged) / static_cast<double>(state.iterations());
    state.counters["ns_per_instruction"] = benchmark::Counter(
        static_cast<double>(charged) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["MiB"] = static_cast<double>(runtime.memoryAccount().used) / (1 << 20);
}

BENCHMARK(BM_CostlyProgram)->DenseRange(0, 10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatternScan)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaseMapping)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaseMappingSigmas)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UTF16Copy)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForOfText)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fib27_Interpreter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CollectKept)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fib27_Lua)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ArraySum_Interpreter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArraySum_Lua)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
