#include <limits>

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/security/Compression.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

// MSRPBMeasurementBundle, MSRPBEvent and MSRPBMeasurementConfig field indexes.
enum : uint32_t { kBundleEvents = 1, kBundleEnd = 5, kBundlePlatform = 8, kBundleAppID = 14, kBundleRetries = 35 };
enum : uint32_t { kConfigVersion = 0, kConfigAppID = 1 };

MSRPBMeasurementBundle metadata(const std::string& appID) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kBundleAppID, appID);
    MSRPBSetString(bundle, kBundlePlatform, "linux");
    return bundle;
}

int64_t fingerprintOf(const MSRPBMeasurementBundle& bundle) {
    return static_cast<int64_t>(msr_64LSBMD5(*bundle.protoBuffer()));
}

MSREvent event(const std::string& name, double timestamp, MSRObjectDictionary parameters = {}) {
    return *MSREvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
}

// A bundle of `bytes` uncompressed bytes (a platform text of that length).
MSRPBMeasurementBundle sizedBundle(size_t bytes, double endTime) {
    MSRPBMeasurementBundle bundle = metadata("app");
    MSRPBSetInt64(bundle, kBundleEnd, static_cast<int64_t>(endTime * 1000));
    // The length prefix grows with the text: settle in two steps.
    size_t text = bytes - bundle.protoBuffer()->size();
    MSRPBSetString(bundle, kBundlePlatform, std::string(text, 'p'));
    text -= bundle.protoBuffer()->size() - bytes;
    MSRPBSetString(bundle, kBundlePlatform, std::string(text, 'p'));
    return bundle;
}

}  // namespace

class DatabaseTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        config_ = MSRPersistedConfig::initWithSuiteName("test.database");
        settings_ = std::make_shared<MSRRemoteConfig>();
        database_ = open();
        ASSERT_TRUE(database_);
    }
    void TearDown() override {
        database_.reset();
        StorageTest::TearDown();
    }
    std::unique_ptr<MSRDatabase> open(MSRError* error = nullptr) {
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, config_, error);
        if (database) database->setRemoteConfig(settings_);
        return database;
    }
    // A second connection of this process must not outlive the first's close:
    // closing any descriptor of the file drops the process's locks on it.
    void reopen() {
        database_.reset();
        database_ = open();
        ASSERT_TRUE(database_);
    }
    void setting(const std::string& key, const std::string& value) { settings_->setServerSettings({{key, value}}); }
    // One event written as the engine writes it: metadata, limit, insert.
    bool write(const MSRPBMeasurementBundle& meta, const MSREvent& event, bool realtime = false) {
        return database_->performTransaction([&] {
            return database_->insertIfNotExistsRawEventMetadata(meta, nullptr) &&
                   database_->deleteRawEventsOverAbsoluteLimit(nullptr) &&
                   database_->insertRawEvent(event, fingerprintOf(meta), realtime, nullptr);
        });
    }
    int64_t rows(const char* table) { return std::stoll(shell(database_->databasePath(), std::string("SELECT count(*) FROM ") + table)); }
    std::vector<MSRRawEventData> nextRun() {
        auto fingerprint = database_->nextMetadataFingerprintToProcess(nullptr);
        if (!fingerprint) return {};
        return database_->rawEventsWithMetadataFingerprint(*fingerprint, nullptr, {}).value_or(std::vector<MSRRawEventData>{});
    }

    std::shared_ptr<MSRPersistedConfig> config_;
    std::shared_ptr<MSRRemoteConfig> settings_;
    std::unique_ptr<MSRDatabase> database_;
};

