// Reads that meet what they cannot use go past it in the same pass: a queue
// row that is empty, no gzip stream or not inflating is deleted with its code
// and takes no place in the upload's window; raw events that do not read are
// deleted a window at a time until readable ones come. The stored
// configuration lives in a table of its own, and one an older build left in
// the metadata row moves there once.

#include <sqlite3.h>

#include <functional>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/storage/StorageTestSupport.h"

namespace stored_reads_test {

enum : uint32_t { kReadsAppID = 14, kReadsEnd = 5, kReadsPlatform = 8 };

class StoredReadsTest : public OpenDatabaseTest {
  protected:
    // Runs `statement` with `blob` bound to its one parameter through a
    // second connection, as another program of the user would.
    void writeWith(const std::string& statement, const std::vector<uint8_t>& blob) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(MSRSDKFilePath(MSRDatabase::kDatabaseName).c_str(), &handle), SQLITE_OK);
        sqlite3_stmt* prepared = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle, statement.c_str(), -1, &prepared, nullptr), SQLITE_OK)
            << statement;
        // An empty vector's bytes may be null, which would bind NULL.
        if (blob.empty()) {
            sqlite3_bind_zeroblob(prepared, 1, 0);
        } else {
            sqlite3_bind_blob64(prepared, 1, blob.data(), blob.size(), SQLITE_STATIC);
        }
        EXPECT_EQ(sqlite3_step(prepared), SQLITE_DONE) << sqlite3_errmsg(handle);
        sqlite3_finalize(prepared);
        sqlite3_close(handle);
    }
    std::string sql(const std::string& query) {
        return shell(MSRSDKFilePath(MSRDatabase::kDatabaseName), query);
    }
    void reopen() {
        database_.reset();
        database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database_);
    }
    bool loggedOnce(int64_t code) {
        const bool found = logged(code);
        logger_->clear();
        return found;
    }
};

MSRPBMeasurementBundle readableBundle(int64_t index) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kReadsAppID, "app");
    MSRPBSetString(bundle, kReadsPlatform, "bundle " + std::to_string(index));
    MSRPBSetInt64(bundle, kReadsEnd, static_cast<int64_t>(dispatch::Clock::now() * 1000));
    return bundle;
}

TEST_F(StoredReadsTest, QueueRowsTheReadCannotUseGoInThePassAndTakeNoPlaceInItsWindow) {
    std::vector<uint8_t> notInflating = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 3};
    notInflating.resize(64, 0xa5);
    const struct {
        const char* what;
        std::vector<uint8_t> data;
        int64_t code;
    } rows[] = {
        {"an empty blob", {}, 12098},
        {"no gzip stream (told by its first bytes)", std::vector<uint8_t>(4096, 'x'), 12099},
        {"a gzip head that does not inflate", notInflating, 12099},
        {"a gzip stream of no bundle", *security::gzip(std::vector<uint8_t>(100, 0xff)), 12083},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        sql("DELETE FROM queue");
        // Five of them at the head, more than the window of two.
        for (int i = 0; i < 5; ++i) {
            writeWith("INSERT INTO queue (bundle_end_timestamp, data, is_realtime, retry_count) VALUES (" +
                          std::to_string(dispatch::Clock::now()) + ", ?, 0, 0)",
                      row.data);
        }
        for (int64_t i = 0; i < 3; ++i)
            ASSERT_TRUE(database_->insertBundle(readableBundle(i), false, nullptr));
        std::optional<std::vector<MSRQueuedBundle>> read =
            database_->queryBundlesWithCountLimit(2, 1 << 20, nullptr);
        ASSERT_TRUE(read);
        ASSERT_EQ(read->size(), 2u);
        EXPECT_EQ(MSRPBGetString(read->at(0).first, kReadsPlatform), "bundle 0");
        EXPECT_EQ(MSRPBGetString(read->at(1).first, kReadsPlatform), "bundle 1");
        EXPECT_TRUE(loggedOnce(row.code));
        EXPECT_EQ(sql("SELECT count(*) FROM queue"), "3\n");
        // Gone: the next read meets only bundles.
        EXPECT_EQ(database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr)->size(), 3u);
        EXPECT_FALSE(loggedOnce(row.code));
    }
}

