// A stored snapshot is sized before it is read: one past a snapshot's bound
// is deleted unread with its own code, once, and the other libraries' rows
// are read and activated as before; the writer stores nothing past it.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "ExperimentsHarness.h"
#include "analytics/storage/MSRStoredBounds.h"

namespace {

class StoredSnapshotBoundTest : public ExperimentsTest {
  protected:
    void SetUp() override {
        database_ = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
        ASSERT_TRUE(database_);
    }
    // Stores `length` bytes as the snapshot of "huge" in `table`, as another
    // program of the user would.
    void storeHugeRow(const std::string& table, size_t length) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->path().c_str(), &handle), SQLITE_OK);
        const std::string sql = "INSERT OR REPLACE INTO " + table +
                                " (sdk_name, snapshotProto, timestamp, manually_activated) "
                                "VALUES ('huge', ?, " +
                                std::to_string(now()) + ", 0)";
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
        const std::vector<uint8_t> bytes(length, 0);
        sqlite3_bind_blob64(statement, 1, bytes.data(), bytes.size(), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
        sqlite3_close(handle);
    }
    int64_t hugeRows(const std::string& table) {
        sqlite3* handle = nullptr;
        int64_t count = -1;
        if (sqlite3_open(database_->path().c_str(), &handle) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            const std::string sql = "SELECT count(*) FROM " + table + " WHERE sdk_name = 'huge'";
            if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW)
                count = sqlite3_column_int64(statement, 0);
            sqlite3_finalize(statement);
        }
        sqlite3_close(handle);
        return count;
    }

    std::unique_ptr<MSREDatabase> database_;
};

TEST_F(StoredSnapshotBoundTest, ASnapshotPastItsBoundIsDeletedUnreadAndTheOthersStay) {
    const size_t bound = MSRStoredMost::kSnapshotBytes;
    struct Read {
        const char* table;
        std::function<bool()> read;  // whether the read of the other rows succeeded
    };
    const Read reads[] = {
        {MSREDatabase::kActivatedTable,
         [&] { return database_->fetchAllActivatedSnapshots(nullptr).has_value(); }},
        {MSREDatabase::kLaunchedTable,
         [&] { return database_->fetchAllLaunchedSnapshots(nullptr).has_value(); }},
        {MSREDatabase::kPendingTable,
         [&] { return database_->fetchAllPendingSnapshots(nullptr).has_value(); }},
        {MSREDatabase::kPendingTable,
         [&] {
             return database_->performTransaction(
                 [&] { return database_->activatePendingSnapshotsAutomatically(nullptr); });
         }},
    };
    for (const Read& read : reads) {
        for (const size_t length : {bound, bound + 1}) {
            SCOPED_TRACE(std::string(read.table) + " " + std::to_string(length));
            ASSERT_TRUE(
                database_->upsertSnapshot(snapshot("other", {5}).proto(), read.table, now(), false, nullptr));
            storeHugeRow(read.table, length);
            codes();
            const bool succeeded = read.read();
            const std::vector<int64_t> logged = codes();
            EXPECT_EQ(contains(logged, 810009), length > bound);
            // One past the bound goes unread and the other rows are read; at
            // the bound it is read as before (its bytes are no snapshot).
            EXPECT_TRUE(length == bound || (hugeRows(read.table) == 0 && succeeded));
            database_->deleteExperimentsOfSDKName("huge", read.table, nullptr);
            // Dropped once: the next read has nothing to drop.
            codes();
            read.read();
            EXPECT_FALSE(contains(codes(), 810009));
        }
    }
}

TEST_F(StoredSnapshotBoundTest, TheWriterStoresNoSnapshotPastTheBound) {
    const size_t bound = MSRStoredMost::kSnapshotBytes;
    for (const size_t length : {bound, bound + 1}) {
        SCOPED_TRACE(length);
        // A long library name pads the snapshot to `length`: its key and a
        // length of four varint bytes.
        MSRPBSnapshot padded;
        MSRPBSetString(padded, MSRSnapshotSlot::kSDKName, std::string(length - 5, 's'));
        ASSERT_EQ(padded.protoBuffer()->size(), length);
        EXPECT_EQ(database_->upsertSnapshot(padded, MSREDatabase::kPendingTable, now(), false, nullptr),
                  length == bound);
    }
}

}  // namespace
