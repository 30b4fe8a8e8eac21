// Event aggregates and subscription identifiers in the analytics database.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

MSREventAggregates aggregates(const std::string& name, int32_t lifetime, int32_t bundle, int32_t session,
                              double lastFire) {
    return *MSREventAggregates::initWithName(name, lifetime, bundle, session, lastFire);
}

}  // namespace

class DatabaseEventsTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        database_ = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        ASSERT_TRUE(database_);
    }
    void TearDown() override {
        database_.reset();
        StorageTest::TearDown();
    }
    std::unique_ptr<MSRDatabase> database_;
};

TEST_F(DatabaseEventsTest, AggregatesReadBackAsWritten) {
    MSREventAggregates sampled = aggregates("_vs", 7, 2, 1, 1700000000.5);
    sampled.setLastBundledTimestamp(1700000100.25);
    sampled.setLastSampledComplexEventID(-42);
    sampled.setLastSamplingRate(10);
    sampled.setLastExemptFromSampling(true);
    sampled.setLastBundledDay(19700);
    MSREventAggregates fresh = aggregates("level_up", 0, 0, 0, 0);

    for (const MSREventAggregates& written : {sampled, fresh}) {
        SCOPED_TRACE(written.name());
        MSRError error;
        ASSERT_TRUE(database_->updateEventAggregates(written, &error)) << error.localizedDescription();
        auto read = database_->eventAggregatesWithName(written.name(), &error);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->lifetimeCount(), written.lifetimeCount());
        EXPECT_EQ(read->currentBundleCount(), written.currentBundleCount());
        EXPECT_EQ(read->currentSessionCount(), written.currentSessionCount());
        EXPECT_EQ(read->lastFireTimestamp(), written.lastFireTimestamp());
        EXPECT_EQ(read->lastBundledTimestamp(), written.lastBundledTimestamp());
        EXPECT_EQ(read->lastSampledComplexEventID(), written.lastSampledComplexEventID());
        EXPECT_EQ(read->lastSamplingRate(), written.lastSamplingRate());
        EXPECT_EQ(read->lastExemptFromSampling(), written.lastExemptFromSampling());
        EXPECT_EQ(read->lastBundledDay(), written.lastBundledDay());
    }

    // A rewrite without a complex-event identifier drops the stored one.
    ASSERT_TRUE(database_->updateEventAggregates(aggregates("_vs", 8, 0, 0, 1), nullptr));
    EXPECT_FALSE(database_->eventAggregatesWithName("_vs", nullptr)->lastSampledComplexEventID());

    MSRError error;
    EXPECT_FALSE(database_->eventAggregatesWithName("never_logged", &error));
    EXPECT_EQ(error.code(), 0);
}

TEST_F(DatabaseEventsTest, RowFromBeforeTheAddOnColumnsReadsWithFreshValues) {
    MSRSqliteRecord legacy = {{"name", std::string("_e")},
                              {"lifetime_count", int64_t{3}},
                              {"current_bundle_count", int64_t{1}},
                              {"last_fire_timestamp", 12.0}};
    ASSERT_TRUE(database_->insertDataType(legacy, "events", nullptr));
    auto read = database_->eventAggregatesWithName("_e", nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->lifetimeCount(), 3);
    EXPECT_EQ(read->currentSessionCount(), 0);
    EXPECT_EQ(read->lastSamplingRate(), 1);
    EXPECT_FALSE(read->lastExemptFromSampling());
    EXPECT_EQ(read->lastBundledDay(), 0);
    EXPECT_FALSE(read->lastSampledComplexEventID());
}

TEST_F(DatabaseEventsTest, PublicEventCountLeavesInternalNamesOut) {
    struct Case {
        std::vector<std::string> names;
        int64_t publicCount;
    };
    const Case cases[] = {
        {{}, 0},
        {{"_vs", "_e"}, 0},
        {{"level_up", "a_b"}, 2},              // an underscore inside a name is no prefix
        {{"level_up", "_s", "post", "_f"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.names));
        ASSERT_TRUE(database_->reset(nullptr));
        for (const auto& name : c.names) {
            ASSERT_TRUE(database_->updateEventAggregates(aggregates(name, 1, 0, 0, 0), nullptr));
        }
        EXPECT_EQ(database_->publicEventCount(nullptr), c.publicCount);
    }
}

TEST_F(DatabaseEventsTest, AggregatesTableRefusesANewNameWhenFullButRewritesOldOnes) {
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < MSRDatabase::kMaxEventAggregatesRows; ++i) {
            if (!database_->updateEventAggregates(aggregates("e" + std::to_string(i), 1, 0, 0, 0), nullptr)) return false;
        }
        return true;
    }));
    MSRError error;
    EXPECT_FALSE(database_->updateEventAggregates(aggregates("one_more", 1, 0, 0, 0), &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database_->updateEventAggregates(aggregates("e7", 2, 0, 0, 0), nullptr));
    EXPECT_EQ(database_->eventAggregatesWithName("e7", nullptr)->lifetimeCount(), 2);
}

TEST_F(DatabaseEventsTest, SubscriptionIdentifiersAreAnsweredOnceAndKeptToTheNewest) {
    struct Step {
        std::string id;
        std::optional<bool> isNew;
    };
    const Step steps[] = {{"1001", true}, {"1002", true}, {"1001", false}, {"", false}, {"1002", false}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.id);
        EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID(step.id, nullptr), step.isNew);
    }
    EXPECT_EQ(database_->deleteSubscriptionsOverLimit(nullptr), 0);

    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < MSRDatabase::kMaxSubscriptionRows + 1; ++i) {
            if (database_->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i), nullptr) != true) return false;
        }
        return true;
    }));
    // 1003 stored: the three oldest go, and come back as new.
    EXPECT_EQ(database_->deleteSubscriptionsOverLimit(nullptr), 3);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("1001", nullptr), true);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s0", nullptr), true);
    EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1000", nullptr), false);
}
