// What a start reads of the databases, over databases that no run of the
// engine wrote: a few input bytes describe one table filled with many or
// large rows of any type, built by one statement, and the start's reads (the
// files' opening and check, the upload read, the bundling read, the room
// made for an event, the experiments tables) run over it. A start may cost
// what the engine's own rows would, whatever the table holds: one past its
// memory or CPU time aborts, as does any crash.
//
// The input:
//
//   table(1) count(3, big-endian) size(4, big-endian) kind(1) body
//
// `table` picks the queue, raw events, their metadata or one of the three
// snapshot tables; `count` rows (up to 1,500,000) of `size` bytes each (up
// to 80 MiB, and 256 MiB over all rows), of `kind`: zeros, random bytes,
// a text beginning with a zero byte, zeros gzipped (a row that inflates to
// `size`), a number, `body` itself (what decodes, or nearly), or random
// bytes gzipped (a row as large as what it inflates to).

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "analytics/reporters/MSREDatabase.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "fuzz/FuzzScratchFolder.h"
#include "fuzz/ProcessWatch.h"
#include "fuzz/SilentMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/security/Compression.h"

namespace {

struct StoredTable {
    const char* name;
    const char* columns;  // the other columns of a row, as SQL
    const char* valued;   // the column the rows fill
    bool experiments;
};
const StoredTable kStoredTables[] = {
    {"queue", "bundle_end_timestamp, is_realtime, retry_count", "data", false},
    {"raw_events", "name, timestamp, metadata_fingerprint, is_realtime", "data", false},
    {"raw_events_metadata", "metadata_fingerprint", "metadata", false},
    {"pending_snapshot_table", "sdk_name, timestamp, manually_activated", "snapshotProto", true},
    {"activated_snapshot_table", "sdk_name, timestamp, manually_activated", "snapshotProto", true},
    {"launched_snapshot_table", "sdk_name, timestamp, manually_activated", "snapshotProto", true},
};

// The values of those other columns for row i (`now` the time of the run).
std::string otherValues(const StoredTable& table, const std::string& now) {
    const std::string name = table.name;
    if (name == "queue") return now + ", 0, 0";
    if (name == "raw_events") return "'e' || (i % 7), " + now + ", i % 3, i % 2";
    if (name == "raw_events_metadata") return "i % 3 + (i / 3) * 3";
    return "'sdk' || i, " + now + ", i % 2";
}

constexpr int64_t kMostRows = 1'500'000;
constexpr int64_t kMostRowBytes = int64_t{80} << 20;
constexpr int64_t kMostBytes = int64_t{256} << 20;

// What a start may cost beyond what was resident before: the engine's own
// work (a transaction, the logs, the allocator's slack, SQLite's caches) and
// one queued bundle inflated and decoded, the largest thing a start holds.
// Under AddressSanitizer blocks carry redzones and freed blocks wait in its
// quarantine, kept small here (below) so that what a start holds shows: the
// seeds cost at most 71 MiB there, and 267 to 385 MiB with reads that hold
// every row.
#if defined(CALVARO_FUZZ_ASAN)
constexpr int64_t kStartResidentBound = int64_t{192} << 20;
constexpr double kStartSecondsBound = 40;
#else
constexpr int64_t kStartResidentBound = int64_t{160} << 20;
constexpr double kStartSecondsBound = 10;
#endif

struct StoredRows {
    std::shared_ptr<MSRPersistedConfig> persisted;
    std::shared_ptr<MSRRemoteConfig> settings = std::make_shared<MSRRemoteConfig>();
};

StoredRows& storedRows() {
    static StoredRows* made = [] {
        auto* rows = new StoredRows();
        fuzz::installSilentMonitor();
        const std::filesystem::path& root = fuzz::scratchFolder();
        foundation::FileSystem::setHome(root / "home");
        std::filesystem::create_directories(root / "home");
        rows->persisted = MSRPersistedConfig::initWithSuiteName("app.calvaro.fuzz.stored-rows");
        return rows;
    }();
    return *made;
}

uint64_t bigEndian(const uint8_t* data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value = value << 8 | data[i];
    return value;
}

// Fresh files with every table, the rows the input describes in one of them.
bool fillTables(const uint8_t* data, size_t size) {
    const StoredTable& table = kStoredTables[data[0] % std::size(kStoredTables)];
    int64_t count = static_cast<int64_t>(bigEndian(data + 1, 3)) % (kMostRows + 1);
    const int64_t rowBytes = static_cast<int64_t>(bigEndian(data + 4, 4)) % (kMostRowBytes + 1);
    if (rowBytes > 0) count = std::min(count, kMostBytes / rowBytes);
    const uint8_t kind = data[8] % 7;
    const std::vector<uint8_t> body(data + 9, data + size);

    const std::string analytics = MSRSDKFilePath(MSRDatabase::kDatabaseName);
    const std::string experiments = MSRSDKFilePath(MSREDatabase::kFileName);
    for (const std::string& path : {analytics, experiments})
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
    // The files as the engine makes them.
    if (!MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, storedRows().persisted, nullptr) ||
        !MSREDatabase::initWithPath(experiments))
        std::abort();

