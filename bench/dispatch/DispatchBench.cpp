// The cost of handing work to a serial queue running on its own thread.
#include <benchmark/benchmark.h>

#include <atomic>

#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"

namespace {

// One async hop as the worker queue sees it in steady use: the caller queues a
// block and goes on. Measured over a batch, ending when the queue has run every
// block, so the figure is the throughput cost of one hop.
void BM_AsyncHop(benchmark::State& state) {
    auto queue = dispatch::SerialQueue::create("bench.async");
    std::atomic<long> ran{0};
    long queued = 0;
    for (auto _ : state) {
        queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        ++queued;
    }
    queue->sync([] {});
    if (ran.load() != queued) state.SkipWithError("blocks lost");
    state.SetItemsProcessed(queued);
}
BENCHMARK(BM_AsyncHop)->UseRealTime();

// A round trip: queue a block and wait until it has run on the other thread
// (the latency of one hop, including waking the queue's thread).
void BM_AsyncHopRoundTrip(benchmark::State& state) {
    auto queue = dispatch::SerialQueue::create("bench.roundtrip");
    dispatch::TimedSemaphore done;
    for (auto _ : state) {
        queue->async([&done] { done.signal(); });
        done.wait();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AsyncHopRoundTrip)->UseRealTime();

// sync onto another queue: the hop and the wait for it.
void BM_SyncHop(benchmark::State& state) {
    auto queue = dispatch::SerialQueue::create("bench.sync");
    long value = 0;
    for (auto _ : state) {
        queue->sync([&value] { ++value; });
    }
    benchmark::DoNotOptimize(value);
}
BENCHMARK(BM_SyncHop)->UseRealTime();

}  // namespace
