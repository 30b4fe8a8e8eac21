// One whole calculation per form (input parsing, solution steps and chart
// description), as the Calculate screen runs it; and the dearest inputs of at
// most 12 characters per field that we know of. Run with
// --benchmark_repetitions=N for the median.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

struct Exercise {
    int64_t mode;
    std::optional<std::string> a, b, c, d, x, z;
};

void runExercise(benchmark::State& state, const Exercise& exercise) {
    KalStringOutput output;
    KalMathOperation operation(output);
    size_t steps = 0;
    size_t points = 0;
    for (auto _ : state) {
        output.setSolutionSteps({});
        output.setSolutionStepCounter(0);
        operation.setWithFraction(false);
        KalPowerAndLogarithmicFunction calculator(operation, output);
        const CalculatorResult result =
            calculator.calculate(exercise.a, "aTextField", exercise.b, "bTextField", exercise.c, "cTextField",
                                 exercise.d, "dTextField", exercise.x, "xTextField", exercise.z, "zTextField",
                                 exercise.mode);
        benchmark::DoNotOptimize(result);
        steps = result.solutionSteps ? result.solutionSteps->size() : 0;
        points = 0;
        for (const auto& row : result.chartSteps) {
            for (const auto& series : row) points += series->dataSet.size();
        }
    }
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["points"] = static_cast<double>(points);
}

void BM_CalculateLogarithmicDefault(benchmark::State& state) { runExercise(state, {0, {}, {}, {}, {}, {}, {}}); }
void BM_CalculateExponentialDefault(benchmark::State& state) { runExercise(state, {1, {}, {}, {}, {}, {}, {}}); }
void BM_CalculateLogarithmicVaried(benchmark::State& state) {
    runExercise(state, {0, "3/4", "-2.5/3", "\xCF\x80", "1/7", "2", "-3"});
}
void BM_CalculateExponentialVaried(benchmark::State& state) {
    runExercise(state, {1, "e", "3/4", "-1/3", "2.25/2", "-2", "3/2"});
}

BENCHMARK(BM_CalculateLogarithmicDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalculateExponentialDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalculateLogarithmicVaried)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalculateExponentialVaried)->Unit(benchmark::kMicrosecond);

// Candidates for the dearest input of at most 12 characters per field: huge
// shifts that widen the chart ranges, decimals with hundreds of places to
// expand, numbers at the edge of the double range, and large fractions to
// cancel.
const Exercise kWorstCandidates[] = {
    {0, "2", "0.0000000001", "999999999999", "-99999999999", "999999999999", "0.0000000001"},
    {1, "2", "0.0000000001", "-99999999999", "999999999999", "999999999999", "0.0000000001"},
    {1, "1.0000000001", "1E-300", "9E300", "-9E300", "9E300", "1E-300"},
    {0, "1E-300/7", "1E-299/3", "1E-298/9", "1E-297/11", "1E-296/13", "1E-295/17"},
    {1, "99999989/97", "99999971/89", "99999959/83", "99999941/79", "99999931/73", "99999929/71"},
    {0, "9E307/1E-307", "1E-307/9E307", "9E307/1E-307", "-9E307/1E-37", "1E308/3", "1E-308/3"},
    {1, "1.5/2", "-999999.9999", "999999.9999", "-999999.9999", "999999.9999", "0.0000000001"},
    {0, "99999999999/", "1/2", "", "", "", ""},
};

void BM_WorstInput(benchmark::State& state) { runExercise(state, kWorstCandidates[state.range(0)]); }
BENCHMARK(BM_WorstInput)->DenseRange(0, static_cast<int>(std::size(kWorstCandidates)) - 1)->Unit(benchmark::kMicrosecond);

}  // namespace
