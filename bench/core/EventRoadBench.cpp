// Events per second from the public call to a committed row: the real engine
// in a temporary data root (worker threads, SQLite file), started through the
// public interface. An event counts once the engine has told its listeners,
// which it does only after the commit that holds the event's writes.
//
// No measurement endpoint is configured, so nothing is uploaded and every
// event stays in the database. The engine drops public events beyond 50,000 a
// day, so the roads together log fewer than that into their one data root.
//
// The burst's figure is the process's peak resident size, so it means
// something only when the burst runs alone:
//   event_road_bench --benchmark_filter=Burst
// It uses only the public interface, so the same source measures an older
// build of the engine too.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/ProcessEnd.h"
#include "tools/eventdriver/EngineDriver.h"

namespace {

constexpr int64_t kEventsPerIteration = 2000;
constexpr int kIterations = 10;

// The numbered parameter the driver's listener reads, and nine more of the
// kinds an application logs.
DEDIzurarove::Parameters parametersOf(int64_t number, int count) {
    DEDIzurarove::Parameters parameters{{tools::EngineDriver::kNumberParameter, foundation::Value(number)}};
    if (count < 10) return parameters;
    parameters.emplace("exercise", foundation::Value(std::string("log_base_change")));
    parameters.emplace("difficulty", foundation::Value(int64_t{3}));
    parameters.emplace("attempts", foundation::Value(number % 7));
    parameters.emplace("seconds", foundation::Value(12.5 + static_cast<double>(number % 100)));
    parameters.emplace("answer", foundation::Value(std::string("x = ln(5) / ln(2)")));
    parameters.emplace("correct", foundation::Value(int64_t{1}));
    parameters.emplace("screen", foundation::Value(std::string("CalculateViewController")));
    parameters.emplace("hints", foundation::Value(int64_t{0}));
    parameters.emplace("score", foundation::Value(0.875));
    return parameters;
}

struct Engine {
    Engine()
        : root(std::filesystem::temp_directory_path() / ("calvaro-event-road-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(root);
        tools::EngineDriverOptions options;
        options.home = root;
        driver = std::make_unique<tools::EngineDriver>(options);
        driver->watchNumberedEvents([this](const std::string&, int64_t) {
            std::lock_guard lock(mutex);
            ++handled;
            changed.notify_all();
        });
        driver->start();
        // The start itself (database, identity, first-open checks) is not measured.
        logAndWait(1, 1);
    }

    // Logs `count` numbered events of `parameterCount` parameters and waits
    // until the engine has handled them.
    bool logAndWait(int64_t count, int parameterCount) {
        const int64_t target = handledNow() + count;
        for (int64_t i = 0; i < count; ++i) {
            DEDIzurarove::logEventWithName(tools::EngineDriver::kNumberedEventName,
                                           parametersOf(next++, parameterCount));
        }
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(120), [&] { return handled >= target; });
    }
    int64_t handledNow() {
        std::lock_guard lock(mutex);
        return handled;
    }

    std::filesystem::path databasePath() const {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.path().filename() == "zevure-app-measurement.sql") return entry.path();
        }
        return {};
    }

    std::filesystem::path root;
    std::unique_ptr<tools::EngineDriver> driver;
    std::mutex mutex;
    std::condition_variable changed;
    int64_t handled = 0;
    int64_t next = 1;
};

// The engine's data root, removed once the queues have ended (see main):
// removed earlier, the engine's last writes would make it again.
std::filesystem::path engineRoot;

Engine& engine() {
    static Engine* shared = [] {
        auto* made = new Engine();
        engineRoot = made->root;
        return made;
    }();
    return *shared;
}

// The pages the stored events take (the table and its indexes) and their
// rows, read through a connection of its own.
struct StoredEvents {
    double bytes = 0;
    double rows = 0;
};
StoredEvents storedEvents(const std::filesystem::path& path) {
    StoredEvents stored;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        auto number = [&](const char* sql) {
            sqlite3_stmt* statement = nullptr;
            double value = 0;
            if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                value = sqlite3_column_double(statement, 0);
            }
            sqlite3_finalize(statement);
            return value;
        };
        stored.bytes = number(
            "SELECT sum(pgsize) FROM dbstat WHERE name = 'raw_events' OR name IN "
            "(SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'raw_events')");
        stored.rows = number("SELECT count(*) FROM raw_events");
    }
    sqlite3_close(db);
    return stored;
}

void runRoad(benchmark::State& state, int parameterCount) {
    Engine& e = engine();
    const StoredEvents before = storedEvents(e.databasePath());
    for (auto _ : state) {
        if (!e.logAndWait(kEventsPerIteration, parameterCount)) {
            state.SkipWithError("the engine did not handle the events within two minutes");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kEventsPerIteration);
    // What the road's events added to the file, per event.
    const StoredEvents after = storedEvents(e.databasePath());
    if (after.rows > before.rows) {
        state.counters["bytes_per_stored_event"] = (after.bytes - before.bytes) / (after.rows - before.rows);
    }
}

void BM_PublicCallToCommittedRow(benchmark::State& state) { runRoad(state, 1); }
BENCHMARK(BM_PublicCallToCommittedRow)->Iterations(kIterations)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PublicCallToCommittedRowTenParameters(benchmark::State& state) { runRoad(state, 10); }
BENCHMARK(BM_PublicCallToCommittedRowTenParameters)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 100,000 ten-parameter events logged at once, as fast as the caller can,
// then a wait until the engine has handled them all. Public events past the
// day's cap are handled too (counted and dropped), after they have waited in
// the queues like the others.
void BM_BurstPeakMemory(benchmark::State& state) {
    constexpr int64_t kBurst = 100000;
    Engine& e = engine();
    for (auto _ : state) {
        if (!e.logAndWait(kBurst, 10)) {
            state.SkipWithError("the engine did not handle the burst within two minutes");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_BurstPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The engine is never destroyed: its threads end with the queues.
    if (!dispatch::endQueues(30)) std::_Exit(1);
    std::error_code ignored;
    if (!engineRoot.empty()) std::filesystem::remove_all(engineRoot, ignored);
    return 0;
}
