// Throughput of the SQLite store on the roads the engine uses most: rows
// written inside one transaction, and a parameterised query served from the
// statement cache.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "analytics/storage/MSRSqliteStore.h"

namespace {

struct TempDatabase {
    TempDatabase() {
        char pattern[] = "/tmp/calvaro-storage-bench-XXXXXX";
        directory = mkdtemp(pattern);
        store = MSRSqliteStore::create(directory + "/bench.sql", nullptr);
        store->ensureTable("raw_events",
                           {{"id", "INTEGER PRIMARY KEY"},
                            {"name", "TEXT NOT NULL"},
                            {"timestamp", "REAL NOT NULL"},
                            {"data", "BLOB NOT NULL"}},
                           {}, {}, nullptr);
    }
    ~TempDatabase() {
        store.reset();
        std::filesystem::remove_all(directory);
    }
    std::string directory;
    std::unique_ptr<MSRSqliteStore> store;
};

// Rows of a typical raw event (about 200 bytes of encoded parameters), written
// state.range(0) at a time in one exclusive transaction.
void BM_UpsertInTransaction(benchmark::State& state) {
    TempDatabase db;
    MSRSqliteBlob payload(200, 0x5a);
    int64_t rows = 0;
    for (auto _ : state) {
        db.store->performTransaction(nullptr, [&] {
            for (int64_t i = 0; i < state.range(0); ++i) {
                db.store->upsertRecord(
                    {{"name", std::string("_vs")}, {"timestamp", 1.7e9 + i}, {"data", payload}}, "raw_events",
                    nullptr);
            }
            return true;
        });
        rows += state.range(0);
    }
    state.SetItemsProcessed(rows);
}
BENCHMARK(BM_UpsertInTransaction)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_CachedQuery(benchmark::State& state) {
    TempDatabase db;
    MSRSqliteBlob payload(200, 0x5a);
    db.store->performTransaction(nullptr, [&] {
        for (int64_t i = 0; i < 1000; ++i) {
            db.store->upsertRecord(
                {{"id", i}, {"name", std::string("_e")}, {"timestamp", 1.7e9 + i}, {"data", payload}},
                "raw_events", nullptr);
        }
        return true;
    });
    int64_t id = 0;
    for (auto _ : state) {
        auto rows =
            db.store->recordsForQuery("SELECT * FROM raw_events WHERE id = ?", {id++ % 1000}, nullptr);
        benchmark::DoNotOptimize(rows);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CachedQuery)->Unit(benchmark::kMicrosecond);

}  // namespace
