// Event aggregates and subscription identifiers in the analytics database.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

using DatabaseEventsTest = OpenDatabaseTest;

TEST_F(DatabaseEventsTest, AggregatesAndPublicNames) {
    auto sampled = *MSREventAggregates::initWithName("_vs", 7, 2, 1, 1700000000.5);
    sampled.setLastSampledComplexEventID(-42);
    sampled.setLastExemptFromSampling(true);
    ASSERT_TRUE(database_->updateEventAggregates(sampled, nullptr));
    auto read = database_->eventAggregatesWithName("_vs", nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tuple(read->lifetimeCount(), read->currentBundleCount(), read->currentSessionCount(),
                         read->lastFireTimestamp(), read->lastSampledComplexEventID(),
                         read->lastExemptFromSampling()),
              std::tuple(7, 2, 1, 1700000000.5, std::optional<int64_t>(-42), true));
    MSRError error;
    EXPECT_FALSE(database_->eventAggregatesWithName("never_logged", &error));
    EXPECT_EQ(error.code(), 0);
    // Only names without a leading underscore count as public.
    for (const char* name : {"level_up", "_s", "a_b"}) {
        ASSERT_TRUE(
            database_->updateEventAggregates(*MSREventAggregates::initWithName(name, 1, 0, 0, 0), nullptr));
    }
    EXPECT_EQ(database_->publicEventCount(nullptr), 2);
}

TEST_F(DatabaseEventsTest, SubscriptionIdentifiersAreAnsweredOnceAndKeptToTheNewest) {
    const std::pair<std::string, bool> steps[] = {{"1001", true}, {"1001", false}, {"", false}};
    for (const auto& [id, isNew] : steps)
        EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID(id, nullptr), isNew);
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i <= MSRDatabase::kMaxSubscriptionRows; ++i) {
            if (database_->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i), nullptr) != true)
                return false;
        }
        return true;
    }));
    // 1002 stored: the two oldest go, and count as new again.
    EXPECT_EQ(database_->deleteSubscriptionsOverLimit(nullptr), 2);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("1001", nullptr), true);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1000", nullptr), false);
}
