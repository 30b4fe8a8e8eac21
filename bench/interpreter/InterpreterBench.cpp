// The event-editing interpreter beside Lua 5.4 on the same two algorithms: a
// recursive fib(27) and building then summing a 100,000-element array. Lua
// runs as a child process and times itself (os.clock around the work only),
// so its start-up is not counted; its figures are reported as manual time.
//
//   build/release/bench/interpreter/interpreter_bench
//
// The ratio is interpreter time / Lua time for the same benchmark name.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

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

BENCHMARK(BM_Fib27_Interpreter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fib27_Lua)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ArraySum_Interpreter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArraySum_Lua)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
