#include "analytics/reporters/MSREDatabase.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/reporters/MSREMonitor.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"

namespace {

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";
constexpr int64_t kFetchLimit = 100000;

const MSRColumnInfo& snapshotColumns() {
    static const MSRColumnInfo columns{
        {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
        {kSnapshotColumn, "BLOB NOT NULL"},
        {kTimestampColumn, "REAL NOT NULL"},
        {kManuallyActivatedColumn, "INTEGER"},
    };
    return columns;
}

void setError(MSRError* error, int64_t code, std::string_view description) {
    if (error) *error = MSRError::msr_errorWithCode(code, description);
}

std::optional<double> doubleColumn(const MSRSqliteRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end()) return std::nullopt;
    if (const auto* real = std::get_if<double>(&found->second)) return *real;
    if (const auto* integer = std::get_if<int64_t>(&found->second)) return static_cast<double>(*integer);
    return std::nullopt;
}

// A stored row as a snapshot; nothing when its bytes do not make one.
std::optional<MSRESnapshot> snapshotFromRow(const MSRSqliteRow& row) {
    auto bytes = row.find(kSnapshotColumn);
    if (bytes == row.end()) return std::nullopt;
    const auto* blob = std::get_if<MSRSqliteBlob>(&bytes->second);
    if (!blob) return std::nullopt;
    // What was stored of an answer is read within the answer's bounds.
    if (const std::optional<MSRPBWireRefusal> refusal = MSRPBWireRefusalOf(*blob, MSRPBMessageID::Snapshot)) {
        MSRELog(1, refusal->code, refusal->text,
                {MSRLogContext(static_cast<int64_t>(refusal->count)),
                 MSRLogContext(static_cast<int64_t>(refusal->bound))});
        return std::nullopt;
    }
    std::optional<MSRPBSnapshot> message = MSRPBSnapshot::initWithBuffer(*blob);
    if (!message) return std::nullopt;
    std::optional<MSRESnapshot> snapshot = MSRESnapshot::initWithProtobuf(*message);
    if (!snapshot) return std::nullopt;
    snapshot->setTimestamp(doubleColumn(row, kTimestampColumn).value_or(0));
    auto manual = row.find(kManuallyActivatedColumn);
    if (manual != row.end()) {
        if (const auto* flag = std::get_if<int64_t>(&manual->second))
            snapshot->setManuallyActivated(*flag != 0);
    }
    return snapshot;
}

// The columns of a snapshot row as reads take them: its message only within
// a snapshot's bound (and only as the blob the writer stores), beside the
// stored length.
std::string snapshotRowsOf(const std::string& table) {
    static const std::string columns = std::string("rowid, ") + kSDKNameColumn + ", " +
                                       MSRStoredMost::blobColumnWithinBound(kSnapshotColumn,
                                                                            MSRStoredMost::kSnapshotBytes) +
                                       ", " + kTimestampColumn + ", " + kManuallyActivatedColumn + " FROM ";
    return columns + table;
}

std::string textColumn(const MSRSqliteRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end()) return {};
    const auto* text = std::get_if<std::string>(&found->second);
    return text ? *text : std::string();
}

}  // namespace

MSREDatabase::MSREDatabase(std::string path) : path_(std::move(path)) {}
MSREDatabase::~MSREDatabase() = default;

std::unique_ptr<MSREDatabase> MSREDatabase::initWithPath(const std::string& path) {
    if (path.empty()) {
        MSRELog(1, 810000, "Cannot initialize the database with invalid path");
        return nullptr;
    }
    std::unique_ptr<MSREDatabase> database(new MSREDatabase(path));
    if (!database->initializeDatabaseResources("Init")) return nullptr;
    return database;
}

bool MSREDatabase::initializeDatabaseResources(const std::string& context) {
    MSRError error;
    store_ = MSRSqliteStore::create(path_, &error, dropSnapshotsPastTableBounds);
    if (!store_) {
        MSRELog(1, 810001, "Failed to open database (" + context + ")", {MSRLogContext(error)});
        return false;
    }
    if (ensureAllTables()) return true;
    MSRELog(1, 810002, "Failed to create or validate required database tables (" + context + ")");
    store_.reset();
    MSRError deleteError;
    if (!MSRDeleteFileAtPath(path_, &deleteError)) {
        MSRELog(4, 810003,
                "Failed to delete old database file after failed validation. Error (" + context + ")",
                {MSRLogContext(deleteError)});
    }
    return false;
}

bool MSREDatabase::ensureAllTables() {
    for (const char* table : {kPendingTable, kActivatedTable, kLaunchedTable}) {
        MSRError error;
        if (!store_->ensureTable(table, snapshotColumns(), {}, {}, &error)) {
            MSRELog(1, 810004, "Failed to ensure table. Table, error",
                    {MSRLogContext(table), MSRLogContext(error)});
            return false;
        }
    }
    return true;
}

