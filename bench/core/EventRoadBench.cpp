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
//
// One run of a road on a shared machine says little; two builds are compared
// by rounds of each in processes of their own, one build after the other:
//   event_road_bench --compare=/work/old/build/release/bench/core/event_road_bench [--rounds=12]
//       [--roads=REGEX]
// prints each road's median rate and its spread for both builds, their ratio,
// the process CPU per event (all threads) and the load average.
//
// Everything a run writes (the data root, the keychain folder beside it) lies
// in one private temporary folder, removed at the end; the compared processes
// get their own as TMPDIR, so an older build's leftovers go with it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "analytics/core/DEDIzurarove.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "bench/support/BenchStatistics.h"
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

// A new owner-only folder in the temporary folder; empty when none could be made.
std::filesystem::path makePrivateFolder(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) return {};
    return pattern;
}

// The process's private folder: the engine's data root and the keychain
// folder the engine keeps beside it both lie inside it.
std::filesystem::path runFolder;

struct Engine {
    explicit Engine(bool withProgram) : root(runFolder / "home"), withProgram(withProgram) {
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

// The process's one engine, made with or without the program by the first
// road that asks; nothing when a road asks for the other kind. Its folder is
// removed once the queues have ended (see main): removed earlier, the
// engine's last writes would make it again.
Engine* engine(bool withProgram) {
    static Engine* shared = new Engine(withProgram);
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

// CPU time of every thread of the process: the engine's work is spread over
// its queues' threads, not done on the benchmark's own.
double processCPUSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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
    const double cpuBefore = processCPUSeconds();
    for (auto _ : state) {
        if (!e.logAndWait(kEventsPerIteration, parameterCount)) {
            state.SkipWithError("the engine did not handle the events within two minutes");
            break;
        }
    }
    const double cpu = processCPUSeconds() - cpuBefore;
    state.SetItemsProcessed(state.iterations() * kEventsPerIteration);
    if (state.iterations() > 0) {
        state.counters["process_cpu_us_per_event"] =
            cpu * 1e6 / static_cast<double>(state.iterations() * kEventsPerIteration);
    }
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


// --- Alternated rounds of two builds ------------------------------------------------

struct RoundResult {
    bool ok = false;
    std::map<std::string, double> rates;             // events per second, by road
    std::map<std::string, double> loopCPUPerEvent;   // µs, all threads, timed loop only (newer builds)
    double processCPUPerEvent = 0;                   // µs, all threads, the whole process with its start
};

// The road's name without libbenchmark's suffixes.
std::string roadName(const std::string& name) {
    std::string road = name.substr(0, name.find('/'));
    return road.rfind("BM_", 0) == 0 ? road.substr(3) : road;
}

// Runs `binary` on the roads in a process of its own whose temporary folder is
// `tmp`, and reads its JSON report and its CPU time.
RoundResult runRound(const std::string& binary, const std::string& roads, const std::filesystem::path& tmp) {
    RoundResult result;
    std::error_code ignored;
    std::filesystem::create_directories(tmp, ignored);
    int out[2];
    if (pipe(out) != 0) return result;
    const std::string filter = "--benchmark_filter=" + roads;
    const pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        setenv("TMPDIR", tmp.c_str(), 1);
        execl(binary.c_str(), binary.c_str(), filter.c_str(), "--benchmark_format=json", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string report;
    char buffer[65536];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        report.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    std::filesystem::remove_all(tmp, ignored);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return result;

    nlohmann::json parsed = nlohmann::json::parse(report, nullptr, false);
    if (parsed.is_discarded() || !parsed.contains("benchmarks")) return result;
    double events = 1;  // the start's one event
    for (const auto& run : parsed["benchmarks"]) {
        if (run.value("error_occurred", false) || !run.contains("items_per_second")) return result;
        const std::string road = roadName(run.value("name", std::string()));
        result.rates[road] = run["items_per_second"].get<double>();
        if (run.contains("process_cpu_us_per_event"))
            result.loopCPUPerEvent[road] = run["process_cpu_us_per_event"].get<double>();
        events += run.value("iterations", 0.0) * static_cast<double>(kEventsPerIteration);
    }
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    result.processCPUPerEvent = (seconds(usage.ru_utime) + seconds(usage.ru_stime)) * 1e6 / events;
    result.ok = !result.rates.empty();
    return result;
}

using bench::loadAverage;
using bench::Spread;
using bench::spreadOf;

void printRow(const char* label, const std::string& unit, const Spread& old, const Spread& fresh) {
    std::printf("  %-38s old %10.1f [%8.1f-%8.1f, IQR %8.1f-%8.1f]  new %10.1f [%8.1f-%8.1f, IQR %8.1f-%8.1f]  "
                "new/old %.2fx  (%s, %zu+%zu rounds)\n",
                label, old.median, old.low, old.high, old.q1, old.q3, fresh.median, fresh.low, fresh.high, fresh.q1,
                fresh.q3, old.median > 0 ? fresh.median / old.median : 0.0, unit.c_str(), old.count, fresh.count);
}

// Rounds of the older build and this one, one after the other, each in a
// process of its own; the medians, their spread and ratio.
int compareBuilds(const std::string& oldBinary, int rounds, const std::string& roads) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || access(oldBinary.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "cannot run %s\n", error ? "this program" : oldBinary.c_str());
        return 1;
    }
    std::vector<RoundResult> results[2];  // 0: old, 1: new
    const std::string loadBefore = loadAverage();
    std::printf("Alternated rounds (old, new, ...) of: %s\n  old: %s\n  new: %s\n  load average at start: %s\n",
                roads.c_str(), oldBinary.c_str(), self.c_str(), loadBefore.c_str());
    std::fflush(stdout);
    for (int round = 0; round < rounds; ++round) {
        for (int which = 0; which < 2; ++which) {
            const std::string binary = which == 0 ? oldBinary : self.string();
            RoundResult result = runRound(binary, roads, runFolder / ("round-" + std::to_string(round) + "-" +
                                                                      (which == 0 ? "old" : "new")));
            std::printf("  round %2d %s:", round + 1, which == 0 ? "old" : "new");
            if (!result.ok) std::printf(" failed");
            for (const auto& [road, rate] : result.rates) std::printf(" %s %.0f/s", road.c_str(), rate);
            if (result.ok) std::printf("  process CPU %.1f us/event", result.processCPUPerEvent);
            std::printf("  load %s\n", loadAverage().c_str());
            std::fflush(stdout);
            if (result.ok) results[which].push_back(std::move(result));
        }
    }
    std::printf("Medians [min-max, IQR]; load average at start %s, at end %s\n", loadBefore.c_str(),
                loadAverage().c_str());
    std::map<std::string, std::vector<double>> rates[2], loopCPU[2];
    std::vector<double> processCPU[2];
    for (int which = 0; which < 2; ++which) {
        for (const RoundResult& result : results[which]) {
            for (const auto& [road, rate] : result.rates) rates[which][road].push_back(rate);
            for (const auto& [road, cpu] : result.loopCPUPerEvent) loopCPU[which][road].push_back(cpu);
            processCPU[which].push_back(result.processCPUPerEvent);
        }
    }
    for (const auto& [road, values] : rates[1]) {
        printRow(road.c_str(), "events/s", spreadOf(rates[0][road]), spreadOf(values));
    }
    printRow("process CPU per event", "us, all threads, start included", spreadOf(processCPU[0]),
             spreadOf(processCPU[1]));
    for (const auto& [road, values] : loopCPU[1]) {
        const Spread fresh = spreadOf(values);
        const Spread old = spreadOf(loopCPU[0][road]);
        std::printf("  %-38s CPU per event in the timed loop (us, all threads): new %.2f [%.2f-%.2f]", road.c_str(),
                    fresh.median, fresh.low, fresh.high);
        if (old.count > 0) std::printf("  old %.2f [%.2f-%.2f]", old.median, old.low, old.high);
        std::printf("\n");
    }
    const bool complete = results[0].size() == static_cast<size_t>(rounds) &&
                          results[1].size() == static_cast<size_t>(rounds);
    return complete ? 0 : 1;
}

// Takes `--name=value` out of the arguments libbenchmark sees.
std::optional<std::string> takeOption(int& argc, char** argv, std::string_view name) {
    const std::string prefix = "--" + std::string(name) + "=";
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument.rfind(prefix, 0) != 0) continue;
        std::string value(argument.substr(prefix.size()));
        for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
        --argc;
        return value;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<std::string> compareWith = takeOption(argc, argv, "compare");
    const int rounds = std::max(1, std::atoi(takeOption(argc, argv, "rounds").value_or("12").c_str()));
    const std::string roads =
        takeOption(argc, argv, "roads").value_or("PublicCallToCommittedRow/|PublicCallToCommittedRowTenParameters");
    runFolder = makePrivateFolder("calvaro-event-road");
    if (runFolder.empty()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    std::error_code ignored;
    if (compareWith) {
        const int status = compareBuilds(*compareWith, rounds, roads);
        std::filesystem::remove_all(runFolder, ignored);
        return status;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        std::filesystem::remove_all(runFolder, ignored);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The engine is never destroyed: its threads end with the queues.
    if (!dispatch::endQueues(30)) std::_Exit(1);
    std::filesystem::remove_all(runFolder, ignored);
    return 0;
}
