// Events per second from the public call to a committed row: the real engine
// in a temporary data root (worker threads, SQLite file), started through the
// public interface. An event counts once the engine has told its listeners,
// which it does only after the commit that holds the event's writes.
//
// No measurement endpoint is configured, so nothing is uploaded and every
// event stays in the database. The road with a program instead points the
// engine at a loopback collector serving a configuration with an edit program
// and uploads put off for an hour; one engine per process, so the first road
// that runs decides which engine the process has:
//   event_road_bench --benchmark_filter=PublicCallToCommittedRow/
//   event_road_bench --benchmark_filter=WithProgram
// The engine drops public events beyond 50,000 a day, so the roads together
// log fewer than that into their one data root: repeat a road in processes of
// its own rather than with --benchmark_repetitions.
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
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "platform/dispatch/ProcessEnd.h"
#include "tools/assembler/ProgramAssembler.h"
#include "tools/collector/MeasurementCollector.h"
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

// About 50 instructions on every numbered event: reads its name and two
// parameters, renames it and sets two parameters. The engine's listeners see
// events as they were logged, so the road still counts the renamed ones.
constexpr const char* kEditProgram = R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (if (ne (call $e "getEventName" (array)) "e2e_event") (list (return 0)))
      (let "n") (assign "n" (call $e "getParamValue" (array "n")))
      (let "seen") (assign "seen" (call $e "getParamValue" (array "seen")))
      (call $e "setEventName" (array "edited_event"))
      (call $e "setParamValue" (array "weighted" (mul $n (add $n 1))))
      (call $e "setParamValue" (array "seen" "yes"))
      (return 0))
    (object "type" "edit")))
)";
constexpr const char* kEditedEventName = "edited_event";

// The driver's app id, which the collector serves the configuration for.
const std::string kRoadApp = tools::EngineDriverOptions().appID;

// The configuration carrying kEditProgram, uploads put off past the run.
std::optional<MSRPBMeasurementConfig> programConfig() {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
        kRoadApp, 2,
        {{"measurement.upload.initial_upload_delay_time", "3600000"}, {"measurement.upload.interval", "3600000"}});
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(kEditProgram, "rules");
    if (!program) return std::nullopt;
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
    return config;
}

std::filesystem::path databaseIn(const std::filesystem::path& root);
double rowsNamed(const std::filesystem::path& database, const std::string& name);

struct Engine {
    explicit Engine(bool withProgram)
        : root(std::filesystem::temp_directory_path() / ("calvaro-event-road-" + std::to_string(getpid()))),
          withProgram(withProgram) {
        std::filesystem::remove_all(root);
        tools::EngineDriverOptions options;
        options.home = root;
        if (withProgram) serveProgram(options);
        driver = std::make_unique<tools::EngineDriver>(options);
        driver->watchNumberedEvents([this](const std::string&, int64_t) {
            std::lock_guard lock(mutex);
            ++handled;
            changed.notify_all();
        });
        driver->start();
        // The start itself (database, identity, first-open checks) is not measured.
        logAndWait(1, 1);
        if (withProgram) programRuns = waitForProgram();
    }

    void serveProgram(tools::EngineDriverOptions& options) {
        std::optional<MSRPBMeasurementConfig> config = programConfig();
        std::string error;
        if (!config || !collector.start(0, &error)) return;
        measurement.setConfig(kRoadApp, *config);
        options.measurementURL = collector.baseURL();
    }

    // The configuration is fetched some seconds after the start; the road is
    // timed only once a logged event has been stored as the program edits it.
    bool waitForProgram() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!collector.waitForRequests(1, 1)) continue;
            if (!logAndWait(1, 1)) return false;
            if (rowsNamed(databasePath(), kEditedEventName) > 0) return true;
        }
        return false;
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

    std::filesystem::path databasePath() const { return databaseIn(root); }

    std::filesystem::path root;
    bool withProgram;
    bool programRuns = false;
    // Its server threads call into `measurement`; neither is ever destroyed.
    tools::Collector collector;
    tools::MeasurementCollector measurement{collector};
    std::unique_ptr<tools::EngineDriver> driver;
    std::mutex mutex;
    std::condition_variable changed;
    int64_t handled = 0;
    int64_t next = 1;
};

// The engine's data root, removed once the queues have ended (see main):
// removed earlier, the engine's last writes would make it again.
std::filesystem::path engineRoot;

// The process's one engine, made with or without the program by the first
// road that asks; nothing when a road asks for the other kind.
Engine* engine(bool withProgram) {
    static Engine* shared = [withProgram] {
        auto* made = new Engine(withProgram);
        engineRoot = made->root;
        return made;
    }();
    return shared->withProgram == withProgram ? shared : nullptr;
}

std::filesystem::path databaseIn(const std::filesystem::path& root) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "zevure-app-measurement.sql") return entry.path();
    }
    return {};
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

double rowsNamed(const std::filesystem::path& database, const std::string& name) {
    double rows = 0;
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM raw_events WHERE name = ?", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        rows = sqlite3_column_double(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

void runRoad(benchmark::State& state, int parameterCount, bool withProgram = false) {
    Engine* shared = engine(withProgram);
    if (!shared) {
        state.SkipWithError("one engine per process: run the roads with and without a program apart");
        return;
    }
    if (withProgram && !shared->programRuns) {
        state.SkipWithError("the engine did not store an event as the served program edits it");
        return;
    }
    Engine& e = *shared;
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

// The same road with kEditProgram run on every event.
void BM_PublicCallToCommittedRowWithProgram(benchmark::State& state) { runRoad(state, 1, true); }
BENCHMARK(BM_PublicCallToCommittedRowWithProgram)
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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
    Engine* shared = engine(false);
    if (!shared) {
        state.SkipWithError("one engine per process: run the burst alone");
        return;
    }
    Engine& e = *shared;
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