// The whole road: events with metadata, bundling into the queue, reading back
// within limits, retries, stale deletion, day counters and the configuration.
TEST_F(DatabaseTest, EventsTravelFromRawRowsThroughTheQueueUnchanged) {
    const double t0 = dispatch::Clock::now();
    const MSRValueList items = {{{"item_id", MSRValue("sku-1")}, {"price", MSRValue(0.1 + 0.2)}}};
    const MSRObjectDictionary parameters = {{"text", MSRValue("héllo")},
                                            {"count", MSRValue(std::numeric_limits<int64_t>::min())},
                                            {"ratio", MSRValue(1.0 / 3.0)},
                                            {"items", MSRValue(items)}};
    const MSRPBMeasurementBundle metaA = metadata("app-a"), metaB = metadata("app-b");
    ASSERT_TRUE(write(metaA, event("level_up", t0 + 0.123456789, parameters), true));
    ASSERT_TRUE(write(metaA, event("level_up", t0 + 1)));
    ASSERT_TRUE(write(metaB, event("_vs", t0 + 2)));
    ASSERT_TRUE(write(metaA, event("late", t0 + 3)));
    EXPECT_EQ(rows("raw_events_metadata"), 2);  // metadata stored once per fingerprint
    EXPECT_EQ(database_->containsRealtimeRawEvents(nullptr), true);
    EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), t0 + 3);

    // Bundling takes the oldest fingerprint first and gives every value back exactly.
    std::vector<MSRRawEventData> run = nextRun();
    ASSERT_EQ(run.size(), 3u);
    EXPECT_EQ(run[0].metadataFingerprint(), static_cast<uint64_t>(fingerprintOf(metaA)));
    const MSREvent& first = run[0].rawEvent();
    EXPECT_EQ(first.name(), "level_up");
    EXPECT_EQ(first.origin(), "app");
    EXPECT_EQ(first.timestamp(), t0 + 0.123456789);
    EXPECT_EQ(first.parameters(), event("level_up", t0, parameters).parameters());
    auto stored = database_->queryRawEventsMetadataWithFingerprint(fingerprintOf(metaA), nullptr);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored->protoBuffer(), *metaA.protoBuffer());

    MSRPBMeasurementBundle bundle = *stored;
    std::vector<MSRPBEvent> protos;
    for (const auto& raw : run) protos.push_back(raw.rawEvent().protoEvent());
    MSRPBSetMessageArray(bundle, kBundleEvents, protos);
    MSRPBSetInt64(bundle, kBundleEnd, static_cast<int64_t>((t0 + 3) * 1000));
    ASSERT_TRUE(database_->performTransaction([&] {
        return database_->insertBundle(bundle, true, nullptr) &&
               database_->deleteRawEventsWithMaxRowID(run[1].rowID(), nullptr);
    }));
    EXPECT_EQ(nextRun().size(), 1u);  // metadata B is now the oldest
    EXPECT_EQ(database_->queryLatestBundleTime(nullptr), t0 + 3);
    EXPECT_EQ(database_->containsRealtimeBundles(nullptr), true);

    // The queue holds the gzip of the encoding; reading inflates it back.
    auto blob = shell(database_->databasePath(), "SELECT hex(data) FROM queue");
    auto queued = database_->queryBundlesWithCountLimit(10, 65536, nullptr);
    ASSERT_TRUE(queued && queued->size() == 1);
    EXPECT_EQ(*queued->front().first.protoBuffer(), *bundle.protoBuffer());
    EXPECT_EQ(blob.substr(0, 4), "1F8B");

    ASSERT_TRUE(database_->deleteBundlesWithRowIDs({queued->front().second}, nullptr));
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);

    // Stale data goes once per interval, with metadata nothing uses any more.
    ASSERT_TRUE(database_->insertBundle(sizedBundle(200, t0), false, nullptr));  // first stale pass runs here
    executor_.advanceBy(40 * 86400.0);
    EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), true);
    EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);
    EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);
    EXPECT_EQ(rows("raw_events_metadata"), 0);

    // Day counters and the configuration share the metadata row without
    // touching the bundle bookkeeping.
    ASSERT_TRUE(database_->updateAppMetadata(MSRAppMetadata::initWithLastBundleIndex(7, t0, t0 + 3), nullptr));
    auto counts = database_->dailyCounts(nullptr);
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->allEventsCount(), 0);
    MSRDailyCounts rolled = *counts;
    rolled.incrementCountsForCurrentDay(counts->day() + 1, true, true);
    ASSERT_TRUE(database_->updateDailyCounts(rolled, nullptr));
    MSRPBMeasurementConfig measurementConfig;
    MSRPBSetInt64(measurementConfig, kConfigVersion, 42);
    MSRPBSetString(measurementConfig, kConfigAppID, "app-a");
    ASSERT_TRUE(database_->updateRemoteConfig(measurementConfig, nullptr));
    EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(nullptr), dispatch::Clock::now());

    reopen();  // everything survives reopening
    auto reread = database_->dailyCounts(nullptr);
    EXPECT_EQ(reread->day(), counts->day() + 1);
    EXPECT_EQ(reread->conversionsCount(), 1);
    EXPECT_EQ(reread->publicEventsCount(), 1);
    EXPECT_EQ(*database_->queryMeasurementConfig(nullptr)->protoBuffer(), *measurementConfig.protoBuffer());
    auto bookkeeping = database_->queryAppMetadata(nullptr);
    EXPECT_EQ(bookkeeping->lastBundleIndex(), 7);
    EXPECT_EQ(bookkeeping->lastBundleEndTimestamp(), t0 + 3);
}

