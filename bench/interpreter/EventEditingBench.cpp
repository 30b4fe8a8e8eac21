// Events per second through the event editor with an edit callback of about
// 50 instructions (reads the name and two parameters, renames, sets and
// removes parameters) on every event: the interpreter's share of the event
// road, to set beside event_road_bench's figure for the road without
// programs.
//
//   build/release/bench/interpreter/event_editing_bench

#include <benchmark/benchmark.h>

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

void BM_EventEditing_EditCallback(benchmark::State& state) {
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(kProgram, "rules");
    MSRPInterpreterEventEditing editing;
    MSRError error;
    if (!editing.loadProgram(*program, &error)) {
        state.SkipWithError("the program did not load");
        return;
    }
    const MSRPEvent event("exercise_done", 1000,
                          {{"score", 0.875}, {"attempts", 2}, {"screen", "CalculateViewController"},
                           {"exercise", "log_base_change"}, {"difficulty", 3}});
    int64_t instructions = 0;
    for (auto _ : state) {
        bool edited = editing.handleEvent(event, &error);
        benchmark::DoNotOptimize(edited);
        instructions = editing.runtime().getInstructionCount();
    }
    state.counters["instructions"] = static_cast<double>(instructions);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_EventEditing_EditCallback);