    std::vector<uint8_t> bound;
    std::string value;
    const std::string bytes = std::to_string(rowBytes);
    switch (kind) {
        case 0: value = "zeroblob(" + bytes + ")"; break;
        case 1: value = "randomblob(" + bytes + ")"; break;
        case 2: value = "CAST(zeroblob(" + bytes + ") AS TEXT)"; break;
        case 3:
            bound = security::gzip(std::vector<uint8_t>(static_cast<size_t>(std::max<int64_t>(rowBytes, 1)), 0),
                                   nullptr, security::GzipEffort::kFastest)
                        .value_or(std::vector<uint8_t>{});
            value = "?";
            break;
        case 4: value = bytes; break;
        case 6: {
            std::vector<uint8_t> random(static_cast<size_t>(std::max<int64_t>(rowBytes, 1)));
            uint64_t state = 0x9e3779b97f4a7c15u ^ static_cast<uint64_t>(rowBytes);
            for (uint8_t& byte : random) {
                state = state * 6364136223846793005u + 1442695040888963407u;
                byte = static_cast<uint8_t>(state >> 56);
            }
            bound = security::gzip(random, nullptr, security::GzipEffort::kFastest).value_or(std::vector<uint8_t>{});
            value = "?";
            break;
        }
        default:
            bound = body;
            value = "?";
            break;
    }
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 WHERE " + std::to_string(count) + " > 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(count) + ") INSERT OR REPLACE INTO " + table.name + " (" + table.columns + ", " +
        table.valued + ") SELECT " + otherValues(table, std::to_string(dispatch::Clock::now())) + ", " + value +
        " FROM n";
    sqlite3* db = nullptr;
    if (sqlite3_open((table.experiments ? experiments : analytics).c_str(), &db) != SQLITE_OK) std::abort();
    sqlite3_stmt* statement = nullptr;
    bool filled = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK;
    if (filled && value == "?") sqlite3_bind_blob64(statement, 1, bound.data(), bound.size(), SQLITE_STATIC);
    // A constraint may refuse the rows (a NOT NULL column, say): the tables
    // are read all the same.
    if (filled) sqlite3_step(statement);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return true;
}

// What a start reads: both files opened and checked, the upload read, the
// bundling read of the oldest raw events and the room made for an event,
// and the experiments tables as the task manager's start reads them.
void readAsAStart() {
    StoredRows& rows = storedRows();
    {
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, rows.persisted, nullptr);
        if (!database) return;
        database->setRemoteConfig(rows.settings);
        database->queryBundlesWithCountLimit(100, 65536, nullptr);
        if (std::optional<int64_t> fingerprint = database->nextMetadataFingerprintToProcess(nullptr)) {
            database->rawEventRowsWithMetadataFingerprint(*fingerprint, nullptr, nullptr);
            database->queryRawEventsMetadataWithFingerprint(*fingerprint, nullptr);
        }
        database->deleteRawEventsOverAbsoluteLimit(nullptr);
    }
    auto experiments = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
    if (!experiments) return;
    experiments->performTransaction([&] { return experiments->activatePendingSnapshotsAutomatically(nullptr); });
    experiments->fetchAllActivatedSnapshots(nullptr);
    experiments->fetchAllPendingSnapshots(nullptr);
    experiments->fetchAllLaunchedSnapshots(nullptr);
}

[[noreturn]] void escaped(const std::string& what, int64_t growth, double cpu) {
    std::fprintf(stderr,
                 "== a start costs more than the engine's own rows would\n%s: resident +%.1f MiB (bound %.1f MiB), "
                 "%.3f s of CPU (bound %.3f s)\n",
                 what.c_str(), static_cast<double>(growth) / (1 << 20),
                 static_cast<double>(kStartResidentBound) / (1 << 20), cpu, kStartSecondsBound);
    std::abort();
}

}  // namespace

#if defined(CALVARO_FUZZ_ASAN)
// Freed blocks wait in a quarantine of 16 MiB rather than 256 MiB.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)storedRows();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ResidentWatch watch([](const std::string& stage, int64_t growth) { escaped(stage, growth, 0); });
    if (size < 9 || !fillTables(data, size)) return 0;
    char what[96];
    std::snprintf(what, sizeof what, "a start over table %u, %u rows of %u bytes, kind %u",
                  data[0] % static_cast<unsigned>(std::size(kStoredTables)),
                  static_cast<unsigned>(bigEndian(data + 1, 3)), static_cast<unsigned>(bigEndian(data + 4, 4)),
                  data[8] % 7u);
    const int64_t baseline = fuzz::restartResidentPeak();
    watch.begin(what, baseline, kStartResidentBound);
    const double before = fuzz::threadSeconds();
    readAsAStart();
    const double cpu = fuzz::threadSeconds() - before;
    watch.end();
    const int64_t growth = fuzz::statusBytes("VmHWM") - baseline;
    if (growth > kStartResidentBound || cpu > kStartSecondsBound) escaped(what, growth, cpu);
    // CALVARO_FUZZ_COSTS=1 prints every start's cost, to read a corpus by.
    static const bool printCosts = std::getenv("CALVARO_FUZZ_COSTS") != nullptr;
    if (printCosts) std::fprintf(stderr, "%s: resident +%.1f MiB, %.3f s of CPU\n", what, growth / 1048576.0, cpu);
    return 0;
}
