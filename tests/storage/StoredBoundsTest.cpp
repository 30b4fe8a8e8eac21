// What the database stored is sized before it is read: a value at its kind's
// bound is read as before, one byte past it is dropped with its own code and
// deleted without being read, and the rows beside it go on as they were.

#include <sqlite3.h>

#include <functional>

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/security/Compression.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

enum : uint32_t { kBoundAppID = 14, kBoundEnd = 5, kBoundPlatform = 8 };

class StoredBoundsTest : public OpenDatabaseTest {
  protected:
    void SetUp() override {
        OpenDatabaseTest::SetUp();
        if (database_) database_->setRemoteConfig(settings_);
    }

    // Runs `statement` with `blob` bound to its one parameter through a
    // second connection, as another program of the user would.
    void writeBlob(const std::string& statement, const std::vector<uint8_t>& blob) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(database_->databasePath().c_str(), &handle), SQLITE_OK);
        sqlite3_stmt* prepared = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(handle, statement.c_str(), -1, &prepared, nullptr), SQLITE_OK)
            << statement;
        sqlite3_bind_blob64(prepared, 1, blob.data(), blob.size(), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(prepared), SQLITE_DONE) << sqlite3_errmsg(handle);
        sqlite3_finalize(prepared);
        sqlite3_close(handle);
    }
    int64_t rows(const std::string& table) {
        return std::stoll(shell(database_->databasePath(), "SELECT count(*) FROM " + table));
    }
    bool freshlyLogged(int64_t code) {
        const bool found = logged(code);
        logger_->clear();
        return found;
    }

    std::shared_ptr<MSRRemoteConfig> settings_ = std::make_shared<MSRRemoteConfig>();
};

MSRPBMeasurementBundle smallBundle() {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kBoundAppID, "app");
    MSRPBSetInt64(bundle, kBoundEnd, static_cast<int64_t>(dispatch::Clock::now() * 1000));
    return bundle;
}

// A bundle whose encoding is `bytes` long (a long platform text pads it).
MSRPBMeasurementBundle bundleEncodedIn(size_t bytes) {
    MSRPBMeasurementBundle bundle = smallBundle();
    const size_t base = bundle.protoBuffer()->size();
    // The padding's key and its length of four varint bytes.
    MSRPBSetString(bundle, kBoundPlatform, std::string(bytes - base - 5, 'p'));
    return bundle;
}

TEST_F(StoredBoundsTest, TheStoredConfigurationIsReadAtItsBoundAndNotOnePast) {
    const size_t bound = MSRStoredMost::kConfigurationBytes;
    for (const size_t length : {bound, bound + 1}) {
        SCOPED_TRACE(length);
        writeBlob("UPDATE app_metadata SET remote_config_data = ?", std::vector<uint8_t>(length, 0x2a));
        MSRError error;
        int64_t pastBound = 0;
        std::optional<std::vector<uint8_t>> read = database_->queryMeasurementConfigData(&error, &pastBound);
        EXPECT_EQ(error, MSRError());
        EXPECT_EQ(read.has_value(), length == bound);
        EXPECT_EQ(pastBound, length == bound ? 0 : static_cast<int64_t>(length));
        // The writer stores nothing its reader would refuse.
        EXPECT_EQ(database_->updateRemoteConfigData(std::vector<uint8_t>(length, 0x2a), nullptr),
                  length == bound);
    }
}

