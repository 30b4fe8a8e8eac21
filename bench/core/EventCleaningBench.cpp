// Validating and cleaning one typical event of the application: a public
// event with ten parameters of mixed kinds, built into an MSREvent the way
// the logging path does it (origin and name checks, parameter cleaning, the
// "_o" parameter).

#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSREvent.h"

#include <benchmark/benchmark.h>

namespace {

using foundation::Value;

MSRObjectDictionary typicalParameters() {
    return {
        {"form", Value("logarithmic")}, {"steps", Value(12)},
        {"parameter_a", Value(2.5)},    {"parameter_b", Value(-1)},
        {"parameter_c", Value("1/2")},  {"parameter_d", Value(0.75)},
        {"language", Value("de")},      {"screen", Value("CalculateViewController")},
        {"from_history", Value(false)}, {"duration_ms", Value(143)},
    };
}

void BM_CleanTenParameters(benchmark::State& state) {
    const MSRObjectDictionary parameters = typicalParameters();
    for (auto _ : state) {
        benchmark::DoNotOptimize(MSRCleanEventParameters(parameters, "kal_calculate", true, false));
    }
}
BENCHMARK(BM_CleanTenParameters);

void BM_BuildPublicEventWithTenParameters(benchmark::State& state) {
    const MSRObjectDictionary parameters = typicalParameters();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            MSREvent::initWithOrigin("app", true, "kal_calculate", 1'700'000'000.0, 0, parameters));
    }
}
BENCHMARK(BM_BuildPublicEventWithTenParameters);

}  // namespace
