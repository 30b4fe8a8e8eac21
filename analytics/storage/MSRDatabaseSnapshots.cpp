// The session counters of the event aggregates and the snapshot that keeps
// the aggregates while analytics storage is denied, so that counting can go
// on from where it stood once storage is granted again.

#include "analytics/storage/MSRDatabase.h"

#include <algorithm>

#include "analytics/storage/MSRStorageLog.h"

namespace {

constexpr const char* kEvents = "events";
constexpr const char* kSnapshot = "events_snapshot";

std::string joinedColumns(const std::vector<std::string>& columns) {
    std::string list;
    for (const std::string& column : columns) list += (list.empty() ? "" : ", ") + column;
    return list;
}

}  // namespace

bool MSRDatabase::clearCurrentSessionCounts(MSRError* error) {
    static const MSRSqliteValue zero = int64_t{0};
    return sqliteStore_->updateAllRecordsInTable(kEvents, "current_session_count", zero, error);
}

bool MSRDatabase::createEventsSnapshotTable(MSRError* error) {
    // A snapshot left by an earlier denial is stale; should it refuse to go,
    // the table is still made (or kept) and filled below.
    sqliteStore_->executeSQL(std::string("DROP TABLE IF EXISTS ") + kSnapshot, nullptr);
    if (!sqliteStore_->createEmptyTable(kSnapshot, kEvents, error)) {
        MSRStorageLog(4, 12058, "Failed to ensure event snapshot table");
        return false;
    }
    return sqliteStore_->copyContentsFromTable(kEvents, kSnapshot, error);
}

std::optional<MSREventAggregates> MSRDatabase::eventAggregatesSnapshotWithName(const std::string& name,
                                                                               MSRError* error) {
    if (!sqliteStore_->tableExists(kSnapshot, nullptr).value_or(false)) return std::nullopt;
    return eventAggregatesWithName(name, kSnapshot, error);
}

bool MSRDatabase::deleteAllEventAggregatesInSnapshot(MSRError* error) {
    return sqliteStore_->deleteAllRecordsFromTable(kSnapshot, error);
}

bool MSRDatabase::restoreFromEventsSnapshotTable(MSRError* error) {
    std::optional<bool> exists = sqliteStore_->tableExists(kSnapshot, error);
    if (!exists) return false;
    if (!*exists) return true;
    std::optional<int64_t> rows = sqliteStore_->rowCountForTable(kSnapshot, error);
    if (!rows) return false;
    if (*rows == 0) return true;
    // Copied by column name: the aggregates may have gained columns since
    // the snapshot was taken, and those keep their defaults.
    auto snapshotColumns = sqliteStore_->columnsForTable(kSnapshot, error);
    auto eventColumns = sqliteStore_->columnsForTable(kEvents, error);
    if (!snapshotColumns || !eventColumns) return false;
    std::vector<std::string> shared;
    for (const std::string& column : *snapshotColumns) {
        if (std::find(eventColumns->begin(), eventColumns->end(), column) != eventColumns->end())
            shared.push_back(column);
    }
    const std::string list = joinedColumns(shared);
    // The first open counted while storage was denied is the one count the
    // snapshot cannot know of: losing it would let audiences on first opens
    // miss this installation.
    std::optional<MSREventAggregates> currentFirstOpen = eventAggregatesWithName("_f", kEvents, nullptr);
    namesWithAggregates_.clear();
    if (!sqliteStore_->deleteAllRecordsFromTable(kEvents, error) ||
        !sqliteStore_->executeSQL(std::string("INSERT INTO ") + kEvents + " (" + list + ") SELECT " + list +
                                      " FROM " + kSnapshot,
                                  error)) {
        return false;
    }
    std::optional<MSREventAggregates> snapshotFirstOpen = eventAggregatesWithName("_f", kSnapshot, nullptr);
    if (currentFirstOpen && (!snapshotFirstOpen || snapshotFirstOpen->lifetimeCount() == 0)) {
        updateEventAggregates(*currentFirstOpen, nullptr);
    }
    return sqliteStore_->deleteAllRecordsFromTable(kSnapshot, error);
}
