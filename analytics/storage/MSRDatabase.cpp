// Opening, schema, reset, transactions and the generic row operations of the
// analytics database.

#include "analytics/storage/MSRDatabase.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include <sqlite3.h>

#include <map>

#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabaseSalvage.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/storage/MSRSalvageMark.h"
#include "analytics/storage/MSRSqliteErrorShorthands.h"
#include "analytics/storage/MSRStorageLog.h"
#include "platform/foundation/DataLoss.h"

namespace {

using MSRSqliteErrorShorthands::kArgument;
using MSRSqliteErrorShorthands::kState;
using MSRSqliteErrorShorthands::kConversion;
// Made on demand as a copy of "events" (see MSRDatabaseSnapshots.cpp).
constexpr const char* kEventsSnapshotTable = "events_snapshot";
// Beside the database file: the copy set aside whose salvage is not done.
constexpr const char* kSalvageMarkSuffix = ".salvage";
// Where the mark names the table a salvage goes on with: none is left.
constexpr const char* kEveryTableCopied = "-";
// The stored configuration, alone in its row: the row of app_metadata is
// rewritten by every event's commit (its daily counts), and with a
// configuration of megabytes beside them each commit rewrote it whole. Made
// after every other table, which keeps their pages where older files have
// them (see freshFirstPage).
constexpr const char* kStoredConfigTable = "stored_config";

struct TableDeclaration {
    MSRColumnInfo elementary;
    MSRColumnInfo addOn;
    std::map<std::string, std::string> modify;
};

const std::map<std::string, TableDeclaration>& schema() {
    static const std::map<std::string, TableDeclaration> tables = {
        {"app_metadata",
         {{{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
          {{"last_bundle_start_timestamp", "REAL"},
           {"day", "INTEGER"},
           {"daily_conversions_count", "INTEGER"},
           {"daily_events_count", "INTEGER"},
           {"daily_public_events_count", "INTEGER"},
           {"daily_error_events_count", "INTEGER"},
           {"remote_config_data", "BLOB"},
           {"remote_config_timestamp", "REAL"},
           {"daily_real_time_conversion_events_count", "INTEGER"},
           {"daily_real_time_dcu_events_count", "INTEGER"}},
          {}}},
        {"raw_events_metadata",
         {{{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}}, {}, {}}},
        {"raw_events",
         {{{"name", "TEXT NOT NULL"},
           {"timestamp", "INTEGER NOT NULL"},
           {"metadata_fingerprint", "INTEGER NOT NULL"},
           {"data", "BLOB NOT NULL"}},
          {{"is_realtime", "INTEGER"}},
          {{"timestamp", "REAL NOT NULL"}}}},
        {"events",
         {{{"name", "TEXT NOT NULL PRIMARY KEY"},
           {"lifetime_count", "INTEGER NOT NULL"},
           {"current_bundle_count", "INTEGER NOT NULL"},
           {"last_fire_timestamp", "REAL NOT NULL"}},
          {{"last_bundled_timestamp", "REAL"},
           {"last_sampled_complex_event_id", "INTEGER"},
           {"last_sampling_rate", "INTEGER"},
           {"last_exempt_from_sampling", "INTEGER"},
           {"last_bundled_day", "INTEGER"},
           {"current_session_count", "INTEGER"}},
          {}}},
        {"user_attributes",
         {{{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
          {{"origin", "TEXT"}},
          {}}},
        {"queue",
         {{{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
          {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
          {}}},
        {"event_filters",
         {{{"audience_id", "INTEGER NOT NULL"},
           {"filter_id", "INTEGER NOT NULL"},
           {"event_name", "TEXT NOT NULL"},
           {"data", "BLOB NOT NULL"},
           {"PRIMARY KEY", "(audience_id, filter_id)"}},
          {{"session_scoped", "INTEGER"}},
          {}}},
        {"property_filters",
         {{{"audience_id", "INTEGER NOT NULL"},
           {"filter_id", "INTEGER NOT NULL"},
           {"property_name", "TEXT NOT NULL"},
           {"data", "BLOB NOT NULL"},
           {"PRIMARY KEY", "(audience_id, filter_id)"}},
          {{"session_scoped", "INTEGER"}},
          {}}},
        {"audience_filter_values",
         {{{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
          {},
          {}}},
        {"purchase_transactions", {{{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}}},
        {"subscriptions", {{{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}}},
        {"conditional_properties",
         {{{"name", "TEXT NOT NULL PRIMARY KEY"},
           {"origin", "TEXT NOT NULL"},
           {"value", "BLOB NOT NULL"},
           {"creation_timestamp", "REAL NOT NULL"},
           {"active", "INTEGER NOT NULL"},
           {"trigger_timeout", "REAL NOT NULL"},
           {"triggered_timestamp", "REAL NOT NULL"},
           {"time_to_live", "REAL NOT NULL"},
           {"trigger_event_name", "TEXT"},
           {"timed_out_event", "BLOB"},
           {"triggered_event", "BLOB"},
           {"expired_event", "BLOB"}},
          {},
          {}}},
        {"main_event_params",
         {{{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
           {"children_to_process", "INTEGER NOT NULL"},
           {"main_event", "BLOB NOT NULL"}},
          {},
          {}}},
    };
    return tables;
}

const MSRSqliteValue kAppMetadataRowID = std::string("1");

// The one app_metadata row of a fresh file: no bundle made yet.
MSRSqliteRecord freshAppMetadataRecord() {
    return {{"rowid", kAppMetadataRowID},
            {"last_bundle_index", int64_t{0}},
            {"last_bundle_start_timestamp", 0.0},
            {"last_bundle_end_timestamp", 0.0}};
}

double doubleOr(const MSRSqliteRow& row, const char* column, double fallback) {
    auto it = row.find(column);
    if (it == row.end()) return fallback;
    if (auto* d = std::get_if<double>(&it->second)) return *d;
    if (auto* i = std::get_if<int64_t>(&it->second)) return static_cast<double>(*i);
    return fallback;
}

}  // namespace

std::optional<MSRAppMetadata> MSRAppMetadata::initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                      double lastBundleStartTimestamp,
                                                                      double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        MSRStorageLog(2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    return MSRAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void MSRAppMetadata::incrementLastBundleIndex() {
    if (lastBundleIndex_ == std::numeric_limits<int32_t>::max()) {
        MSRStorageLog(5, 4001, "Bundle index overflow. Bundle index reset to 0.");
        lastBundleIndex_ = 0;
        return;
    }
    ++lastBundleIndex_;
}

// --- Lifecycle ----------------------------------------------------------------

std::unique_ptr<MSRDatabase> MSRDatabase::initWithDatabaseName(const std::string& name,
                                                               std::shared_ptr<MSRPersistedConfig> persistedConfig,
                                                               MSRError* error) {
    if (name.empty()) {
        MSRSetError(error, kArgument, "Received empty database name in init");
        return nullptr;
    }
    std::unique_ptr<MSRDatabase> database(new MSRDatabase());
    MSRCreateEngineDirectory();
    if (!database->initializeDatabaseResources("Init", MSRSDKFilePath(name), error)) return nullptr;
    database->persistedConfig_ = std::move(persistedConfig);
    return database;
}

// Closing a connection in the middle of a transaction would roll it back.
MSRDatabase::~MSRDatabase() { commitPendingWrites(); }

void MSRDatabase::setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig) {
    remoteConfig_ = std::move(remoteConfig);
}

MSRRemoteConfig& MSRDatabase::remoteConfig() const {
    return remoteConfig_ ? *remoteConfig_ : *MSRRemoteConfig::defaultInstance();
}

const std::string& MSRDatabase::databasePath() const {
    return sqliteStore_->databasePath();
}

// Write-ahead logging with NORMAL sync: a commit appends to the log without
// waiting for the disk, and every committed transaction survives the process
// being killed (a power loss may roll back every transaction committed since
// the last checkpoint; the file stays consistent).
void MSRDatabase::useJournalMode() {
    std::string mode;
    sqlite3_exec(
        sqliteStore_->sqliteHandle(), "PRAGMA journal_mode=WAL",
        [](void* out, int columns, char** values, char**) {
            if (columns > 0 && values[0]) *static_cast<std::string*>(out) = values[0];
            return 0;
        },
        &mode, nullptr);
    bool synchronous =
        sqlite3_exec(sqliteStore_->sqliteHandle(), "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
    // The writes touch the ends of a few tables and the reads go through the
    // tables in order, so a small page cache serves them as well as SQLite's
    // default 2 MiB, which a burst of events would otherwise fill for good.
    sqlite3_exec(sqliteStore_->sqliteHandle(), "PRAGMA cache_size=-512", nullptr, nullptr, nullptr);
    // A log that a large transaction grew (a drop at open, a salvage, one a
    // kill cut) is cut back once it has been copied into the file, instead
    // of keeping its size on the disk for the life of the file.
    sqlite3_exec(sqliteStore_->sqliteHandle(), "PRAGMA journal_size_limit=8388608", nullptr, nullptr, nullptr);
    if (mode != "wal" || !synchronous) {
        MSRStorageLog(4, 12070, "Failed to switch the database to write-ahead logging. Journal mode", {mode});
    }
}

bool MSRDatabase::initializeDatabaseResources(const std::string& context, const std::string& path, MSRError* error) {
    if (!openStore(path, error)) {
        // What the copies set aside hold waits for a start that opens the
        // file; a damaged file that could not be set aside said so itself.
        std::error_code ec;
        if (std::filesystem::exists(path + kSalvageMarkSuffix, ec))
            std::fprintf(stderr,
                         "analytics database: %s cannot be opened; the events of the copies set aside wait, and a "
                         "later start with room goes on with their salvage\n",
                         path.c_str());
        return false;
    }
    // The store set a damaged file aside; a file whose tables are refused is
    // set aside as well. Either is kept, named in the salvage mark, and what
    // can be read of it is copied into the fresh file below.
    std::string damagedCopy;
    if (!ensureAllTables()) {
        MSRStorageLog(1, 12002, "Failed to create or validate required database tables (" + context + ")");
        // A table that could not be written for lack of room is no refusal:
        // the file stays, and a start with room makes its tables.
        const int written = sqlite3_errcode(sqliteStore_->sqliteHandle()) & 0xff;
        if (written == SQLITE_FULL || written == SQLITE_IOERR) {
            sqliteStore_->closeDatabase();
            std::fprintf(stderr,
                         "analytics database: no room to write the tables of %s; it stays where it is, what is "
                         "stored waits, and a later start with room goes on\n",
                         path.c_str());
            return false;
        }
        // Closed before the file moves: a connection left open on it would
        // accept every later write and lose it.
        if (!sqliteStore_->moveDatabaseAside(&damagedCopy)) {
            MSRStorageLog(4, 12003, "Failed to set old database file aside after failed validation (" + context + ")");
            return false;
        }
        if (!openStore(path, error)) return false;
        if (!ensureAllTables()) {
            MSRStorageLog(1, 12002, "Failed to create or validate required database tables (" + context + ")");
            sqliteStore_->closeDatabase();
            return false;
        }
    }
    if (!initializeAppMetadata()) {
        MSRStorageLog(1, 12004, "Failed to initialize App Metadata table (" + context + ")");
        return false;
    }
    resumeSalvage();
    moveStoredConfigurationToItsTable();
    return true;
}

void MSRDatabase::forgetRowsKnownInMemory() {
    userAttributesChanged();
    namesWithAggregates_.clear();
    lastMetadataKnownStored_ = false;
}

bool MSRDatabase::openStore(const std::string& path, MSRError* error) {
    std::unique_ptr<MSRSqliteStore> store =
        MSRSqliteStore::create(path, error, dropRawEventsPastWriterBound, path + kSalvageMarkSuffix);
    if (!store) return false;
    sqliteStore_ = std::move(store);
    // At the end of the process the writes still grouped are committed
    // before the connection closes (closing would roll them back).
    sqliteStore_->setBeforeCloseAtEnd([this] { commitPendingWrites(); });
    rawEventCount_.reset();
    forgetRowsKnownInMemory();
    useJournalMode();
    return true;
}

namespace {

// Said on standard error, not only to the monitor: the events the copies
// hold are neither lost nor sent until a start has room for them.
void sayWaitingSalvage(const std::string& copy, std::optional<int64_t> rows, bool mainFileOnly, size_t copiesAfter) {
    std::string count = rows ? (mainFileOnly ? "at least " : "") + std::to_string(*rows) + " rows"
                             : std::string("rows that could not be counted");
    std::string after = copiesAfter == 0 ? std::string()
                                         : ", and " + std::to_string(copiesAfter) +
                                               (copiesAfter == 1 ? " more copy" : " more copies") +
                                               " set aside after it wait to be read";
    std::fprintf(stderr,
                 "analytics database: the salvage of %s waits for room to write: %s of it wait to be copied%s; a "
                 "later start with room goes on with it\n",
                 copy.c_str(), count.c_str(), after.c_str());
}

}  // namespace

// A bundle the kept file queued carries its index, and a server drops a
// bundle whose (app instance, bundle index) it has seen: while the salvage
// waits, the engine numbers its own bundles past the kept file's. A write
// that fails for lack of room fails the engine's bundling alike.
void MSRDatabase::raiseBundleIndex(std::optional<int64_t> keptIndex) {
    if (!keptIndex || *keptIndex <= 0 || *keptIndex > std::numeric_limits<int32_t>::max()) return;
    sqlite3_stmt* raise = nullptr;
    if (sqlite3_prepare_v2(sqliteStore_->sqliteHandle(),
                           "UPDATE app_metadata SET last_bundle_index = max(last_bundle_index, ?1) WHERE rowid = 1",
                           -1, &raise, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(raise, 1, *keptIndex);
        sqlite3_step(raise);
    }
    sqlite3_finalize(raise);
}

namespace {

// How far the salvage of each kept copy has come, written in the commit of
// each part with the rows the part copied: the mark, a file beside the
// database, is written after that commit and may fail to be, and a start that
// took a copied part for not copied would copy it again after the engine had
// sent its rows. Keyed by the copy's name and size, which a copy keeps while
// it waits. Only a file a salvage wrote into has the table, and its
// declaration is short: the schema of every table fills the file's first
// page nearly whole, and that page, kept a single page, stands in for a kept
// file's destroyed one (see freshFirstPage).
constexpr const char* kSalvageProgressTable = "salvaged";

struct MSRSalvagePlace {
    std::string table;
    int64_t from = std::numeric_limits<int64_t>::min();
};

std::optional<MSRSalvagePlace> storedSalvagePlace(sqlite3* handle, const std::string& copy, int64_t copyBytes) {
    sqlite3_stmt* read = nullptr;
    std::optional<MSRSalvagePlace> place;
    if (sqlite3_prepare_v2(handle,
                           "SELECT at_table, at_row FROM salvaged WHERE copy = ?1 AND bytes = ?2",
                           -1, &read, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(read, 1, copy.c_str(), static_cast<int>(copy.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(read, 2, copyBytes);
        if (sqlite3_step(read) == SQLITE_ROW && sqlite3_column_type(read, 0) == SQLITE_TEXT &&
            sqlite3_column_type(read, 1) == SQLITE_INTEGER) {
            place = MSRSalvagePlace{reinterpret_cast<const char*>(sqlite3_column_text(read, 0)),
                                    sqlite3_column_int64(read, 1)};
        }
    }
    sqlite3_finalize(read);
    return place;
}

// Inside the part's transaction.
bool storeSalvagePlace(sqlite3* handle, const std::string& copy, int64_t copyBytes, const MSRSalvagePlace& place) {
    if (sqlite3_exec(handle, "CREATE TABLE IF NOT EXISTS salvaged(copy,bytes,at_table,at_row)", nullptr, nullptr,
                     nullptr) != SQLITE_OK)
        return false;
    bool written = true;
    for (const char* sql : {"DELETE FROM salvaged WHERE copy = ?1", "INSERT INTO salvaged VALUES (?1, ?2, ?3, ?4)"}) {
        sqlite3_stmt* write = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &write, nullptr) != SQLITE_OK) {
            sqlite3_finalize(write);
            return false;
        }
        sqlite3_bind_text(write, 1, copy.c_str(), static_cast<int>(copy.size()), SQLITE_TRANSIENT);
        if (sqlite3_bind_parameter_count(write) == 4) {
            sqlite3_bind_int64(write, 2, copyBytes);
            sqlite3_bind_text(write, 3, place.table.c_str(), static_cast<int>(place.table.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(write, 4, place.from);
        }
        written = written && sqlite3_step(write) == SQLITE_DONE;
        sqlite3_finalize(write);
    }
    return written;
}

}  // namespace

// The copies the salvage mark names are read one after the other, each
// once: a copy set aside while a salvage waited holds the rows copied so far
// and the engine's own rows stored meanwhile.
void MSRDatabase::resumeSalvage() {
    namespace fs = std::filesystem;
    const std::string path = sqliteStore_->databasePath();
    const std::string markPath = path + kSalvageMarkSuffix;
    // Scratch copies a killed salvage left are read no more.
    MSRDatabaseSalvage::removeScratchCopies(path);
    std::optional<MSRSalvageMark> mark = MSRSalvageMark::read(markPath);
    const bool salvaging = mark.has_value();
    if (mark) mark->forgetMissingCopies(fs::path(path).parent_path().string());
    std::error_code ec;
    while (mark && !mark->copies.empty()) {
        const SalvageOutcome outcome = salvageFirstCopy(*mark, markPath);
        if (outcome.waiting) {
            // The engine's new bundles are numbered past those of every copy
            // still to be read.
            std::optional<int64_t> lastBundleIndex = outcome.lastBundleIndex;
            for (size_t i = 1; i < mark->copies.size(); ++i) {
                const std::string later = (fs::path(path).parent_path() / mark->copies[i]).string();
                const std::optional<int64_t> index = MSRDatabaseSalvage::waitingInMainFile(later, {}).lastBundleIndex;
                if (index) lastBundleIndex = std::max(lastBundleIndex.value_or(0), *index);
            }
            raiseBundleIndex(lastBundleIndex);
            sayWaitingSalvage((fs::path(path).parent_path() / mark->copies.front()).string(), outcome.rows,
                              outcome.mainFileOnly, mark->copies.size() - 1);
            return;
        }
        mark->dropFirst();
        // A mark that cannot say the copy is done leaves it naming the copy
        // past its last table: the next start only finishes it.
        if (!mark->copies.empty() && !mark->write(markPath)) {
            sayWaitingSalvage((fs::path(path).parent_path() / mark->copies.front()).string(), std::nullopt, false,
                              mark->copies.size() - 1);
            return;
        }
    }
    fs::remove(markPath, ec);
    // With the mark gone no copy is read again: the progress goes too, and
    // the file has the tables of any other.
    if (salvaging && !ec) {
        const std::string drop = std::string("DROP TABLE IF EXISTS ") + kSalvageProgressTable;
        sqlite3_exec(sqliteStore_->sqliteHandle(), drop.c_str(), nullptr, nullptr, nullptr);
    }
}

// Every table the engine keeps: besides what waits to be sent, the counters,
// audience values, conditional properties and purchase fingerprints (without
// them a purchase is reported twice) are rebuilt from nothing only at a cost.
MSRDatabase::SalvageOutcome MSRDatabase::salvageFirstCopy(MSRSalvageMark& mark, const std::string& markPath) {
    namespace fs = std::filesystem;
    SalvageOutcome outcome;
    const std::string damagedCopy = (fs::path(sqliteStore_->databasePath()).parent_path() / mark.copies.front()).string();
    std::vector<std::string> tables;
    for (const auto& [table, declaration] : schema()) tables.push_back(table);
    tables.push_back(kEventsSnapshotTable);
    tables.push_back(kStoredConfigTable);

    bool lackOfRoom = false;
    std::unique_ptr<MSRDatabaseSalvage> salvage = MSRDatabaseSalvage::open(damagedCopy, freshFirstPage(), &lackOfRoom);
    if (!salvage && lackOfRoom) {
        MSRStorageLog(1, 12074, "Failed to copy the rows of the damaged database. Kept as, error",
                      {damagedCopy, std::string("no room for a copy to read")});
        const MSRDatabaseSalvage::Waiting waiting = MSRDatabaseSalvage::waitingInMainFile(damagedCopy, tables);
        outcome.waiting = true;
        outcome.rows = waiting.rows;
        outcome.mainFileOnly = true;
        outcome.lastBundleIndex = waiting.lastBundleIndex;
        return outcome;
    }
    if (!salvage) {
        MSRStorageLog(1, 12074, "Failed to copy the rows of the damaged database. Kept as, error",
                      {damagedCopy, std::string("cannot be opened")});
        return outcome;
    }
    // Where the mark's table stands among the tables: past the last once
    // every one is copied, nothing for a table this version does not know.
    auto placeOf = [&tables](const std::string& name) -> std::optional<size_t> {
        if (name == kEveryTableCopied) return tables.size();
        const auto named = std::find(tables.begin(), tables.end(), name);
        if (named == tables.end()) return std::nullopt;
        return static_cast<size_t>(named - tables.begin());
    };
    // A table this version does not know (or none) starts the copy from
    // the first: a row copied twice is copied once.
    size_t resumeAt = 0;
    if (std::optional<size_t> place = placeOf(mark.table)) {
        resumeAt = *place;
    } else {
        mark.from = std::numeric_limits<int64_t>::min();
    }
    // The progress committed with the rows wins over a mark left behind; a
    // mark of a version that kept no progress in the file (or one written
    // after this file lost its own) is followed as it stands.
    const std::string copyName = mark.copies.front();
    std::error_code sizeError;
    const uintmax_t copySize = fs::file_size(damagedCopy, sizeError);
    const int64_t copyBytes = sizeError ? -1 : static_cast<int64_t>(copySize);
    if (std::optional<MSRSalvagePlace> stored = storedSalvagePlace(sqliteStore_->sqliteHandle(), copyName, copyBytes)) {
        const std::optional<size_t> place = placeOf(stored->table);
        if (place && (*place > resumeAt || (*place == resumeAt && stored->from > mark.from))) {
            resumeAt = *place;
            mark.table = stored->table;
            mark.from = stored->from;
        }
    }
    // A salvage that waited for room let the engine write rows of its own
    // meanwhile, at rowids the kept rows not yet copied may have: the copy
    // moves such a row out of the way of the kept one (see copyRows). The
    // bundle index the engine has reached since is kept too.
    const std::optional<int64_t> ownBundleIndex =
        sqliteStore_->integerForQuery("SELECT last_bundle_index FROM app_metadata WHERE rowid = 1", {}, nullptr);
    std::vector<MSRDatabaseSalvage::TableResult> results(tables.size());
    MSRError error;
    bool committed = true;
    for (size_t t = resumeAt; committed && t < tables.size(); ++t) {
        const std::string& table = tables[t];
        MSRDatabaseSalvage::Limits limits;
        limits.replaceRows = table == "app_metadata";
        std::optional<int64_t> next = mark.from;
        while (committed && next) {
            const int64_t from = *next;
            committed = sqliteStore_->performTransaction(&error, [&] {
                // Made empty, once: a resumed part finds the rows it copied.
                if (table == kEventsSnapshotTable && salvage->hasTable(table) &&
                    !sqliteStore_->createEmptyTable(kEventsSnapshotTable, "events", &error))
                    return false;
                if (!salvage->copyRows(table, *sqliteStore_, from, limits, &results[t], &next)) return false;
                const MSRSalvagePlace reached{next ? table : t + 1 < tables.size() ? tables[t + 1] : kEveryTableCopied,
                                              next ? *next : std::numeric_limits<int64_t>::min()};
                if (!storeSalvagePlace(sqliteStore_->sqliteHandle(), copyName, copyBytes, reached)) {
                    MSRSetError(&error, kState, "Failed to record the progress of the salvage");
                    return false;
                }
                return true;
            });
            if (!committed) break;
            mark.table = next ? table : t + 1 < tables.size() ? tables[t + 1] : kEveryTableCopied;
            mark.from = next ? *next : std::numeric_limits<int64_t>::min();
            // The progress is in the file, committed with the part: a mark
            // that could not be written (a full disk) only lags behind it.
            mark.write(markPath);
        }
        if (committed) mark.from = std::numeric_limits<int64_t>::min();
    }
    // The bundle index goes on from the kept file's: a server drops a bundle
    // whose (app instance, bundle index) it has seen, so numbering again from
    // 0 would make new bundles look like repeats. The kept row may be
    // unreadable where the largest index still reads.
    // While the salvage waits, the engine's new bundles are numbered past the
    // kept ones too, which wait in the copy to be sent.
    std::optional<int64_t> lastBundleIndex = salvage->lastBundleIndex();
    if (committed) {
        if (ownBundleIndex) lastBundleIndex = std::max(lastBundleIndex.value_or(0), *ownBundleIndex);
        committed = sqliteStore_->performTransaction(&error, [&] {
            // The kept row took the place of the fresh one (rowid 1).
            if (!sqliteStore_->deleteRecordsFromTable("app_metadata", "rowid != 1", {}, &error)) return false;
            std::optional<int64_t> metadataRows = sqliteStore_->rowCountForTable("app_metadata", &error);
            if (!metadataRows) return false;
            if (*metadataRows == 0 && !sqliteStore_->upsertRecord(freshAppMetadataRecord(), "app_metadata", &error))
                return false;
            raiseBundleIndex(lastBundleIndex);
            return true;
        });
    }
    // What is left to copy, while the copy is still open to count it.
    if (!committed) {
        const size_t at = placeOf(mark.table).value_or(0);
        for (size_t t = std::min(at, tables.size()); t < tables.size(); ++t) {
            const int64_t from = t == at ? mark.from : std::numeric_limits<int64_t>::min();
            if (std::optional<int64_t> rows = salvage->rowsFrom(tables[t], from))
                outcome.rows = outcome.rows.value_or(0) + *rows;
        }
    }
    salvage.reset();
    rawEventCount_.reset();
    forgetRowsKnownInMemory();
    // A salvage that cannot commit (a full disk, a failing write) keeps its
    // mark and the copy: the parts committed stay, and a later start goes on
    // from where the mark says, the rows the engine writes meanwhile moved
    // out of the way first. Nothing acknowledged is given up.
    if (!committed) {
        MSRStorageLog(1, 12074, "Failed to copy the rows of the damaged database. Kept as, error", {damagedCopy, error});
        outcome.waiting = true;
        outcome.lastBundleIndex = lastBundleIndex;
        return outcome;
    }
    for (size_t t = 0; t < tables.size(); ++t) {
        const MSRDatabaseSalvage::TableResult& result = results[t];
        // Built in place: copied out of an initializer list, the contexts'
        // variants trip GCC's sanitizer builds.
        std::vector<MSRLogContext> contexts;
        contexts.reserve(4);
        contexts.emplace_back(tables[t]);
        contexts.emplace_back(result.found ? result.copied : int64_t{-1});
        contexts.emplace_back(result.refused);
        contexts.emplace_back(result.unreadableStretches);
        MSRStorageLog(3, 12073,
                      "Rows copied from the damaged database. Table, rows copied (-1: unreadable), rows refused, "
                      "unreadable stretches",
                      contexts);
    }
    return outcome;
}

// The file was just made by ensureAllTables, which puts every table at the
// same page each time: its first page, which holds the schema, stands in for
// a kept file's destroyed one.
std::vector<uint8_t> MSRDatabase::freshFirstPage() {
    sqlite3* handle = sqliteStore_->sqliteHandle();
    int logFrames = 0;
    int copiedFrames = 0;
    if (sqlite3_wal_checkpoint_v2(handle, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copiedFrames) !=
            SQLITE_OK ||
        copiedFrames != logFrames)
        return {};
    MSRError error;
    const int64_t pageSize = sqliteStore_->integerForQuery("PRAGMA page_size", {}, &error).value_or(0);
    if (pageSize < 512 || pageSize > 65536) return {};
    std::vector<uint8_t> page(static_cast<size_t>(pageSize));
    std::ifstream file(sqliteStore_->databasePath(), std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(page.data()), pageSize)) return {};
    return page;
}

bool MSRDatabase::ensureAllTables() {
    for (const auto& [table, declaration] : schema()) {
        MSRError error;
        // Any refusal counts, with or without an error: a table that is not
        // as declared is no table to write into.
        if (!sqliteStore_->ensureTable(table, declaration.elementary, declaration.addOn, declaration.modify,
                                       &error)) {
            MSRStorageLog(1, 12047, "Failed to ensure table. Table, error", {table, error});
            return false;
        }
    }
    // The upload schedule asks for the newest raw event and for a waiting
    // real-time one after every stored event; without these indexes each
    // question reads the whole table, so storing grew slower with every row.
    // Only the few real-time rows are indexed: an entry for every row cost
    // each stored event about ten bytes. Files written before keep the full
    // index until they are opened here.
    for (const char* sql : {"CREATE INDEX IF NOT EXISTS raw_events_timestamp ON raw_events (timestamp)",
                            "CREATE INDEX IF NOT EXISTS raw_events_realtime ON raw_events (is_realtime) "
                            "WHERE is_realtime = 1",
                            "DROP INDEX IF EXISTS raw_events_is_realtime"}) {
        if (sqlite3_exec(sqliteStore_->sqliteHandle(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            MSRStorageLog(1, 12047, "Failed to ensure table. Table, error",
                          {std::string("raw_events"), std::string(sqlite3_errmsg(sqliteStore_->sqliteHandle()))});
            return false;
        }
    }
    MSRError error;
    if (!sqliteStore_->ensureTable(kStoredConfigTable, MSRColumnInfo{{"remote_config_data", "BLOB NOT NULL"}},
                                   MSRColumnInfo{}, &error)) {
        MSRStorageLog(1, 12047, "Failed to ensure table. Table, error",
                      {std::string(kStoredConfigTable), error});
        return false;
    }
    return true;
}

bool MSRDatabase::initializeAppMetadata() {
    return performTransaction([this] {
        MSRError error;
        std::optional<MSRAppMetadata> existing = queryAppMetadata(&error);
        if (existing) return true;
        if (error.code() != 0) {
            MSRStorageLog(1, 12005, "Failed to query app metadata");
            return false;
        }
        if (!upsertDataType(freshAppMetadataRecord(), "app_metadata", "rowid", kAppMetadataRowID, 1, &error)) {
            MSRStorageLog(1, 12006, "Unable to update the app metadata. Error", {error});
            return false;
        }
        return true;
    });
}

std::optional<MSRAppMetadata> MSRDatabase::queryAppMetadata(MSRError* error) {
    // Only the bookkeeping's columns: the row also holds the stored
    // configuration, which is sized before anything reads it.
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM app_metadata "
        "WHERE rowid = ?",
        {kAppMetadataRowID}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const MSRSqliteRow& row = rows->front();
    auto index = row.find("last_bundle_index");
    std::optional<MSRAppMetadata> metadata = MSRAppMetadata::initWithLastBundleIndex(
        index == row.end() ? 0 : static_cast<int32_t>(MSRSqliteInt64(index->second)),
        doubleOr(row, "last_bundle_start_timestamp", 0.0), doubleOr(row, "last_bundle_end_timestamp", 0.0));
    if (!metadata) MSRSetError(error, kState, "Failed to initialize data types from dictionaries");
    return metadata;
}

bool MSRDatabase::updateAppMetadata(const std::optional<MSRAppMetadata>& appMetadata, MSRError* error) {
    if (!appMetadata) {
        MSRSetError(error, kConversion, "Received empty app metadata for getting dictionary representation");
        return false;
    }
    MSRSqliteRecord record = {{"rowid", kAppMetadataRowID},
                              {"last_bundle_index", int64_t{appMetadata->lastBundleIndex()}},
                              {"last_bundle_start_timestamp", appMetadata->lastBundleStartTimestamp()},
                              {"last_bundle_end_timestamp", appMetadata->lastBundleEndTimestamp()}};
    return updateDataType(record, "app_metadata", "rowid", kAppMetadataRowID, error);
}

bool MSRDatabase::reset(MSRError* error) {
    commitPendingWrites();
    std::string path = sqliteStore_->databasePath();
    sqliteStore_->closeDatabase();
    if (!wipeFiles(path)) {
        MSRSetError(error, kState, "Failed to delete database data");
        return false;
    }
    return initializeDatabaseResources("Reset", path, error);
}

// The order keeps a wipe that stops anywhere (a kill, a removal that fails)
// safe to finish by running it again, which the caller's retry does: the
// copies go while the mark still names them, so a second run finds what the
// first left; the mark goes once nothing it names is left, after which no
// salvage brings anything back; the database's logs go before the file, so
// no log outlives it to be played into a fresh one.
bool MSRDatabase::wipeFiles(const std::string& path, std::string* failure) {
    namespace fs = std::filesystem;
    std::string unused;
    if (!failure) failure = &unused;
    const fs::path folder = fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    auto remove = [failure](const std::string& file) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(file, ec))) return true;
        MSRClearImmutableFlag(file);
        fs::remove(file, ec);
        if (!ec) return true;
        *failure = file + ": " + ec.message();
        MSRStorageLog(1, 12100, "Failed to wipe the database's files. File, error", {file, ec.message()});
        return false;
    };
    auto removeWithLogs = [&](const std::string& file) {
        for (const char* suffix : {"-wal", "-journal", "-shm"}) {
            if (!remove(file + suffix)) return false;
        }
        return remove(file);
    };
    const std::string markPath = path + kSalvageMarkSuffix;
    MSRDatabaseSalvage::removeScratchCopies(path);
    if (std::optional<MSRSalvageMark> mark = MSRSalvageMark::read(markPath)) {
        // Only what a set-aside names so: a damaged mark names no other file.
        const std::string copyPrefix = fs::path(path).filename().string() + ".damaged-";
        for (const std::string& copy : mark->copies) {
            if (copy.rfind(copyPrefix, 0) != 0) continue;
            if (!removeWithLogs((folder / copy).string())) return false;
        }
    }
    return remove(markPath + ".writing") && remove(markPath) && removeWithLogs(path);
}

bool MSRDatabase::performTransaction(const std::function<bool()>& block) { return performTransaction(block, true); }

// Inside a group the block's writes are undone by a savepoint of the group's
// transaction, or, without one, by SQLite's undoing of the one statement that
// failed; the group's daily counts are taken back here either way.
bool MSRDatabase::performTransaction(const std::function<bool()>& block, bool savepoint) {
    if (groupedBlockDepth_ == 0) commitPendingWrites();
    const bool grouped = groupedBlockDepth_ > 0 || (pendingWritesHolds_ > 0 && groupOpen_);
    const std::optional<MSRDailyCounts> countsBefore = groupDailyCounts_;
    const bool countsChangedBefore = groupDailyCountsChanged_;
    MSRError error;
    bool committed;
    try {
        if (!grouped) {
            committed = sqliteStore_->performTransaction(&error, block);
        } else if (savepoint) {
            committed = sqliteStore_->performSavepoint(&error, block);
        } else {
            committed = block();
            if (!committed) MSRSetError(&error, kConversion, "Transaction failed");
        }
    } catch (...) {
        rawEventCount_.reset();
        forgetRowsKnownInMemory();
        groupDailyCounts_ = countsBefore;
        groupDailyCountsChanged_ = countsChangedBefore;
        throw;
    }
    if (!committed) {
        // Whatever the block counted was rolled back with it.
        rawEventCount_.reset();
        forgetRowsKnownInMemory();
        groupDailyCounts_ = countsBefore;
        groupDailyCountsChanged_ = countsChangedBefore;
        MSRStorageLog(1, 12056, "Transaction failed. " + error.localizedDescription());
    }
    return committed;
}

// --- Grouped writes ------------------------------------------------------------

bool MSRDatabase::hasPendingWrites() const { return groupOpen_; }

bool MSRDatabase::performGroupedTransaction(const std::function<bool()>& block) {
    return runGroupedBlock(block, true);
}

bool MSRDatabase::performGroupedWrite(const std::function<bool()>& block) { return runGroupedBlock(block, false); }

bool MSRDatabase::runGroupedBlock(const std::function<bool()>& block, bool savepoint) {
    if (!groupOpen_) {
        if (!sqliteStore_->beginTransaction()) {
            MSRStorageLog(1, 12056, "Transaction failed. Failed to begin transaction");
            return false;
        }
        groupOpen_ = true;
    }
    // Inside the group performTransaction runs the block as a savepoint.
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(++d) {}
        ~Depth() { --depth; }
    };
    bool kept;
    {
        Depth inGroup(groupedBlockDepth_);
        kept = performTransaction(block, savepoint);
    }
    if (kept) return ++pendingWriteCount_ < kMaxGroupedWrites || commitPendingWrites();
    // An error that made SQLite roll back the whole transaction took the
    // group's earlier writes with it.
    if (!sqliteStore_->isInTransaction()) endPendingWrites(false);
    return false;
}

void MSRDatabase::holdPendingWrites(const std::function<void()>& block) {
    struct Hold {
        int& holds;
        explicit Hold(int& h) : holds(++h) {}
        ~Hold() { --holds; }
    } held(pendingWritesHolds_);
    block();
}

bool MSRDatabase::commitPendingWrites() {
    if (!groupOpen_ || groupedBlockDepth_ > 0 || pendingWritesHolds_ > 0) return true;
    return endPendingWrites(true);
}

bool MSRDatabase::endPendingWrites(bool commit) {
    const int64_t writes = std::exchange(pendingWriteCount_, 0);
    groupOpen_ = false;
    const std::optional<MSRDailyCounts> counts = std::exchange(groupDailyCounts_, std::nullopt);
    if (commit && std::exchange(groupDailyCountsChanged_, false) && sqliteStore_->isInTransaction()) {
        // The counts go with the events they counted, or not at all.
        MSRError error;
        if (!writeDailyCounts(*counts, &error)) {
            MSRStorageLog(1, 12056, "Transaction failed. " + error.localizedDescription());
            commit = false;
        }
    }
    groupDailyCountsChanged_ = false;
    const bool committed = commit && sqliteStore_->isInTransaction() && sqliteStore_->endTransaction();
    if (!committed) {
        // A commit that could not take its lock or write its log leaves the
        // transaction open, and every later BEGIN of this connection would fail.
        if (sqliteStore_->isInTransaction() && !sqliteStore_->rollbackTransaction()) {
            MSRStorageLog(1, 34011, "Failed to rollback transaction");
        }
        rawEventCount_.reset();
        forgetRowsKnownInMemory();
        if (writes > 0) {
            MSRStorageLog(1, 12056, "Transaction failed. Writes lost", {std::to_string(writes)});
            foundation::DataLoss::note("analytics writes", writes,
                                       "writes of events and user properties undone by a failed commit");
        }
    }
    // The blocks may open another group.
    std::vector<std::function<void(bool)>> blocks = std::exchange(blocksAfterPendingWrites_, {});
    for (const auto& block : blocks) block(committed);
    return committed;
}

void MSRDatabase::runWhenPendingWritesEnd(std::function<void(bool committed)> block) {
    if (!block) return;
    if (groupOpen_) {
        blocksAfterPendingWrites_.push_back(std::move(block));
    } else {
        block(true);
    }
}

// --- Generic rows ---------------------------------------------------------------

std::optional<size_t> MSRDatabase::allDataTypesFromTable(const std::string& table, int64_t tableLimit,
                                                         MSRError* error, const MSRDataTypeBlock& block) {
    if (!block) {
        MSRSetError(error, kArgument, "Received nil block to get all data types");
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {}, error);
    if (!rows) return std::nullopt;
    size_t made = 0;
    for (const MSRSqliteRow& row : *rows) made += block(row, error) ? 1 : 0;
    return made;
}

std::optional<size_t> MSRDatabase::dataTypesFromTable(const std::string& table, const std::string& columnName,
                                                      const std::optional<MSRSqliteValue>& columnValue,
                                                      MSRError* error, const MSRDataTypeBlock& block) {
    const char* refusal = table.empty()        ? "Received empty table name to create data type from table"
                          : columnName.empty() ? "Received empty column name to create data type from table"
                          : !columnValue       ? "Received nil column value to create data type from table"
                                               : nullptr;
    if (refusal) {
        MSRSetError(error, kArgument, refusal);
        return std::nullopt;
    }
    if (!block) {
        MSRSetError(error, kState, "Received nil block to create data type from table");
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery("SELECT rowid, * FROM " + table + " WHERE " + columnName + " = ?",
                                              {*columnValue}, error);
    if (!rows) return std::nullopt;
    size_t made = 0;
    for (const MSRSqliteRow& row : *rows) made += block(row, error) ? 1 : 0;
    if (!rows->empty() && made == 0) {
        MSRSetError(error, kState, "Failed to initialize data types from dictionaries");
        return std::nullopt;
    }
    return made;
}

bool MSRDatabase::insertDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table,
                                 MSRError* error) {
    if (table.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty table name for inserting");
    if (!record) return MSRCheckSuccess(false, error, kState, "Failed to insert empty record");
    if (table == "raw_events") rawEventCount_.reset();
    return sqliteStore_->upsertRecord(*record, table, error);
}

bool MSRDatabase::upsertDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table,
                                 const std::string& columnName, const std::optional<MSRSqliteValue>& columnValue,
                                 int64_t tableLimit, MSRError* error) {
    if (!record) return MSRCheckSuccess(false, error, kArgument, "Received empty data type to upsert");
    if (table.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty table name for checking upsert");
    auto keyed = sqliteStore_->rowCountForTable(table, columnName, columnValue, error);
    if (!keyed) return false;
    auto all = sqliteStore_->rowCountForTable(table, error);
    if (!all) return false;
    if (*keyed == 0 && *all >= tableLimit) {
        return MSRCheckSuccess(false, error, kState, "Failed to insert data type. Table is full");
    }
    if (table == "raw_events") rawEventCount_.reset();
    return sqliteStore_->upsertRecord(*record, table, error);
}

bool MSRDatabase::updateDataType(const std::optional<MSRSqliteRecord>& record, const std::string& table,
                                 const std::string& columnName, const std::optional<MSRSqliteValue>& columnValue,
                                 MSRError* error) {
    if (!record) return MSRCheckSuccess(false, error, kArgument, "Received empty data type to update");
    if (table.empty()) return MSRCheckSuccess(false, error, kArgument, "Received empty table name for updating");
    auto keyed = sqliteStore_->rowCountForTable(table, columnName, columnValue, error);
    if (!keyed) return false;
    if (*keyed == 0) return MSRCheckSuccess(false, error, kState, "Failed to update record. Item doesn't exist");
    return sqliteStore_->updateRecord(*record, table, columnName, columnValue, error);
}

// --- Shared question helpers ---------------------------------------------------------

std::optional<bool> MSRDatabase::answerForQuery(const std::string& query, const MSRSqliteValues& parameters,
                                                MSRError* error) {
    auto number = sqliteStore_->integerForQuery(query, parameters, error);
    if (!number) return std::nullopt;
    return *number != 0;
}

std::optional<bool> MSRDatabase::isTableEmpty(const std::string& table, MSRError* error) {
    return answerForQuery("SELECT NOT EXISTS (SELECT 1 FROM " + table + " LIMIT 1)", {}, error);
}

std::optional<bool> MSRDatabase::containsRealtimeRows(const std::string& table, MSRError* error) {
    return answerForQuery("SELECT EXISTS (SELECT 1 FROM " + table + " WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

std::optional<double> MSRDatabase::timeForQuery(const std::string& query, MSRError* error) {
    auto number = sqliteStore_->numberForQuery(query, {}, error);
    if (!number) return std::nullopt;
    if (auto* d = std::get_if<double>(&*number)) return *d;
    return static_cast<double>(MSRSqliteInt64(*number));
}

bool MSRDatabase::stepCachedStatement(const std::string& sql, const MSRSqliteValues& parameters,
                                      const char* operation, MSRError* error) {
    sqlite3_stmt* statement = sqliteStore_->statementForQuery(sql, parameters, error);
    if (!statement) return false;
    bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) sqliteStore_->setDatabaseError(error, operation);
    sqliteStore_->cleanUpStatement(statement, sql);
    return done;
}

bool MSRDatabase::stepCachedQuery(const std::string& sql, const MSRSqliteValues& parameters, const char* operation,
                                  MSRError* error, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* statement = sqliteStore_->statementForQuery(sql, parameters, error);
    if (!statement) return false;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    // A step failing part-way must not pass for the end of the rows.
    bool done = rc == SQLITE_DONE;
    if (!done) sqliteStore_->setDatabaseError(error, operation);
    sqliteStore_->cleanUpStatement(statement, sql);
    return done;
}