TEST_F(StoredReadsTest, RawEventReadsGoPastWindowsOfUnreadableRows) {
    MSRPBMeasurementBundle metadata;
    MSRPBSetString(metadata, kReadsAppID, "app");
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata, nullptr));
    const auto fingerprint = static_cast<int64_t>(msr_64LSBMD5(*metadata.protoBuffer()));
    const struct {
        const char* what;
        std::function<size_t()> read;
    } reads[] = {
        {"as rows",
         [&] { return database_->rawEventRowsWithMetadataFingerprint(fingerprint, nullptr, {})->size(); }},
        {"as events",
         [&] { return database_->rawEventsWithMetadataFingerprint(fingerprint, nullptr, {})->size(); }},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.what);
        sql("DELETE FROM raw_events");
        // More than two windows of rows that do not read, then three that do.
        sql("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 2500) "
            "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
            "SELECT 'e', 1.0, " +
            std::to_string(fingerprint) + ", x'ff', 0 FROM k");
        for (int i = 0; i < 3; ++i) {
            auto event = MSREvent::initWithOrigin("app", true, "e", 1.7e9 + i, 0, {});
            ASSERT_TRUE(database_->insertRawEvent(*event, fingerprint, false, nullptr));
        }
        EXPECT_EQ(read.read(), 3u);
        EXPECT_EQ(sql("SELECT count(*) FROM raw_events"), "3\n");
    }
}

TEST_F(StoredReadsTest, AConfigurationInTheMetadataRowMovesToItsTableOnceWithinItsBound) {
    const std::vector<uint8_t> config = [] {
        MSRPBMeasurementConfig made;
        MSRPBSetString(made, MSRConfigSlot::kAppID, "app");
        MSRPBSetInt64(made, MSRConfigSlot::kVersion, 7);
        return *made.protoBuffer();
    }();
    const struct {
        const char* what;
        std::string value;  // as SQL, ? for the configuration
        bool moves;
    } rows[] = {
        {"a stored configuration", "?", true},
        {"one past the stored bound",
         "zeroblob(" + std::to_string(MSRStoredMost::kConfigurationBytes + 1) + ")", false},
        {"a text", "'text'", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        database_.reset();
        writeWith("UPDATE app_metadata SET remote_config_data = " + row.value, config);
        sql("DELETE FROM stored_config");
        logger_->clear();
        ASSERT_NO_FATAL_FAILURE(reopen());
        EXPECT_EQ(loggedOnce(12096), row.moves);
        EXPECT_EQ(sql("SELECT count(*) FROM stored_config"), row.moves ? "1\n" : "0\n");
        EXPECT_EQ(sql("SELECT remote_config_data IS NULL FROM app_metadata"), row.moves ? "1\n" : "0\n");
        int64_t past = 0;
        std::optional<std::vector<uint8_t>> read = database_->queryMeasurementConfigData(nullptr, &past);
        EXPECT_EQ(read.has_value(), row.moves);
        if (read) {
            EXPECT_EQ(*read, config);
        }
        ASSERT_NO_FATAL_FAILURE(reopen());
        EXPECT_FALSE(loggedOnce(12096));
        // What is left in the row goes with the next write, which takes the
        // table alone.
        ASSERT_TRUE(database_->updateRemoteConfigData(config, nullptr));
        EXPECT_EQ(sql("SELECT remote_config_data IS NULL FROM app_metadata"), "1\n");
        EXPECT_EQ(*database_->queryMeasurementConfigData(nullptr), config);
        ASSERT_TRUE(database_->deleteRemoteConfig(nullptr));
        EXPECT_FALSE(database_->queryMeasurementConfigData(nullptr));
        EXPECT_EQ(sql("SELECT count(*) FROM stored_config"), "0\n");
    }
}

}  // namespace stored_reads_test