TEST_F(DatabaseTest, FileReadsInTheSqliteShell) {
    ASSERT_TRUE(write(metadata("app"), event("level_up", dispatch::Clock::now())));
    const std::string path = database_->databasePath();
    EXPECT_EQ(shell(path, "SELECT rowid, last_bundle_index, last_bundle_end_timestamp FROM app_metadata"), "1|0|0.0\n");
    EXPECT_EQ(shell(path, "PRAGMA journal_mode"), "wal\n");
    EXPECT_EQ(rows("raw_events"), 1);
}

// 3,000 waiting events, 300 queued bundles and 20 user properties; then one
// page of the file overwritten. The file is kept aside untouched and
// everything SQLite can still read of it comes across into a fresh one.
TEST_F(DatabaseTest, OnePageOverwrittenLosesOnlyTheRowsOnIt) {
    const double t0 = dispatch::Clock::now();
    const MSRPBMeasurementBundle meta = metadata("app");
    ASSERT_TRUE(database_->performTransaction([&] {
        bool written = database_->insertIfNotExistsRawEventMetadata(meta, nullptr);
        for (int i = 0; written && i < 3000; ++i) {
            written = database_->insertRawEvent(event("e" + std::to_string(i), t0 + i, {{"n", MSRValue(int64_t{i})}}),
                                                fingerprintOf(meta), false, nullptr);
        }
        for (int i = 0; written && i < 300; ++i) written = database_->insertBundle(sizedBundle(300, t0 + i), false, nullptr);
        for (int i = 0; written && i < 20; ++i) {
            written = database_->updateUserAttribute(
                MSRUserAttribute::initWithOrigin("app", "p" + std::to_string(i), MSRValue(int64_t{i}), t0), nullptr);
        }
        return written;
    }));
    const std::string path = database_->databasePath();
    database_.reset();
    const std::string healthy = (root_ / "healthy.sql").string();
    std::filesystem::copy_file(path, healthy);

    struct Case {
        const char* name;
        // The pages overwritten: leaf pages of the table or index, counted in
        // page order.
        const char* table;
        std::vector<int> offsets;
        const char* lost;          // "raw_events", "queue", "user_attributes", "all" or ""
    };
    const Case cases[] = {
        {"a page of waiting events", "raw_events", {20}, "raw_events"},
        {"the first page of waiting events", "raw_events", {0}, "raw_events"},
        {"two pages of waiting events apart", "raw_events", {5, 30}, "raw_events"},
        {"a page of an index", "raw_events_timestamp", {3}, ""},
        {"a page of queued bundles", "queue", {2}, "queue"},
        {"the user properties", "user_attributes", {0}, "user_attributes"},
        // A fresh file of the engine keeps every table at the same page: its
        // first page reads the rest.
        {"the schema page: not a database any more", "sqlite_schema", {0}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
            std::filesystem::remove(entry.path());
        std::filesystem::copy_file(healthy, path);
        int cells = 0;
        for (int offset : c.offsets) {
            std::string page = shell(healthy, "SELECT pageno || ' ' || ncell FROM dbstat WHERE name = '" +
                                                  std::string(c.table) +
                                                  "' AND pagetype = 'leaf' ORDER BY pageno LIMIT 1 OFFSET " +
                                                  std::to_string(offset));
            int pageNumber = 0, pageCells = 0;
            ASSERT_EQ(std::sscanf(page.c_str(), "%d %d", &pageNumber, &pageCells), 2) << page;
            cells += pageCells;
            std::string garbage(4096, '\0');
            for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(pageNumber - 1) * 4096) << garbage;
        }
        auto bytes = [](const std::string& file) {
            std::ifstream in(file, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        const std::string damagedBytes = bytes(path);
        logger_->clear();

        reopen();
        const std::string lost = c.lost;
        auto expected = [&](const char* table, int64_t all) -> int64_t {
            return lost == "all" ? 0 : lost == table ? all - cells : all;
        };
        EXPECT_EQ(rows("raw_events"), expected("raw_events", 3000));
        EXPECT_EQ(rows("queue"), expected("queue", 300));
        EXPECT_EQ(rows("user_attributes"), expected("user_attributes", 20));
        EXPECT_EQ(rows("raw_events_metadata"), lost == "all" ? 0 : 1);
        // What came across is what was written, in its order.
        if (lost != "all") {
            EXPECT_EQ(shell(path, "SELECT count(*) FROM raw_events a JOIN raw_events b ON b.rowid = a.rowid + 1 "
                                  "WHERE b.timestamp <= a.timestamp"),
                      "0\n");
            EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), t0 + 2999);
        }
        EXPECT_EQ(shell(path, "PRAGMA integrity_check"), "ok\n");
        // Every damaged file is kept as it was found, one that is no
        // database any more too.
        EXPECT_TRUE(bytes(path + ".damaged-1") == damagedBytes);
        EXPECT_TRUE(logged(lost != "all" ? 12073 : 12074));
    }
}

