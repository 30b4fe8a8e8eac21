// An experiments snapshot's bound as a number, not as the constant that sets
// it: a snapshot of 8 MiB (an answer inflated to its bound) is written and
// read as before, one byte more is neither. A bound raised by mistake fails
// here even though every row built from the constant still passes.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "ExperimentsHarness.h"

namespace {

class StoredSnapshotLiteralBoundTest : public ExperimentsTest {
  protected:
    void SetUp() override {
        database_ = MSREDatabase::initWithPath(MSRSDKFilePath(MSREDatabase::kFileName));
        ASSERT_TRUE(database_);
    }
    // Stores `length` bytes as the pending snapshot of "literal", as another
    // program of the user would.
    void storeLiteralRow(size_t length) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->path().c_str(), &handle), SQLITE_OK);
        const std::string sql = std::string("INSERT OR REPLACE INTO ") + MSREDatabase::kPendingTable +
                                " (sdk_name, snapshotProto, timestamp, manually_activated) VALUES ('literal', ?, " +
                                std::to_string(now()) + ", 0)";
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
        const std::vector<uint8_t> bytes(length, 0);
        sqlite3_bind_blob64(statement, 1, bytes.data(), bytes.size(), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
        sqlite3_close(handle);
    }

    std::unique_ptr<MSREDatabase> database_;
};

TEST_F(StoredSnapshotLiteralBoundTest, EightMebibytesAreWrittenAndReadAndOneByteMoreIsNot) {
    const struct {
        size_t length;
        bool taken;
    } rows[] = {{8'388'608, true}, {8'388'609, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        // A long library name pads the snapshot to the length: its key and a
        // length of four varint bytes.
        MSRPBSnapshot padded;
        MSRPBSetString(padded, MSRSnapshotSlot::kSDKName, std::string(row.length - 5, 's'));
        ASSERT_EQ(padded.protoBuffer()->size(), row.length);
        EXPECT_EQ(database_->upsertSnapshot(padded, MSREDatabase::kLaunchedTable, now(), false, nullptr), row.taken);
        storeLiteralRow(row.length);
        codes();
        database_->fetchAllPendingSnapshots(nullptr);
        // Past the bound the row is dropped unread with its code; at the
        // bound it is read as before (its bytes are no snapshot).
        EXPECT_EQ(contains(codes(), 810009), !row.taken);
        database_->deleteExperimentsOfSDKName("literal", MSREDatabase::kPendingTable, nullptr);
    }
}

}  // namespace
