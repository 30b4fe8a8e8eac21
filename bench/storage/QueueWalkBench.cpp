// What the upload read costs over queued rows no run of the engine wrote,
// per row dropped: rows of 63 MiB of `0a 00` (64,246 bytes stored), rows of
// 65 MiB of zeros (66,279 bytes) and rows of 22 bytes (the gzip of `0a 00`),
// each read through to the one bundle behind them, pass after pass, the
// queue work refilled as each upload refills it; beside them, one upload's
// read of a clean queue of 100 bundles of 10 or 1,000 events.
//
//   queue_walk_bench [--benchmark_filter=Walk]

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "bench/storage/BenchDatabase.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"

namespace {

struct QueueWalk : BenchDatabase {
    QueueWalk() : BenchDatabase("queue-walk") {
        database->setRemoteConfig(std::make_shared<MSRRemoteConfig>());
        database->reset(nullptr);
    }

    // `count` copies of `row` ahead of one real bundle.
    bool fill(const std::vector<uint8_t>& row, int64_t count) {
        MSRPBMeasurementBundle bundle = metadata;
        MSRPBSetInt64(bundle, MSRBundleSlot::kEndTimestamp, static_cast<int64_t>(dispatch::Clock::now() * 1000));
        if (!database->insertBundle(bundle, false, nullptr)) return false;
        database->commitPendingWrites();
        sqlite3* db = nullptr;
        sqlite3_open(database->databasePath().c_str(), &db);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db,
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?2) "
                           "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) "
                           "SELECT -i, strftime('%s', 'now'), ?1, 0, 0 FROM n",
                           -1, &insert, nullptr);
        sqlite3_bind_blob64(insert, 1, row.data(), row.size(), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, count);
        const bool inserted = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_finalize(insert);
        sqlite3_close(db);
        return inserted;
    }

    // Reads until the bundle comes; false when it never does.
    bool walkToTheBundle() {
        for (int passes = 0; passes < 100'000; ++passes) {
            database->refillQueueWork();
            auto read = database->queryBundlesWithCountLimit(100, 65536, nullptr);
            database->commitPendingWrites();
            if (!read) return false;
            if (!read->empty()) return true;
        }
        return false;
    }
};

std::vector<uint8_t> walkBomb(const std::vector<uint8_t>& unit, size_t bytes) {
    // Doubled by copies of what is there: a byte at a time is slow under
    // the sanitizers.
    std::vector<uint8_t> plain(std::max(bytes, unit.size()));
    std::copy(unit.begin(), unit.end(), plain.begin());
    for (size_t filled = unit.size(); filled < plain.size(); filled *= 2)
        std::copy_n(plain.begin(), std::min(filled, plain.size() - filled), plain.begin() + filled);
    return *security::gzip(plain);
}

void BM_WalkPastRows(benchmark::State& state, std::vector<uint8_t> unit, size_t bytes) {
    const std::vector<uint8_t> row = walkBomb(unit, bytes);
    const int64_t count = state.range(0);
    for (auto _ : state) {
        QueueWalk walk;
        if (!walk.fill(row, count)) state.SkipWithError("the rows could not be stored");
        const auto start = std::chrono::steady_clock::now();
        if (!walk.walkToTheBundle()) state.SkipWithError("the bundle never came");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK_CAPTURE(BM_WalkPastRows, KeysOfAnotherWireType63MiB, std::vector<uint8_t>{0x0a, 0x00}, size_t{63} << 20)
    ->Arg(300)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_WalkPastRows, Zeros65MiB, std::vector<uint8_t>{0x00}, size_t{65} << 20)
    ->Arg(300)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_WalkPastRows, Tiny22Bytes, std::vector<uint8_t>{0x0a, 0x00}, size_t{2})
    ->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// What one upload's read of a clean queue costs: 100 bundles of `events`
// events each (about 60 bytes an event, as the driver's are), read oldest
// first within the default batch size, as the upload takes them, again and
// again (nothing is deleted).
void BM_ReadCleanQueue(benchmark::State& state) {
    QueueWalk walk;
    const int64_t events = state.range(0);
    std::vector<uint8_t> encoded = *walk.metadata.protoBuffer();
    const int64_t now = static_cast<int64_t>(dispatch::Clock::now() * 1000);
    // The end time, field 6.
    encoded.push_back(0x30);
    for (uint64_t value = static_cast<uint64_t>(now);; value >>= 7) {
        encoded.push_back(static_cast<uint8_t>((value & 0x7f) | (value > 0x7f ? 0x80 : 0)));
        if (value <= 0x7f) break;
    }
    for (int64_t i = 0; i < events; ++i) {
        // An event: a parameter _o = app, its name, and padding in a second
        // parameter; 58 bytes behind its key and length.
        const std::vector<uint8_t> event = {0x0a, 0x09, 0x0a, 0x02, 0x5f, 0x6f, 0x12, 0x03, 0x61, 0x70, 0x70, 0x12,
                                            0x09, 0x65, 0x32, 0x65, 0x5f, 0x65, 0x76, 0x65, 0x6e, 0x74, 0x0a, 0x21,
                                            0x0a, 0x01, 0x6e, 0x12, 0x1c};
        encoded.insert(encoded.end(), {0x12, static_cast<uint8_t>(event.size() + 28)});
        encoded.insert(encoded.end(), event.begin(), event.end());
        encoded.resize(encoded.size() + 28, 0x61);
    }
    std::optional<MSRPBMeasurementBundle> bundle = MSRPBMeasurementBundle::initWithBuffer(encoded);
    if (!bundle) {
        state.SkipWithError("the bundle does not decode");
        return;
    }
    for (int i = 0; i < 100; ++i) {
        if (!walk.database->insertBundle(*bundle, false, nullptr)) {
            state.SkipWithError("the bundle could not be stored");
            return;
        }
    }
    walk.database->commitPendingWrites();
    size_t read = 0;
    for (auto _ : state) {
        walk.database->refillQueueWork();
        auto bundles = walk.database->queryBundlesWithCountLimit(100, 65536, nullptr);
        if (!bundles || bundles->empty()) state.SkipWithError("nothing was read");
        read = bundles ? bundles->size() : 0;
        benchmark::DoNotOptimize(bundles);
    }
    state.counters["bundles_read"] = static_cast<double>(read);
    state.counters["bundle_bytes"] = static_cast<double>(encoded.size());
}
BENCHMARK(BM_ReadCleanQueue)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