TEST_F(DatabaseTest, ARefusedSchemaKeepsTheFileAsideAndItsRowsComeAcross) {
    ASSERT_TRUE(write(metadata("app"), event("level_up", 1)));
    ASSERT_TRUE(write(metadata("app"), event("level_down", 2)));
    std::string path = database_->databasePath();
    database_.reset();
    // A column this version does not know and cannot fill, beside the ones
    // it does: the rows come across without it.
    shell(path,
          "DROP TABLE queue; CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
          "extra TEXT NOT NULL); INSERT INTO queue VALUES (x'0a0b', 1700000000.5, 'of another version')");

    ASSERT_TRUE(database_ = open());
    EXPECT_TRUE(logged(12047));
    EXPECT_TRUE(logged(12073));
    EXPECT_EQ(shell(path + ".damaged-1", "SELECT count(*) FROM queue WHERE extra IS NULL"), "0\n");
    EXPECT_EQ(shell(path, "SELECT name FROM raw_events ORDER BY rowid"), "level_up\nlevel_down\n");
    EXPECT_EQ(shell(path, "SELECT hex(data), bundle_end_timestamp FROM queue"), "0A0B|1700000000.5\n");
    EXPECT_TRUE(database_->insertBundle(sizedBundle(200, 1), false, nullptr));
}

TEST_F(DatabaseTest, ResetEmptiesEveryTableButKeepsTheMetadataRow) {
    ASSERT_TRUE(write(metadata("app"), event("level_up", 1)));
    ASSERT_TRUE(database_->updateAppMetadata(MSRAppMetadata::initWithLastBundleIndex(3, 1, 2), nullptr));
    ASSERT_TRUE(database_->reset(nullptr));
    EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
    EXPECT_EQ(rows("raw_events_metadata"), 0);
    EXPECT_EQ(database_->queryAppMetadata(nullptr)->lastBundleIndex(), 0);
    EXPECT_FALSE(database_->queryMeasurementConfig(nullptr));
}

TEST_F(DatabaseTest, UnreadableRowsAreSetAsideSoBundlingGoesOn) {
    const MSRPBMeasurementBundle metaA = metadata("a"), metaB = metadata("b");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(write(metaA, event("e" + std::to_string(i), i)));
    ASSERT_TRUE(write(metaB, event("later", 9)));
    shell(database_->databasePath(), "UPDATE raw_events SET data = x'ff' WHERE name = 'e1'");
    reopen();
    std::vector<MSRRawEventData> run = nextRun();
    ASSERT_EQ(run.size(), 2u);
    EXPECT_EQ(run[1].rawEvent().name(), "e2");
    EXPECT_TRUE(logged(12071));
    EXPECT_EQ(rows("raw_events"), 3);

    // Metadata that cannot be read takes its events with it; the next fingerprint follows.
    EXPECT_EQ("", shell(database_->databasePath(),
          "UPDATE raw_events_metadata SET metadata = x'ffff' WHERE metadata_fingerprint = " +
              std::to_string(fingerprintOf(metaA))));
    reopen();
    EXPECT_TRUE(nextRun().empty());
    EXPECT_TRUE(logged(12072));
    run = nextRun();
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(run[0].rawEvent().name(), "later");
}