bool MSREDatabase::storeUnavailable(MSRError* error) const {
    if (store_) return false;
    setError(error, 2, "Database is not open");
    return true;
}

void MSREDatabase::closeAndDelete() {
    if (!store_ || !store_->closeAndDeleteDatabase()) MSRELog(4, 810005, "Failed to delete database data");
    store_.reset();
}

void MSREDatabase::reset() {
    closeAndDelete();
    if (!initializeDatabaseResources("Reset")) MSRELog(1, 810006, "Cannot re-initialize the database");
}

bool MSREDatabase::performTransaction(const std::function<bool()>& block) {
    MSRError error;
    if (storeUnavailable(&error) || !store_->performTransaction(&error, block)) {
        MSRELog(1, 810007, "Transaction failed. " + error.localizedDescription());
        return false;
    }
    return true;
}

std::optional<std::vector<MSRESnapshot>> MSREDatabase::fetchAllSnapshots(const std::string& table,
                                                                         MSRError* error) {
    if (storeUnavailable(error)) return std::nullopt;
    dropSnapshotsPastTableBound(*store_, table);
    // One row at a time: what the read holds is the snapshots it makes.
    std::vector<MSRESnapshot> snapshots;
    std::vector<MSRSqliteRow> dropped;
    bool invalid = false;
    const bool read = store_->stepRecords(
        "SELECT " + snapshotRowsOf(table) + " ORDER BY rowid LIMIT " + std::to_string(kFetchLimit), {}, error,
        [&](const MSRSqliteRow& row) {
            auto length = row.find("stored_length");
            const auto* stored = length == row.end() ? nullptr : std::get_if<int64_t>(&length->second);
            if (stored && (*stored == MSRStoredMost::kNotABlob ||
                           *stored > static_cast<int64_t>(MSRStoredMost::kSnapshotBytes))) {
                MSRSqliteRow kept;
                for (const char* column : {"rowid", kSDKNameColumn, "stored_length"})
                    if (auto found = row.find(column); found != row.end()) kept.emplace(found->first, found->second);
                dropped.push_back(std::move(kept));
                return true;
            }
            std::optional<MSRESnapshot> snapshot = snapshotFromRow(row);
            if (!snapshot) {
                invalid = true;
                return false;
            }
            snapshots.push_back(std::move(*snapshot));
            return true;
        });
    for (const MSRSqliteRow& row : dropped) dropSnapshotPastBound(table, row);
    if (!read) return std::nullopt;
    if (invalid) {
        setError(error, 2, "Received an invalid snapshot from database");
        return std::nullopt;
    }
    return snapshots;
}

void MSREDatabase::dropSnapshotsPastTableBounds(MSRSqliteStore& store) {
    for (const char* table : {kPendingTable, kActivatedTable, kLaunchedTable}) dropSnapshotsPastTableBound(store, table);
}

void MSREDatabase::dropSnapshotsPastTableBound(MSRSqliteStore& store, const std::string& table) {
    // Newest first; the walk stops at the first row that does not fit, so it
    // visits at most one row more than a table may hold.
    std::vector<MSRSqliteRow> ownBound;
    std::optional<int64_t> lastToGo;
    int64_t visited = 0;
    int64_t keptBytes = 0;
    const bool read = store.stepRecords(
        std::string("SELECT rowid, ") + kSDKNameColumn + ", " + MSRStoredMost::storedBytes(kSnapshotColumn) +
            " AS stored_length FROM " + table + " ORDER BY rowid DESC",
        {}, nullptr, [&](const MSRSqliteRow& row) {
            auto rowid = row.find("rowid");
            if (rowid == row.end()) return true;
            auto length = row.find("stored_length");
            const auto* stored = length == row.end() ? nullptr : std::get_if<int64_t>(&length->second);
            if (++visited > MSRStoredMost::kSnapshotRowsPerTable) {
                lastToGo = MSRSqliteInt64(rowid->second);
                return false;
            }
            if (!stored || *stored == MSRStoredMost::kNotABlob ||
                *stored > static_cast<int64_t>(MSRStoredMost::kSnapshotBytes)) {
                ownBound.push_back(row);
                return true;
            }
            if (keptBytes > 0 && keptBytes + *stored > static_cast<int64_t>(MSRStoredMost::kSnapshotTableBytes)) {
                lastToGo = MSRSqliteInt64(rowid->second);
                return false;
            }
            keptBytes += *stored;
            return true;
        });
    if (!read) return;
    for (const MSRSqliteRow& row : ownBound) {
        auto length = row.find("stored_length");
        if (length == row.end()) {
            // NULL where a snapshot must be: no writer stores that either.
            MSRSqliteRow marked = row;
            marked.insert_or_assign("stored_length", MSRSqliteValue(MSRStoredMost::kNotABlob));
            dropSnapshotPastBoundIn(store, table, marked);
        } else {
            dropSnapshotPastBoundIn(store, table, row);
        }
    }
    if (!lastToGo) return;
    MSRError error;
    std::optional<int64_t> deleted = store.deleteRowsUpTo(table, *lastToGo, &error);
    if (!deleted) {
        MSRELog(1, 810012, "Cannot delete snapshots past what a table may hold. Table, error",
                {MSRLogContext(table), MSRLogContext(error)});
        return;
    }
    MSRELog(1, 810011, "Deleted snapshots past what a table may hold. Table, rows deleted",
            {MSRLogContext(table), MSRLogContext(*deleted)});
}