// Every row past its bound goes with its code, once; the readable row beside
// it is read in the same call. A row at the bound is left to the reading it
// always had (here: not a bundle, so skipped and kept).
TEST_F(StoredBoundsTest, AQueuedRowPastItsBoundOrInflatingPastItIsDeletedAndTheOthersRead) {
    const size_t rowBound = MSRStoredMost::kQueuedBundleRowBytes;
    const size_t bundleBound = MSRStoredMost::kBundleBytes;
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>()> data;
        bool dropped;
    } cases[] = {
        {"stored at the row's bound", [&] { return std::vector<uint8_t>(rowBound, 0); }, false},
        {"stored one past the row's bound", [&] { return std::vector<uint8_t>(rowBound + 1, 0); }, true},
        {"inflating to the bundle's bound",
         [&] { return *security::gzip(std::vector<uint8_t>(bundleBound, 0)); }, false},
        {"inflating one past the bundle's bound",
         [&] { return *security::gzip(std::vector<uint8_t>(bundleBound + 1, 0)); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell(database_->databasePath(), "DELETE FROM queue");
        writeBlob(
            "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) VALUES (1, " +
                std::to_string(dispatch::Clock::now()) + ", ?, 0, 0)",
            c.data());
        ASSERT_TRUE(database_->insertBundle(smallBundle(), false, nullptr));
        std::optional<std::vector<MSRQueuedBundle>> read =
            database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr);
        ASSERT_TRUE(read);
        ASSERT_EQ(read->size(), 1u);
        EXPECT_NE(read->front().second, 1);
        EXPECT_EQ(freshlyLogged(12078), c.dropped);
        EXPECT_EQ(rows("queue WHERE rowid = 1"), c.dropped ? 0 : 1);
        // Dropped once: the next read finds nothing more to drop.
        EXPECT_EQ(database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr)->size(), 1u);
        EXPECT_FALSE(freshlyLogged(12078));
    }
    ASSERT_EQ(bundleEncodedIn(bundleBound).protoBuffer()->size(), bundleBound);
    EXPECT_TRUE(database_->insertBundle(bundleEncodedIn(bundleBound), false, nullptr));
    MSRError error;
    EXPECT_FALSE(database_->insertBundle(bundleEncodedIn(bundleBound + 1), false, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle larger than a queued bundle may be");
}

// Both roads of reading raw events drop a row past the bound with its own
// code; one at the bound is read as any other (here: bytes that make no
// event, so dropped as unreadable).
TEST_F(StoredBoundsTest, ARawEventPastItsBoundIsDeletedUnreadAndTheOthersRead) {
    const size_t bound = MSRStoredMost::kRawEventBytes;
    const std::function<size_t(int64_t)> roads[] = {
        [&](int64_t fingerprint) {
            return database_->rawEventRowsWithMetadataFingerprint(fingerprint, nullptr, nullptr)->size();
        },
        [&](int64_t fingerprint) {
            return database_->rawEventsWithMetadataFingerprint(fingerprint, nullptr, nullptr)->size();
        },
    };
    for (const auto& read : roads) {
        for (const size_t length : {bound, bound + 1}) {
            SCOPED_TRACE(length);
            ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(INT64_MAX, nullptr));
            int64_t fingerprint = 0;
            ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(smallBundle(), nullptr, &fingerprint));
            writeBlob(
                "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, is_realtime) "
                "VALUES (1, 'huge', " +
                    std::to_string(dispatch::Clock::now()) + ", " + std::to_string(fingerprint) + ", ?, 0)",
                std::vector<uint8_t>(length, 0));
            auto event = MSREvent::initWithOrigin("app", true, "beside", dispatch::Clock::now(), 0, {});
            ASSERT_TRUE(database_->insertRawEvent(event, fingerprint, false, nullptr));
            EXPECT_EQ(read(fingerprint), 1u);
            EXPECT_EQ(freshlyLogged(12080), length > bound);
            EXPECT_EQ(rows("raw_events"), 1);
        }
    }
}

// Metadata past the bound is dropped with its code, unread; its events then
// go as those of unreadable metadata do (here, with no current metadata to
// take: deleted), as they do at the bound, where the bytes make no metadata.
TEST_F(StoredBoundsTest, RawEventMetadataPastTheBoundIsDroppedUnread) {
    const size_t bound = MSRStoredMost::kRawEventBytes;
    for (const size_t length : {bound, bound + 1}) {
        SCOPED_TRACE(length);
        int64_t fingerprint = 0;
        ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(smallBundle(), nullptr, &fingerprint));
        auto event = MSREvent::initWithOrigin("app", true, "waiting", dispatch::Clock::now(), 0, {});
        ASSERT_TRUE(database_->insertRawEvent(event, fingerprint, false, nullptr));
        writeBlob("UPDATE raw_events_metadata SET metadata = ? WHERE metadata_fingerprint = " +
                      std::to_string(fingerprint),
                  std::vector<uint8_t>(length, 0));
        EXPECT_TRUE(database_->rawEventRowsWithMetadataFingerprint(fingerprint, nullptr, nullptr)->empty());
        EXPECT_EQ(freshlyLogged(12081), length > bound);
        EXPECT_EQ(rows("raw_events"), 0);
        EXPECT_EQ(rows("raw_events_metadata"), 0);
    }
}

}  // namespace
