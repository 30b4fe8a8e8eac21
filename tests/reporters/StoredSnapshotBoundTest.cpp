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

    std::string shellOf(const std::string& sql) {
        sqlite3* handle = nullptr;
        std::string answer;
        if (sqlite3_open(database_->path().c_str(), &handle) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0))
                answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            sqlite3_finalize(statement);
        }
        sqlite3_close(handle);
        return answer;
    }

    std::unique_ptr<MSREDatabase> database_;
};

// The bound is written out: a bound raised by mistake fails these rows.
TEST_F(StoredSnapshotBoundTest, ASnapshotPastItsBoundIsDeletedUnreadAndTheOthersStay) {
    const size_t bound = 8'388'608;
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
    const size_t bound = 8'388'608;
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

// A table holds what a read of it may hold: its newest rows, the newest
// always, while their stored bytes together stay within an answer's worth,
// and 1,000 rows at most. The rest goes once, with its code, unread, when the
// table is read and when the file is opened. The numbers are written out.
TEST_F(StoredSnapshotBoundTest, ATableKeepsItsNewestRowsWithinItsBoundsAndDropsTheRestOnce) {
    const std::string table = MSREDatabase::kPendingTable;
    auto fill = [&](const std::string& sql) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->path().c_str(), &handle), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
        sqlite3_close(handle);
    };
    // `count` rows named from `first` on, each `bytes` of `value`.
    auto rows = [&](int first, int count, const std::string& value) {
        return "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(first + count - 1) + ") INSERT INTO " + table +
               " (sdk_name, snapshotProto, timestamp, manually_activated) SELECT 'sdk' || i, " + value + ", " +
               std::to_string(now()) + ", 1 FROM n;";
    };
    const std::string small = "x'0a03616263'";
    struct Case {
        const char* what;
        std::string rows;
        int64_t left;
        int64_t code;  // 0: nothing dropped
    } cases[] = {
        {"1,000 small rows", rows(1, 1000, small), 1000, 0},
        {"1,001 small rows", rows(1, 1001, small), 1000, 810011},
        {"a row of 8,388,608 bytes", rows(1, 1, "zeroblob(8388608)"), 1, 0},
        {"two rows of 4,194,304 bytes", rows(1, 2, "zeroblob(4194304)"), 2, 0},
        {"one byte, then a row of 8,388,608 bytes", rows(1, 1, "x'00'") + rows(2, 1, "zeroblob(8388608)"), 1,
         810011},
        {"a row of 8,388,609 bytes beside a small one", rows(1, 1, small) + rows(2, 1, "zeroblob(8388609)"), 1,
         810009},
        // SQLite's length() of a text stops at its first zero byte.
        {"a text of 8 MiB beginning with a zero byte beside a small one",
         rows(1, 1, small) + rows(2, 1, "CAST(zeroblob(8388608) AS TEXT)"), 1, 810010},
    };
    for (const bool atOpening : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (atOpening ? " at the opening" : " at a read"));
            fill("DELETE FROM " + table + ";" + c.rows);
            codes();
            if (atOpening) {
                database_.reset();
                database_ = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
                ASSERT_TRUE(database_);
            } else {
                database_->fetchAllPendingSnapshots(nullptr);
            }
            const std::vector<int64_t> logged = codes();
            for (const int64_t code : {810009, 810010, 810011})
                EXPECT_EQ(std::count(logged.begin(), logged.end(), code), code == c.code ? 1 : 0) << code;
            EXPECT_EQ(std::stoll(shellOf("SELECT count(*) FROM " + table)), c.left);
            // The newest stay.
            EXPECT_EQ(shellOf("SELECT count(*) FROM " + table + " WHERE rowid = (SELECT max(rowid) FROM " + table + ")"),
                      "1");
            // Dropped once: the next read has nothing to drop.
            database_->fetchAllPendingSnapshots(nullptr);
            for (const int64_t code : {810009, 810010, 810011}) EXPECT_FALSE(contains(codes(), code)) << code;
        }
    }
}

}  // namespace