bool MSREDatabase::dropSnapshotPastBound(const std::string& table, const MSRSqliteRow& row) {
    return store_ && dropSnapshotPastBoundIn(*store_, table, row);
}

bool MSREDatabase::dropSnapshotPastBoundIn(MSRSqliteStore& store, const std::string& table,
                                           const MSRSqliteRow& row) {
    auto length = row.find("stored_length");
    const auto* stored = length == row.end() ? nullptr : std::get_if<int64_t>(&length->second);
    if (stored && *stored == MSRStoredMost::kNotABlob) {
        MSRELog(1, 810010, "Deleted a snapshot not stored as bytes. SDK name",
                {MSRLogContext(textColumn(row, kSDKNameColumn))});
        if (auto rowid = row.find("rowid"); rowid != row.end())
            store.deleteRecordsFromTable(table, "rowid = ?", {rowid->second}, nullptr);
        return true;
    }
    if (!stored || *stored <= static_cast<int64_t>(MSRStoredMost::kSnapshotBytes)) return false;
    MSRELog(1, 810009, "Deleted a snapshot larger than a snapshot may be stored. SDK name, stored bytes",
            {MSRLogContext(textColumn(row, kSDKNameColumn)), MSRLogContext(*stored)});
    // Should the deletion fail, the next read drops it again; the rows
    // beside it are read all the same.
    if (auto rowid = row.find("rowid"); rowid != row.end())
        store.deleteRecordsFromTable(table, "rowid = ?", {rowid->second}, nullptr);
    return true;
}

std::optional<std::vector<MSRESnapshot>> MSREDatabase::fetchAllPendingSnapshots(MSRError* error) {
    return fetchAllSnapshots(kPendingTable, error);
}
std::optional<std::vector<MSRESnapshot>> MSREDatabase::fetchAllActivatedSnapshots(MSRError* error) {
    return fetchAllSnapshots(kActivatedTable, error);
}
std::optional<std::vector<MSRESnapshot>> MSREDatabase::fetchAllLaunchedSnapshots(MSRError* error) {
    return fetchAllSnapshots(kLaunchedTable, error);
}

bool MSREDatabase::upsertSnapshot(const MSRPBSnapshot& snapshot, const std::string& table, double timestamp,
                                  std::optional<bool> manuallyActivated, MSRError* error) {
    if (storeUnavailable(error)) return false;
    const std::string name = MSRPBGetString(snapshot, MSRSnapshotSlot::kSDKName).value_or("");
    std::optional<std::vector<uint8_t>> bytes = snapshot.protoBuffer();
    if (name.empty() || !bytes) {
        setError(error, 1, "Received a snapshot without SDK name");
        return false;
    }
    if (bytes->size() > MSRStoredMost::kSnapshotBytes) {
        setError(error, 1, "Received a snapshot larger than a snapshot may be stored");
        return false;
    }
    MSRSqliteRecord record{
        {kSDKNameColumn, name},
        {kSnapshotColumn, std::move(*bytes)},
        {kTimestampColumn, timestamp},
    };
    if (manuallyActivated) record.emplace(kManuallyActivatedColumn, int64_t{*manuallyActivated ? 1 : 0});
    return store_->upsertRecord(record, table, error);
}

bool MSREDatabase::upsertPendingExperimentSnapshots(const std::vector<MSRESnapshot>& snapshots,
                                                    MSRError* error) {
    if (storeUnavailable(error)) return false;
    // The snapshots of one answer are written together or not at all, in one
    // transaction rather than one per row (a savepoint within a caller's).
    MSRError stepError;
    auto upsertAll = [&] {
        for (const MSRESnapshot& snapshot : snapshots) {
            if (!upsertSnapshot(snapshot.proto(), kPendingTable, snapshot.timestamp(), snapshot.manuallyActivated(),
                                &stepError))
                return false;
        }
        return true;
    };
    MSRError transactionError;
    const bool written = store_->isInTransaction() ? store_->performSavepoint(&transactionError, upsertAll)
                                                   : store_->performTransaction(&transactionError, upsertAll);
    if (!written && error) *error = stepError != MSRError() ? stepError : transactionError;
    return written;
}

