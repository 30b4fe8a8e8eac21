// The stored configuration's bound as a number, not as the constant that
// sets it: a configuration of 8 MiB (twice the largest answer) is read and
// written, one byte more is neither. A bound raised by mistake fails here
// even though every row built from the constant still passes.

#include <sqlite3.h>

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

class StoredConfigurationLiteralBoundTest : public OpenDatabaseTest {
  protected:
    // Stores `length` bytes as the configuration through a second
    // connection, as another program of the user would.
    void storeConfigurationOf(size_t length) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->databasePath().c_str(), &handle), SQLITE_OK);
        sqlite3_stmt* prepared = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle, "UPDATE app_metadata SET remote_config_data = ?", -1, &prepared, nullptr),
                  SQLITE_OK);
        const std::vector<uint8_t> bytes(length, 0x2a);
        sqlite3_bind_blob64(prepared, 1, bytes.data(), bytes.size(), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(prepared), SQLITE_DONE) << sqlite3_errmsg(handle);
        sqlite3_finalize(prepared);
        sqlite3_close(handle);
    }
};

TEST_F(StoredConfigurationLiteralBoundTest, EightMebibytesAreReadAndWrittenAndOneByteMoreIsNot) {
    const struct {
        size_t length;
        bool taken;
    } rows[] = {{8'388'608, true}, {8'388'609, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        storeConfigurationOf(row.length);
        int64_t pastBound = 0;
        const std::optional<std::vector<uint8_t>> read = database_->queryMeasurementConfigData(nullptr, &pastBound);
        EXPECT_EQ(read.has_value(), row.taken);
        EXPECT_EQ(pastBound, row.taken ? 0 : static_cast<int64_t>(row.length));
        EXPECT_EQ(database_->updateRemoteConfigData(std::vector<uint8_t>(row.length, 0x2a), nullptr), row.taken);
    }
}

}  // namespace
