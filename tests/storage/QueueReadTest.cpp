// Queue reads: bundles are handed over with their events still encoded (the
// bundle encodes to exactly what was stored, its events read back as they went
// in, a row whose bytes do not decode is skipped without holding back the rows
// behind it), and the size limit counts what will be sent.

#include "analytics/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/security/Compression.h"
#include "tests/storage/StorageTestSupport.h"
#include "tests/support/EventNames.h"

namespace {

enum : uint32_t { kEvents = 1, kAttributes = 2, kEnd = 5, kPlatform = 8, kAppID = 14, kRetries = 35 };
enum : uint32_t { kEventName = 1, kEventTimestamp = 2 };

MSRPBEvent event(const std::string& name, int64_t millis) {
    MSRPBEvent event;
    MSRPBSetString(event, kEventName, name);
    MSRPBSetInt64(event, kEventTimestamp, millis);
    return event;
}

MSRPBMeasurementBundle bundleWith(const std::vector<std::string>& names, bool encodedEvents) {
    const auto now = static_cast<int64_t>(dispatch::Clock::now() * 1000);
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kAppID, "app");
    MSRPBSetInt64(bundle, kEnd, now);
    MSRPBUserAttribute attribute;
    MSRPBSetString(attribute, 1, "_fot");
    MSRPBSetMessageArray(bundle, kAttributes, std::vector{attribute});
    if (encodedEvents) {
        std::string elements;
        for (const std::string& name : names) MSRPBAppendEncodedElement(elements, *event(name, now).protoBuffer());
        MSRPBSetEncodedMessageArray(bundle, kEvents, std::move(elements));
    } else {
        std::vector<MSRPBEvent> events;
        for (const std::string& name : names) events.push_back(event(name, now));
        MSRPBSetMessageArray(bundle, kEvents, std::move(events));
    }
    return bundle;
}

// Stores `bytes`, gzipped as the queue stores bundles, as the data of a row.
void overwriteRow(const std::string& path, int64_t rowID, const std::vector<uint8_t>& bytes) {
    const std::vector<uint8_t> data = *security::gzip(bytes);
    std::string hex;
    for (uint8_t byte : data) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    EXPECT_EQ(shell(path, "UPDATE queue SET data = x'" + hex + "' WHERE rowid = " + std::to_string(rowID)), "");
}

// A bundle whose encoding is exactly `bytes` long.
MSRPBMeasurementBundle bundleOf(size_t bytes, int32_t retries) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, kAppID, "app");
    MSRPBSetInt64(bundle, kEnd, static_cast<int64_t>(dispatch::Clock::now() * 1000));
    if (retries > 0) MSRPBSetInt32(bundle, kRetries, retries);
    MSRPBSetString(bundle, kPlatform, "");
    const size_t text = bytes - bundle.protoBuffer()->size();  // short texts: one length byte
    MSRPBSetString(bundle, kPlatform, std::string(text, 'p'));
    return bundle;
}

class QueueReadTest : public StorageTest {
  protected:
    std::unique_ptr<MSRDatabase> openQueue(const std::string& suite) {
        auto config = MSRPersistedConfig::initWithSuiteName("test.queue." + suite);
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, config, nullptr);
        EXPECT_TRUE(database);
        if (!database) return nullptr;
        database->setRemoteConfig(std::make_shared<MSRRemoteConfig>());
        EXPECT_TRUE(database->reset(nullptr));
        return database;
    }
};

TEST_F(QueueReadTest, QueuedEventsStayEncodedAndBrokenRowsAreSkipped) {
    auto database = openQueue("encoded");
    ASSERT_TRUE(database);

    const std::vector<uint8_t> eventWithBrokenParameter = {0x0A, 0x03, 0x0A, 0x05, 'x'};
    std::vector<uint8_t> bundleWithBrokenEvent = *bundleWith({"a"}, false).protoBuffer();
    bundleWithBrokenEvent.push_back(0x0A);  // events field, key of field 1
    bundleWithBrokenEvent.push_back(static_cast<uint8_t>(eventWithBrokenParameter.size()));
    bundleWithBrokenEvent.insert(bundleWithBrokenEvent.end(), eventWithBrokenParameter.begin(),
                                 eventWithBrokenParameter.end());
    const struct {
        const char* label;
        std::vector<std::string> names;
        bool encodedWhenStored;
        std::optional<std::vector<uint8_t>> storedBytes;  // replaces the row's bytes
    } rows[] = {
        {"events stored from trees", {"_s", "kal_calculate", "_e"}, false, std::nullopt},
        {"events stored encoded", {"_f", "kal_calculate"}, true, std::nullopt},
        {"no events", {}, false, std::nullopt},
        {"an event that does not decode", {}, false, bundleWithBrokenEvent},
        {"bytes that are no bundle", {}, false, std::vector<uint8_t>{0x0A, 0x7F, 0x01}},
        {"after the broken rows", {"late"}, true, std::nullopt},
    };
    std::vector<std::vector<uint8_t>> expected;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const MSRPBMeasurementBundle bundle = bundleWith(rows[i].names, rows[i].encodedWhenStored);
        ASSERT_TRUE(database->insertBundle(bundle, false, nullptr)) << rows[i].label;
        if (rows[i].storedBytes) overwriteRow(database->databasePath(), static_cast<int64_t>(i + 1), *rows[i].storedBytes);
        expected.push_back(*bundle.protoBuffer());
    }

    auto read = database->queryBundlesWithCountLimit(100, 1 << 20, nullptr);
    ASSERT_TRUE(read);
    size_t next = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].label);
        if (rows[i].storedBytes) continue;
        ASSERT_LT(next, read->size());
        const auto& [bundle, rowID] = (*read)[next++];
        EXPECT_EQ(rowID, static_cast<int64_t>(i + 1));
        EXPECT_EQ(MSRPBIsEncodedMessageArray(bundle, kEvents), !rows[i].names.empty());
        EXPECT_FALSE(MSRPBIsEncodedMessageArray(bundle, kAttributes));
        EXPECT_EQ(bundle.protoBuffer(), expected[i]);
        EXPECT_EQ(eventNamesOf(bundle), rows[i].names);
    }
    EXPECT_EQ(next, read->size());
}