TEST_F(DatabaseTest, StoredEventLimitKeepsTheNewestAndTheirMetadata) {
    setting("measurement.store.max_stored_events_per_app", "3");
    ASSERT_TRUE(write(metadata("old"), event("e0", 0)));
    for (int i = 1; i < 5; ++i) ASSERT_TRUE(write(metadata("new"), event("e" + std::to_string(i), i)));
    EXPECT_EQ(shell(database_->databasePath(), "SELECT group_concat(name) FROM raw_events"), "e2,e3,e4\n");
    EXPECT_EQ(rows("raw_events_metadata"), 1);  // "old" went with its last event
    // A rolled-back insert must not leave the kept count behind.
    EXPECT_FALSE(database_->performTransaction([&] {
        return database_->insertRawEvent(event("gone", 5), fingerprintOf(metadata("new")), false, nullptr) &&
               false;
    }));
    ASSERT_TRUE(write(metadata("new"), event("e5", 5)));
    EXPECT_EQ(shell(database_->databasePath(), "SELECT group_concat(name) FROM raw_events"), "e3,e4,e5\n");
}

TEST_F(DatabaseTest, BundleReadsStopAtTheCountAndSizeLimits) {
    const double now = dispatch::Clock::now();
    struct Case {
        std::vector<size_t> sizes;
        int64_t countLimit;
        size_t expected;
    } cases[] = {
        {{40000, 30000, 20000}, 100, 1},
        {{100000, 100}, 100, 1},
        {{100, 100, 100, 100, 100}, 2, 2},
        {{30000, 30000, 5000}, 100, 3},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(database_->reset(nullptr));
        for (size_t size : c.sizes) ASSERT_TRUE(database_->insertBundle(sizedBundle(size, now), false, nullptr));
        auto read = database_->queryBundlesWithCountLimit(c.countLimit, 65536, nullptr);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->size(), c.expected) << c.sizes.front();
        for (size_t i = 0; i < read->size(); ++i) EXPECT_EQ((*read)[i].first.protoBuffer()->size(), c.sizes[i]);
    }
    // A row that does not inflate is skipped, not fatal.
    shell(database_->databasePath(), "UPDATE queue SET data = x'1f8b00' WHERE rowid = 1");
    EXPECT_EQ(database_->queryBundlesWithCountLimit(100, 65536, nullptr)->size(), 2u);
}

TEST_F(DatabaseTest, RefusedInputsWriteNothing) {
    MSRError error;
    MSRPBMeasurementBundle noApp;
    MSRPBSetInt64(noApp, kBundleEnd, 5);
    EXPECT_FALSE(database_->insertBundle(noApp, false, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle without App ID");
    EXPECT_FALSE(database_->insertBundle(metadata("app"), false, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle without valid timestamp");
    EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}, &error));
    EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
    EXPECT_EQ(error.code(), 1);
    MSRPBMeasurementConfig noAppConfig;
    MSRPBSetInt64(noAppConfig, kConfigVersion, 1);
    EXPECT_FALSE(database_->updateRemoteConfig(noAppConfig, &error));
    EXPECT_EQ(error.localizedDescription(), "Missing Zevure app ID in measurement configuration");
    EXPECT_FALSE(database_->updateDataType(MSRSqliteRecord{{"day", int64_t{1}}}, "app_metadata", "rowid",
                                           std::string("2"), &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to update record. Item doesn't exist");
    EXPECT_EQ(rows("queue") + rows("app_metadata"), 1);

    shell(database_->databasePath(), "UPDATE app_metadata SET remote_config_data = x'ff'");
    EXPECT_FALSE(database_->queryMeasurementConfig(&error));
    EXPECT_EQ(error.localizedDescription(), "Remote config data is corrupted");
}

TEST_F(DatabaseTest, RetryCountsStopAtTheCeiling) {
    MSRPBMeasurementBundle bundle = sizedBundle(100, dispatch::Clock::now());
    MSRPBSetInt32(bundle, kBundleRetries, 2147483646);
    ASSERT_TRUE(database_->insertBundle(bundle, false, nullptr));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1}, nullptr));
    EXPECT_EQ(MSRPBGetInt32(database_->queryBundlesWithRowIDs({1}, nullptr)->front().first, kBundleRetries),
              2147483647);
    EXPECT_TRUE(logged(12054));
}
