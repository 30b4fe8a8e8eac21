// The size limit of a queue read counts each bundle as it will be sent:
// with the retry count the queue has recorded since the bundle was stored.

#include "analytics/core/support/MSRRemoteConfig.h"
#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

enum : uint32_t { kEnd = 5, kPlatform = 8, kAppID = 14, kRetries = 35 };

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

class QueueReadSizeTest : public StorageTest {};

TEST_F(QueueReadSizeTest, RetriesCountedSinceStoringEnterTheSize) {
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
        auto config = MSRPersistedConfig::initWithSuiteName(std::string("test.queue.") + c.name);
        auto database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, config, nullptr);
        ASSERT_TRUE(database);
        database->setRemoteConfig(std::make_shared<MSRRemoteConfig>());
        ASSERT_TRUE(database->reset(nullptr));
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
