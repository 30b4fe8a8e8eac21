// Cost of cancelling and of the four operations of the exact arithmetic on
// operands as large as user input can make them (twelve-digit numerators and
// denominators), in fraction mode, LaTeX lines included.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "Calvaro/engine/KalMathOperation.h"

namespace {

Digit fraction(double z, double n) { return Digit(z, n); }

// Operand pairs: coprime twelve-digit parts (the case that used to count down
// through every candidate), a large common divisor, and parts near 2^62.
struct Pair {
    const char* name;
    double z;
    double n;
};
const Pair kPairs[] = {
    {"coprime_5e11", 549755813881.0, 999999999989.0},
    {"common_6857", 600851475143.0, 6857.0 * 87625997.0},
    {"near_2^62", 4611686018427387904.0, 3458764513820540928.0},
};

void BM_CancelDown(benchmark::State& state) {
    const Pair& pair = kPairs[state.range(0)];
    KalMathOperation operation;
    const Digit d = fraction(pair.z, pair.n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(operation.cancelDown(d));
    }
    state.SetLabel(pair.name);
}
BENCHMARK(BM_CancelDown)->DenseRange(0, 2);

// The counting-down search the gcd replaced, on a small operand, to show the
// cost per candidate: multiply by min(|z|, |n|) for the old cost of a pair.
void BM_CancelDownCountingDownReference(benchmark::State& state) {
    const int64_t z = state.range(0) + 1;  // coprime with m
    const int64_t m = state.range(0);
    for (auto _ : state) {
        int64_t found = 1;
        for (int64_t k = m; k >= 2; --k) {
            if (z % k == 0 && m % k == 0) {
                found = k;
                break;
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * m);
}
BENCHMARK(BM_CancelDownCountingDownReference)->Arg(1000000);

const Digit kLeft = fraction(123456789012.0, 987654321098.0);
const Digit kRight = fraction(549755813881.0, 999999999989.0);

KalMathOperation& fractionMode() {
    static KalMathOperation operation;
    operation.setWithFraction(true);
    return operation;
}

// One operation of the four on the same two fractions.
template <typename Operation>
void BM_Arithmetic(benchmark::State& state, Operation apply) {
    KalMathOperation& operation = fractionMode();
    for (auto _ : state) benchmark::DoNotOptimize(apply(operation));
}
BENCHMARK_CAPTURE(BM_Arithmetic, Add, [](KalMathOperation& o) { return o.add(kLeft, kRight); });
BENCHMARK_CAPTURE(BM_Arithmetic, Subtract, [](KalMathOperation& o) { return o.subtract(kLeft, kRight); });
BENCHMARK_CAPTURE(BM_Arithmetic, Multiply, [](KalMathOperation& o) { return o.multiply(kLeft, kRight); });
BENCHMARK_CAPTURE(BM_Arithmetic, Divide, [](KalMathOperation& o) { return o.divide(kLeft, kRight, false); });

// A product whose result cancels by a large divisor: cancelling line included.
void BM_MultiplyCancelling(benchmark::State& state) {
    KalMathOperation& operation = fractionMode();
    const Digit u = fraction(600851475143.0, 7.0);
    const Digit v = fraction(3.0, 6857.0);
    for (auto _ : state) benchmark::DoNotOptimize(operation.multiply(u, v));
}
BENCHMARK(BM_MultiplyCancelling);

}  // namespace
