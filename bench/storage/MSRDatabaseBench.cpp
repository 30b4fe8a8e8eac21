// The analytics database on its busiest roads, with 100,000 raw events stored
// (the default stored-event limit): writing one event as the engine does (its
// metadata, the limit, the insert, one transaction each), picking the next
// metadata to bundle, and reading a run of 1,000 events back for a bundle.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "bench/storage/BenchDatabase.h"
#include "platform/foundation/FileSystem.h"

namespace {

constexpr int64_t kStored = 100000;

struct Fixture : BenchDatabase {
    Fixture() : BenchDatabase("database") {
        database->insertIfNotExistsRawEventMetadata(metadata, nullptr);
        database->performTransaction([&] {
            for (int64_t i = 0; i < kStored; ++i) database->insertRawEvent(event(i), fingerprint, false, nullptr);
            return true;
        });
    }
    // A screen view with its usual parameters, about 100 bytes encoded.
    static MSREvent event(int64_t i) {
        return *MSREvent::initWithOrigin("auto", false, "_vs", 1.7e9 + static_cast<double>(i) / 1000.0, 0,
                                         {{"_sc", MSRValue("CalculateViewController")},
                                          {"_si", MSRValue(int64_t{-4184365411201094367})},
                                          {"_et", MSRValue(int64_t{1200 + i % 100})},
                                          {"ratio", MSRValue(0.25)}});
    }
};

// Target: at least 50,000 events/s. Argument: the stored-event limit; at
// 100,000 every write also pushes the oldest event out.
void BM_WriteRawEvent(benchmark::State& state) {
    Fixture f;
    auto settings = std::make_shared<MSRRemoteConfig>();
    settings->setServerSettings({{"measurement.store.max_stored_events_per_app", std::to_string(state.range(0))}});
    f.database->setRemoteConfig(settings);
    // Events are made by the engine before the write; only the write is timed.
    std::vector<MSREvent> events;
    for (int64_t i = 0; i < 1000; ++i) events.push_back(Fixture::event(kStored + i));
    // The engine counts its stored events once when it starts, not per write.
    f.database->deleteRawEventsOverAbsoluteLimit(nullptr);
    size_t next = 0;
    for (auto _ : state) {
        const MSREvent& event = events[next++ % events.size()];
        bool written = f.database->performTransaction([&] {
            return f.database->insertIfNotExistsRawEventMetadata(f.metadata, nullptr) &&
                   f.database->deleteRawEventsOverAbsoluteLimit(nullptr) &&
                   f.database->insertRawEvent(event, f.fingerprint, false, nullptr);
        });
        if (!written) state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteRawEvent)->Arg(kStored)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_NextMetadataFingerprint(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) benchmark::DoNotOptimize(f.database->nextMetadataFingerprintToProcess(nullptr));
}
BENCHMARK(BM_NextMetadataFingerprint)->Unit(benchmark::kMicrosecond);

void BM_StoredEventLimit(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) benchmark::DoNotOptimize(f.database->deleteRawEventsOverAbsoluteLimit(nullptr));
}
BENCHMARK(BM_StoredEventLimit)->Unit(benchmark::kMicrosecond);

// The 1,000 oldest events of one metadata as a bundle takes them: decoded
// (Decoded), or as bundling reads them, compact rows with the events left as
// stored (Rows).
template <typename Read>
void BM_ReadBundleRun(benchmark::State& state, Read read) {
    Fixture f;
    for (auto _ : state) {
        auto run = read(*f.database, f.fingerprint);
        if (!run || run->size() != 1000) state.SkipWithError("short run");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK_CAPTURE(BM_ReadBundleRun, Decoded, [](MSRDatabase& database, int64_t fingerprint) {
    return database.rawEventsWithMetadataFingerprint(fingerprint, nullptr, {});
})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ReadBundleRun, Rows, [](MSRDatabase& database, int64_t fingerprint) {
    return database.rawEventRowsWithMetadataFingerprint(fingerprint, nullptr, {});
})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