// The size limit of a queue read counts each bundle as it will be sent: with
// the retry count the queue has recorded since the bundle was stored.
TEST_F(QueueReadTest, RetriesCountedSinceStoringEnterTheSize) {
    struct Case {
        const char* name;
        int32_t storedRetries;  // in the second bundle's message when stored
        int failedUploads;      // counted on the second bundle afterwards
        size_t expectedRead;
        int32_t expectedRetries;
    };
    // The limit is exactly the two stored encodings: a retry field that the
    // second bundle gains on reading (three bytes) pushes it over.
    const Case cases[] = {
        {"never failed", 0, 0, 2, 0},
        {"first failure adds the field", 0, 1, 1, 1},
        {"stored with a count, unchanged", 1, 0, 2, 1},
        {"stored with a count, one more", 1, 1, 2, 2},
    };
    for (const Case& c : cases) {
        auto database = openQueue(c.name);
        ASSERT_TRUE(database);
        ASSERT_TRUE(database->insertBundle(bundleOf(60, 0), false, nullptr));
        ASSERT_TRUE(database->insertBundle(bundleOf(40, c.storedRetries), false, nullptr));
        for (int i = 0; i < c.failedUploads; ++i)
            ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({2}, nullptr));

        auto read = database->queryBundlesWithCountLimit(10, 100, nullptr);
        ASSERT_TRUE(read) << c.name;
        ASSERT_EQ(read->size(), c.expectedRead) << c.name;
        auto second = database->queryBundlesWithRowIDs({2}, nullptr);
        ASSERT_TRUE(second && second->size() == 1) << c.name;
        EXPECT_EQ(MSRPBGetInt32(second->front().first, kRetries), c.expectedRetries) << c.name;
    }
}

}  // namespace

// A read stops where the batch would: a later row is inflated only as far as
// the room left, and one that does not fit ends the walk unread and kept. A
// row that inflates to what is no bundle is deleted once, with its code, when
// the walk comes to it, so it costs no later read.
TEST_F(QueueReadTest, AReadStopsWhereTheBatchWouldAndDropsWhatIsNoBundle) {
    auto database = openQueue("walk");
    ASSERT_TRUE(database);
    const std::string path = database->databasePath();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(database->insertBundle(bundleOf(60, 0), false, nullptr));
    overwriteRow(path, 2, {0x0A, 0x7F, 0x01});
    // A bundle's key and a text's length of 1 MiB, cut four bytes short:
    // nothing in its head tells it from a bundle, only its whole does.
    std::vector<uint8_t> cut(size_t{1} << 20, 'p');
    cut[0] = 0x42, cut[1] = 0x80, cut[2] = 0x80, cut[3] = 0x40;
    overwriteRow(path, 3, cut);
    auto rowIDs = [&](const std::optional<std::vector<MSRQueuedBundle>>& read) {
        std::vector<int64_t> ids;
        if (read)
            for (const auto& [bundle, rowID] : *read) ids.push_back(rowID);
        return ids;
    };
    const struct {
        const char* what;
        int64_t deleteFirst;  // as an upload that succeeded
        std::vector<int64_t> read;
        bool dropped;         // 12083 logged by this read
        std::string left;     // the rows left afterwards
    } steps[] = {
        {"the third row does not fit the room left", 0, {1}, true, "1\n3\n4\n"},
        {"the third row comes first: no bundle", 1, {4}, true, "4\n"},
        {"nothing more to drop", 0, {4}, false, "4\n"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.deleteFirst) {
            ASSERT_TRUE(database->deleteBundlesWithRowIDs({step.deleteFirst}, nullptr));
        }
        logger_->clear();
        EXPECT_EQ(rowIDs(database->queryBundlesWithCountLimit(10, 1000, nullptr)), step.read);
        EXPECT_EQ(logged(12083), step.dropped);
        EXPECT_EQ(shell(path, "SELECT rowid FROM queue ORDER BY rowid"), step.left);
    }
}
