// The load of a served program: a top-level function of n literals, loaded
// into a fresh editor each time, with what it held on the memory account,
// the instructions it was charged and the resident memory it grew by (the
// program itself, as the host holds it, made before).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/support/MSRError.h"
#include "bench/support/ResidentMemory.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

using bench::residentField;

MSRPBProgram functionOfLiterals(size_t literals) {
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleProgram(R"((function "f" (array) true))");
    ProgramAssembler::repeatLastArgument(*program, 0, literals);
    return *program;
}

void BM_ProgramLoad(benchmark::State& state) {
    const MSRPBProgram program = functionOfLiterals(static_cast<size_t>(state.range(0)));
    int64_t peak = 0, charged = 0, grown = 0;
    bool loaded = false;
    for (auto _ : state) {
        state.PauseTiming();
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const int64_t before = residentField("VmRSS:");
        state.ResumeTiming();
        {
            MSRPInterpreterEventEditing editing;
            MSRError error;
            loaded = editing.loadProgram(program, &error);
            peak = editing.runtime().memoryAccount().peak;
            charged = editing.runtime().getInstructionCount();
        }
        state.PauseTiming();
        grown = std::max(grown, residentField("VmHWM:") - before);
        state.ResumeTiming();
    }
    state.SetLabel(loaded ? "loaded" : "refused");
    state.counters["account_MiB"] = static_cast<double>(peak) / (1 << 20);
    state.counters["resident_MiB"] = static_cast<double>(grown) / (1 << 20);
    state.counters["instructions"] = static_cast<double>(charged);
}

}  // namespace

BENCHMARK(BM_ProgramLoad)->Arg(1000)->Arg(99997)->Arg(600000)->Unit(benchmark::kMillisecond);