bool MSREDatabase::activateSnapshot(const MSRESnapshot& snapshot, double timestamp, MSRError* error) {
    if (storeUnavailable(error)) return false;
    std::optional<MSREExperiment> launched;
    std::vector<MSREExperiment> others;
    for (MSREExperiment& experiment : snapshot.experiments()) {
        if (experiment.experimentID() == 0) {
            launched = std::move(experiment);
        } else {
            others.push_back(std::move(experiment));
        }
    }
    if (launched) {
        auto launchedSnapshot = MSRESnapshot::initWithSDKName(snapshot.SDKName(), {*launched});
        if (!launchedSnapshot ||
            !upsertSnapshot(launchedSnapshot->proto(), kLaunchedTable, timestamp, std::nullopt, error))
            return false;
    }
    if (!others.empty()) {
        auto activatedSnapshot = MSRESnapshot::initWithSDKName(snapshot.SDKName(), others);
        if (!activatedSnapshot ||
            !upsertSnapshot(activatedSnapshot->proto(), kActivatedTable, timestamp, std::nullopt, error))
            return false;
    } else if (!deleteActivatedExperimentsOfSDKName(snapshot.SDKName(), error)) {
        // The new activation has no experiments of its own: the library's
        // earlier ones must not come back at the next start.
        return false;
    }
    const std::string condition = std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?";
    return store_->deleteRecordsFromTable(kPendingTable, condition, {snapshot.SDKName(), timestamp}, error)
        .has_value();
}

bool MSREDatabase::activatePendingSnapshotsAutomatically(MSRError* error) {
    if (storeUnavailable(error)) return false;
    dropSnapshotsPastTableBound(*store_, kPendingTable);
    // A row without the mark was stored by a client that does not activate
    // its snapshots itself: it is activated here like an unmarked one.
    const std::string query = "SELECT " + snapshotRowsOf(kPendingTable) + " WHERE IFNULL(" +
                              kManuallyActivatedColumn + ", 0) != ? ORDER BY rowid";
    std::optional<std::vector<MSRSqliteRow>> rows = store_->recordsForQuery(query, {int64_t{1}}, error);
    if (!rows) return false;
    for (const MSRSqliteRow& row : *rows) {
        if (dropSnapshotPastBound(kPendingTable, row)) continue;
        const std::string name = textColumn(row, kSDKNameColumn);
        std::optional<MSRESnapshot> snapshot = snapshotFromRow(row);
        if (!snapshot) {
            // Kept, it would fail every start from now on and hold back the
            // other libraries' snapshots with it.
            MSRELog(2, 810008, "Deleted an invalid pending snapshot from the database. SDK name",
                    {MSRLogContext(name)});
            auto rowid = row.find("rowid");
            if (rowid == row.end() ||
                !store_->deleteRecordsFromTable(kPendingTable, "rowid = ?", {rowid->second}, error))
                return false;
            continue;
        }
        if (!activateSnapshot(*snapshot, snapshot->timestamp(), error)) return false;
        if (!store_->deleteRecordFromTable(kPendingTable, kSDKNameColumn, MSRSqliteValue(snapshot->SDKName()),
                                           error))
            return false;
    }
    return true;
}

bool MSREDatabase::deleteStaleActivatedSnapshots(MSRError* error) {
    if (storeUnavailable(error)) return false;
    const double cutOff = dispatch::Clock::now() - kStaleActivatedSeconds;
    return store_
        ->deleteRecordsFromTable(kActivatedTable, std::string(kTimestampColumn) + " <= ?", {cutOff}, error)
        .has_value();
}

bool MSREDatabase::deleteActivatedExperimentsOfSDKName(const std::string& name, MSRError* error) {
    if (name.empty()) {
        setError(error, 1, "Received empty SDK Name");
        return false;
    }
    return deleteExperimentsOfSDKName(name, kActivatedTable, error);
}

bool MSREDatabase::deletePendingExperimentsOfSDKName(const std::string& name, MSRError* error) {
    return deleteExperimentsOfSDKName(name, kPendingTable, error);
}

bool MSREDatabase::deleteLaunchedExperimentSDKName(const std::string& name, MSRError* error) {
    return deleteExperimentsOfSDKName(name, kLaunchedTable, error);
}

bool MSREDatabase::deleteExperimentsOfSDKName(const std::string& name, const std::string& table,
                                              MSRError* error) {
    if (storeUnavailable(error)) return false;
    return store_->deleteRecordFromTable(table, kSDKNameColumn, MSRSqliteValue(name), error);
}
