// Events per second through the event editor with an edit callback of about
// 50 instructions (reads the name and two parameters, renames, sets and
// removes parameters) on every event: the interpreter's share of the event
// road, to set beside event_road_bench's figure for the road without
// programs.
//
//   build/release/bench/interpreter/event_editing_bench

#include <benchmark/benchmark.h>

#include <string>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

const char* const kProgram = R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (if (ne (call $e "getEventName" (array)) "exercise_done") (list (return 0)))
      (let "score") (assign "score" (call $e "getParamValue" (array "score")))
      (let "attempts") (assign "attempts" (call $e "getParamValue" (array "attempts")))
      (call $e "setEventName" (array "exercise_scored"))
      (call $e "setParamValue" (array "weighted" (mul $score (add $attempts 1))))
      (call $e "setParamValue" (array "screen" (null)))
      (return 0))
    (object "type" "edit")))
)";

// The event both benchmarks hand the program: five parameters of each kind.
MSRPEvent exerciseDone() {
    return MSRPEvent("exercise_done", 1000,
                     {{"score", 0.875}, {"attempts", 2}, {"screen", "CalculateViewController"},
                      {"exercise", "log_base_change"}, {"difficulty", 3}});
}

void BM_EventEditing_EditCallback(benchmark::State& state) {
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(kProgram, "rules");
    MSRPInterpreterEventEditing editing;
    MSRError error;
    if (!editing.loadProgram(*program, &error)) {
        state.SkipWithError("the program did not load");
        return;
    }
    const MSRPEvent event = exerciseDone();
    int64_t instructions = 0;
    for (auto _ : state) {
        bool edited = editing.handleEvent(event, &error);
        benchmark::DoNotOptimize(edited);
        instructions = editing.runtime().getInstructionCount();
    }
    state.counters["instructions"] = static_cast<double>(instructions);
    state.SetItemsProcessed(state.iterations());
}

// The same callback in a program that keeps about 40 MiB from its load
// (200,000 maps of two members) and makes nothing more: what an event costs
// when a collection after it would walk all that the program keeps.
void BM_EventEditing_KeptObjects(benchmark::State& state) {
    const std::string keep = R"((let "kept" "i") (assign "kept" (array)) (assign "i" 0)
        (loop (lt $i 200000) (assign "i" (add $i 1)) false (list (set $kept $i (object "k" $i "v" "x")))))";
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(keep + kProgram, "rules");
    MSRPInterpreterEventEditing editing;
    editing.runtime().setInstructionBudget(int64_t{1} << 30);
    MSRError error;
    if (!program || !editing.loadProgram(*program, &error)) {
        state.SkipWithError("the program did not load");
        return;
    }
    editing.runtime().setInstructionBudget(MSRPExecution::kDefaultInstructionBudget);
    const MSRPEvent event = exerciseDone();
    int64_t instructions = 0;
    for (auto _ : state) {
        bool edited = editing.handleEvent(event, &error);
        benchmark::DoNotOptimize(edited);
        instructions += editing.runtime().getInstructionCount();
    }
    state.counters["instructions"] = static_cast<double>(instructions) / static_cast<double>(state.iterations());
    state.counters["kept_MiB"] = static_cast<double>(editing.runtime().memoryAccount().used) / (1 << 20);
}

// Callbacks that work on a large working event until the budget stops them:
// their time per charged instruction, set against an evaluation's
// (interpreter_bench: BM_Fib27_Interpreter), shows whether the event's
// methods are charged what they cost.
void BM_EventEditing_CostlyCallback(benchmark::State& state) {
    static const struct {
        const char* name;
        const char* body;
    } callbacks[] = {
        {"getParams of 5,000 parameters", R"((loop true 0 false (list (call $e "getParams" (array)))))"},
        {"setParamValue of 5,000 names in no order, and removal", R"((let "i") (assign "i" 0)
            (loop true 0 false (list (assign "i" (mod (add $i 7919) 5000))
              (call $e "setParamValue" (array (add "q" $i) 1)) (call $e "setParamValue" (array (add "p" (add $i 10000)) (null))))))"},
    };
    const auto& callback = callbacks[static_cast<size_t>(state.range(0))];
    state.SetLabel(callback.name);
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(
        std::string(R"((function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback"))
            (register 0 (lambda "cb" (array "e") )") + callback.body + R"() (object "type" "edit"))))",
        "rules");
    MSRPInterpreterEventEditing editing;
    MSRError error;
    if (!program || !editing.loadProgram(*program, &error)) {
        state.SkipWithError("the program did not load");
        return;
    }
    foundation::Value::Dictionary parameters;
    for (int i = 0; i < 5000; ++i) parameters.emplace("p" + std::to_string(10000 + i), i);
    const MSRPEvent event("exercise_done", 1000, std::move(parameters));
    int64_t charged = 0;
    for (auto _ : state) {
        editing.handleEvent(event, &error);
        charged += editing.runtime().getInstructionCount();
    }
    state.counters["instructions"] = static_cast<double>(charged) / static_cast<double>(state.iterations());
    state.counters["ns_per_instruction"] = benchmark::Counter(
        static_cast<double>(charged) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_EventEditing_EditCallback);
BENCHMARK(BM_EventEditing_KeptObjects)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EventEditing_CostlyCallback)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
