// The session counters of the event aggregates and the snapshot that keeps
// the aggregates while analytics storage is denied, so that counting can go
// on from where it stood once storage is granted again.

#include "analytics/storage/MSRDatabase.h"

#include <algorithm>

namespace {

constexpr const char* kEvents = "events";
constexpr const char* kSnapshot = "events_snapshot";

std::string joined(const std::vector<std::string>& columns) {
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
    return sqliteStore_->executeSQL(std::string("DROP TABLE IF EXISTS ") + kSnapshot, error) &&
           sqliteStore_->executeSQL(std::string("CREATE TABLE ") + kSnapshot + " AS SELECT * FROM " + kEvents,
                                    error);
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
    const std::string list = joined(shared);
    namesWithAggregates_.clear();
    return sqliteStore_->deleteAllRecordsFromTable(kEvents, error) &&
           sqliteStore_->executeSQL(std::string("INSERT INTO ") + kEvents + " (" + list + ") SELECT " + list +
                                        " FROM " + kSnapshot,
                                    error) &&
           sqliteStore_->deleteAllRecordsFromTable(kSnapshot, error);
}
