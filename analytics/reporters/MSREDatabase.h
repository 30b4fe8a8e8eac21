#pragma once

// The experiments' own SQLite file: per client library at most one pending
// snapshot (fetched, not yet active), one activated and one launched snapshot
// (the experiment with ID 0). Used only from the task manager's worker queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "analytics/reporters/MSRESnapshot.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "analytics/support/MSRError.h"

class MSRSqliteStore;

class MSREDatabase {
  public:
    static constexpr const char* kFileName = "zevure_experimentation_database.sql";
    static constexpr const char* kPendingTable = "pending_snapshot_table";
    static constexpr const char* kActivatedTable = "activated_snapshot_table";
    static constexpr const char* kLaunchedTable = "launched_snapshot_table";
    // Activated snapshots older than this are dropped at start.
    static constexpr double kStaleActivatedSeconds = 259200;

    // Null (logged) when the file cannot be opened or its tables ensured; a
    // file whose tables cannot be ensured is deleted, so the next opening
    // starts anew.
    static std::unique_ptr<MSREDatabase> initWithPath(const std::string& path);
    ~MSREDatabase();
    MSREDatabase(const MSREDatabase&) = delete;
    MSREDatabase& operator=(const MSREDatabase&) = delete;

    bool isOpen() const { return store_ != nullptr; }
    const std::string& path() const { return path_; }

    void closeAndDelete();
    // Deletes the file and opens a new one at the same path.
    void reset();
    // All or nothing; a failure is logged.
    bool performTransaction(const std::function<bool()>& block);

    std::optional<std::vector<MSRESnapshot>> fetchAllPendingSnapshots(MSRError* error);
    std::optional<std::vector<MSRESnapshot>> fetchAllActivatedSnapshots(MSRError* error);
    std::optional<std::vector<MSRESnapshot>> fetchAllLaunchedSnapshots(MSRError* error);

    // `manuallyActivated` unset leaves the column NULL. A message without an
    // SDK name is refused.
    bool upsertSnapshot(const MSRPBSnapshot& snapshot, const std::string& table, double timestamp,
                        std::optional<bool> manuallyActivated, MSRError* error);
    bool upsertPendingExperimentSnapshots(const std::vector<MSRESnapshot>& snapshots, MSRError* error);
    // Splits the snapshot into its launched experiment (ID 0) and the rest,
    // replaces the library's launched and activated rows with them and drops
    // its pending rows stamped no later than `timestamp`.
    bool activateSnapshot(const MSRESnapshot& snapshot, double timestamp, MSRError* error);
    // Activates every pending snapshot its client does not activate itself.
    bool activatePendingSnapshotsAutomatically(MSRError* error);
    bool deleteStaleActivatedSnapshots(MSRError* error);
    bool deleteActivatedExperimentsOfSDKName(const std::string& name, MSRError* error);
    bool deletePendingExperimentsOfSDKName(const std::string& name, MSRError* error);
    bool deleteLaunchedExperimentSDKName(const std::string& name, MSRError* error);
    bool deleteExperimentsOfSDKName(const std::string& name, const std::string& table, MSRError* error);

  private:
    explicit MSREDatabase(std::string path);
    bool initializeDatabaseResources(const std::string& context);
    bool ensureAllTables();
    std::optional<std::vector<MSRESnapshot>> fetchAllSnapshots(const std::string& table, MSRError* error);
    bool storeUnavailable(MSRError* error) const;
    // A row of `table` (read with its stored length) whose snapshot is
    // longer than a stored snapshot may be, or not stored as bytes, is
    // logged and deleted: true.
    bool dropSnapshotPastBound(const std::string& table, const MSRSqliteRow& row);
    static bool dropSnapshotPastBoundIn(MSRSqliteStore& store, const std::string& table, const MSRSqliteRow& row);

  public:
    // Keeps of each table what a read of it may hold (MSRStoredBounds.h):
    // the newest rows, the newest always, while their stored bytes together
    // stay within a table's bound; rows not stored as bytes or each past a
    // snapshot's bound go on their own. What goes is logged once and
    // deleted at the cost of the rows kept. Run before the file's check at
    // every opening, and before each read of many rows.
    static void dropSnapshotsPastTableBounds(MSRSqliteStore& store);
    static void dropSnapshotsPastTableBound(MSRSqliteStore& store, const std::string& table);

    std::string path_;
    std::unique_ptr<MSRSqliteStore> store_;
};
