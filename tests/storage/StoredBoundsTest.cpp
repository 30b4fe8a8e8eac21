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

// The bounds are written out: a bound raised by mistake fails these rows.
TEST_F(StoredBoundsTest, TheStoredConfigurationIsReadAtItsBoundAndNotOnePast) {
    const size_t bound = 8'388'608;
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
// always had: bytes that do not inflate are skipped and kept, bytes that
// inflate to what is no bundle are dropped with their own code.
TEST_F(StoredBoundsTest, AQueuedRowPastItsBoundOrInflatingPastItIsDeletedAndTheOthersRead) {
    const size_t rowBound = 50'477'917;
    const size_t bundleBound = 50'427'648;
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>()> data;
        int64_t code;  // 0: kept
        const char* column = "?";
    } cases[] = {
        // No gzip stream: told by its first bytes, and dropped all the same.
        {"stored at the row's bound", [&] { return std::vector<uint8_t>(rowBound, 0); }, 12099},
        {"stored one past the row's bound", [&] { return std::vector<uint8_t>(rowBound + 1, 0); }, 12078},
        {"inflating to the bundle's bound",
         [&] { return *security::gzip(std::vector<uint8_t>(bundleBound, 0)); }, 12083},
        {"inflating one past the bundle's bound",
         [&] { return *security::gzip(*bundleEncodedIn(bundleBound + 1).protoBuffer()); }, 12078},
        // Zeros are no bundle, told from their head whatever they inflate to.
        {"zeros inflating one past the bundle's bound",
         [&] { return *security::gzip(std::vector<uint8_t>(bundleBound + 1, 0)); }, 12083},
        // SQLite's length() of a text stops at its first zero byte.
        {"a text of 8 MiB beginning with a zero byte", [&] { return std::vector<uint8_t>(8 << 20, 0); }, 12082,
         "CAST(? AS TEXT)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell(database_->databasePath(), "DELETE FROM queue");
        writeBlob(
            "INSERT INTO queue (rowid, bundle_end_timestamp, data, is_realtime, retry_count) VALUES (1, " +
                std::to_string(dispatch::Clock::now()) + ", " + c.column + ", 0, 0)",
            c.data());
        ASSERT_TRUE(database_->insertBundle(smallBundle(), false, nullptr));
        std::optional<std::vector<MSRQueuedBundle>> read =
            database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr);
        ASSERT_TRUE(read);
        ASSERT_EQ(read->size(), 1u);
        EXPECT_NE(read->front().second, 1);
        for (const int64_t code : {12078, 12082, 12083, 12099}) EXPECT_EQ(logged(code), code == c.code) << code;
        logger_->clear();
        EXPECT_EQ(rows("queue WHERE rowid = 1"), c.code ? 0 : 1);
        // Dropped once: the next read finds nothing more to drop.
        EXPECT_EQ(database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr)->size(), 1u);
        for (const int64_t code : {12078, 12082, 12083, 12099}) EXPECT_FALSE(logged(code)) << code;
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
    const size_t bound = 33'554'432;
    const std::function<size_t(int64_t)> roads[] = {
        [&](int64_t fingerprint) {
            return database_->rawEventRowsWithMetadataFingerprint(fingerprint, nullptr, nullptr)->size();
        },
        [&](int64_t fingerprint) {
            return database_->rawEventsWithMetadataFingerprint(fingerprint, nullptr, nullptr)->size();
        },
    };
    struct Case {
        size_t length;
        const char* column;
        int64_t code;  // 0: read as any other
    } cases[] = {
        {bound, "?", 0},
        {bound + 1, "?", 12080},
        // SQLite's length() of a text stops at its first zero byte.
        {size_t{8} << 20, "CAST(? AS TEXT)", 12084},
    };
    for (const auto& read : roads) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.length) + " as " + c.column);
            ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(INT64_MAX, nullptr));
            int64_t fingerprint = 0;
            ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(smallBundle(), nullptr, &fingerprint));
            writeBlob(
                "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, is_realtime) "
                "VALUES (1, 'huge', " +
                    std::to_string(dispatch::Clock::now()) + ", " + std::to_string(fingerprint) + ", " + c.column +
                    ", 0)",
                std::vector<uint8_t>(c.length, 0));
            auto event = MSREvent::initWithOrigin("app", true, "beside", dispatch::Clock::now(), 0, {});
            ASSERT_TRUE(database_->insertRawEvent(event, fingerprint, false, nullptr));
            EXPECT_EQ(read(fingerprint), 1u);
            for (const int64_t code : {12080, 12084}) EXPECT_EQ(logged(code), code == c.code) << code;
            logger_->clear();
            EXPECT_EQ(rows("raw_events"), 1);
        }
    }
}

// Metadata past the bound is dropped with its code, unread; its events then
// go as those of unreadable metadata do (here, with no current metadata to
// take: deleted), as they do at the bound, where the bytes make no metadata.
TEST_F(StoredBoundsTest, RawEventMetadataPastTheBoundIsDroppedUnread) {
    const size_t bound = 33'554'432;
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

// The raw events a database opens with are at most what its writers keep
// (maxEventsStored reaches 1,000,000): the oldest past that go once, with
// their code, before the file's check reads them all.
TEST_F(StoredBoundsTest, RawEventsPastWhatTheWritersKeepGoOnceWhenTheDatabaseOpens) {
    const std::string path = database_->databasePath();
    auto insert = [&](int64_t first, int64_t last) {
        shell(path, "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) +
                        " UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(last) +
                        ") INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, is_realtime) "
                        "SELECT i, 'e', " +
                        std::to_string(dispatch::Clock::now()) + ", 1, x'01', 0 FROM n");
    };
    insert(1, 1'000'000);
    for (const int64_t stored : {1'000'000, 1'000'001}) {
        SCOPED_TRACE(stored);
        if (stored > 1'000'000) insert(1'000'001, stored);
        database_.reset();
        logger_->clear();
        database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database_);
        EXPECT_EQ(freshlyLogged(12085), stored > 1'000'000);
        EXPECT_EQ(rows("raw_events"), 1'000'000);
        EXPECT_EQ(shell(path, "SELECT min(rowid) FROM raw_events"), std::to_string(stored - 999'999) + "\n");
    }
    // Dropped once: the next opening finds nothing to drop.
    database_.reset();
    database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
    ASSERT_TRUE(database_);
    EXPECT_FALSE(freshlyLogged(12085));
}

}  // namespace
