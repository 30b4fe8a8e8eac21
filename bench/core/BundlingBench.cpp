// The engine's upload road after event writing: stored raw events are
// bundled (each bundle encoded and gzipped into the queue), read back from
// the queue and encoded as one upload batch, the bytes the engine hands to
// the network component. That component owns the compression of the body on
// the wire; its gzip of the batch is timed apart, and reported both as the
// bytes per typical event (ten parameters of mixed kinds) and as the rate of
// the whole road with it.

#include <benchmark/benchmark.h>

#include "bench/core/BundlingBenchEngine.h"
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/FileSystem.h"
#include "platform/net/FakeNetwork.h"
#include "platform/security/Compression.h"

namespace {

using foundation::Value;

constexpr int kEventsPerRound = 1000;

using bench::Engine;
using bench::typicalParameters;

void BM_BundleQueueAndEncode(benchmark::State& state) {
    Engine setup("bundling");
    if (!setup.engine || !setup.engine->database()) {
        state.SkipWithError("engine did not start");
        return;
    }
    MSRMeasurement& engine = *setup.engine;
    MSRDatabase& database = *engine.database();
    MSRPBMeasurementBundle metadata = engine.createRawEventMetadataWithUserAttributes({});
    MSRPBSetString(metadata, MSRBundleSlot::kAppID, "app.calvaro");
    database.insertIfNotExistsRawEventMetadata(metadata, nullptr);
    const int64_t fingerprint = static_cast<int64_t>(msr_64LSBMD5(*metadata.protoBuffer()));
    std::vector<MSREvent> events;
    const double hour = std::floor(dispatch::Clock::now() / 3600) * 3600;
    for (int i = 0; i < kEventsPerRound; ++i) {
        events.push_back(
            *MSREvent::initWithOrigin("app", true, "kal_calculate", hour + i * 0.5, 0, typicalParameters(i)));
    }

    int64_t wireBytes = 0;
    int64_t wireEvents = 0;
    // Where a round's time goes: bundling, reading the queue back, building
    // the batch; and, outside the timed road, the body's compression.
    using Clock = std::chrono::steady_clock;
    Clock::duration bundling{}, queueRead{}, batchEncode{}, wireGzip{}, bundleGzip{};
    for (auto _ : state) {
        state.PauseTiming();
        bench::storeRawEvents(database, metadata, fingerprint, events);
        state.ResumeTiming();

        const auto t0 = Clock::now();
        while (engine.bundleRawEvents()) {
        }
        const auto t1 = Clock::now();
        auto queued = database.queryBundlesWithCountLimit(1000, int64_t{1} << 40, nullptr);
        const auto t2 = Clock::now();
        if (!queued) {
            state.SkipWithError("queue unreadable");
            return;
        }
        MSRPBMeasurementBatch batch;
        std::vector<MSRPBMeasurementBundle> bundles;
        std::vector<int64_t> rowIDs;
        for (auto& [bundle, rowID] : *queued) {
            bundles.push_back(std::move(bundle));
            rowIDs.push_back(rowID);
        }
        // The batch takes the bundles over: they are sent, not kept.
        MSRPBSetMessageArray(batch, 0, std::move(bundles));
        const std::vector<uint8_t> encoded = *batch.protoBuffer();
        const auto t3 = Clock::now();
        state.PauseTiming();

        // The network component's compression of the body, as it posts it.
        std::optional<std::vector<uint8_t>> wire = security::gzip(encoded);
        const auto t4 = Clock::now();
        // The share of bundling that compressing the queued bundles takes:
        // each bundle's encoding gzipped once more.
        std::vector<std::vector<uint8_t>> bundleBytes;
        for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(batch, 0))
            bundleBytes.push_back(*bundle.protoBuffer());
        const auto g0 = Clock::now();
        for (const std::vector<uint8_t>& bytes : bundleBytes)
            benchmark::DoNotOptimize(security::gzip(bytes, nullptr, security::GzipEffort::kFastest));
        bundleGzip += Clock::now() - g0;
        int64_t count = 0;
        for (const auto& bundle : MSRPBGetMessageArray<MSRPBMeasurementBundle>(batch, 0))
            count += MSRPBGetMessageArray<MSRPBEvent>(bundle, MSRBundleSlot::kEvents).size();
        bundling += t1 - t0;
        queueRead += t2 - t1;
        batchEncode += t3 - t2;
        wireGzip += t4 - t3;
        wireBytes += wire ? static_cast<int64_t>(wire->size()) : 0;
        wireEvents += count;
        database.deleteBundlesWithRowIDs(rowIDs, nullptr);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEventsPerRound);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kEventsPerRound), benchmark::Counter::kIsRate);
    const double roadSeconds = std::chrono::duration<double>(bundling + queueRead + batchEncode + wireGzip).count();
    state.counters["events_per_s_with_wire_gzip"] =
        roadSeconds > 0 ? static_cast<double>(state.iterations() * kEventsPerRound) / roadSeconds : 0;
    // The road's rate over zlib's alone (default level) on the same batch
    // bytes: zlib's time over the road's, for the same events.
    const double bundlingRoadSeconds = std::chrono::duration<double>(bundling + queueRead + batchEncode).count();
    state.counters["road_vs_zlib6"] =
        bundlingRoadSeconds > 0 ? std::chrono::duration<double>(wireGzip).count() / bundlingRoadSeconds : 0;
    state.counters["wire_bytes_per_event"] = wireEvents ? static_cast<double>(wireBytes) / wireEvents : 0;
    auto msPerRound = [&](Clock::duration d) {
        return state.iterations() ? std::chrono::duration<double, std::milli>(d).count() / state.iterations()
                                  : 0;
    };
    state.counters["bundling_ms"] = msPerRound(bundling);
    state.counters["queue_read_ms"] = msPerRound(queueRead);
    state.counters["batch_encode_ms"] = msPerRound(batchEncode);
    state.counters["wire_gzip_ms"] = msPerRound(wireGzip);
    // Part of bundling_ms, measured apart.
    state.counters["bundle_gzip_ms"] = msPerRound(bundleGzip);
    state.counters["events_bundled_per_round"] =
        state.iterations() ? static_cast<double>(wireEvents) / state.iterations() : 0;
}
BENCHMARK(BM_BundleQueueAndEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
