// Purchase fingerprints and complex events in the analytics database.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

class DatabasePurchasesTest : public OpenDatabaseTest {};

TEST_F(DatabasePurchasesTest, FingerprintsAreNewOnceAndTheNewest1000Kept) {
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", nullptr), false);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), true);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), false);
    EXPECT_EQ(database_->containsPurchaseFingerprint("f0", nullptr), true);
    EXPECT_EQ(database_->containsPurchaseFingerprint("f1", nullptr), false);
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 1; i <= 1000; ++i)
            if (!database_->insertIfNotDuplicatePurchaseFingerprint("f" + std::to_string(i), nullptr)) return false;
        return true;
    }));
    EXPECT_EQ(database_->containsPurchaseFingerprint("f0", nullptr), false);
    EXPECT_EQ(database_->containsPurchaseFingerprint("f1", nullptr), true);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), true);
}

TEST_F(DatabasePurchasesTest, ComplexEventsReadBackAndRefusals) {
    const MSREvent main = *MSREvent::initWithOrigin("app", true, "checkout", 1'700'000'000.0, 0,
                                                    {{"n", MSRValue(int64_t{4})}});
    MSRError error;
    EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7, &error));
    EXPECT_EQ(error.code(), 0);
    ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(7, 3, main, nullptr));
    ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(7, 2, main, nullptr));
    auto pair = database_->mainEventAndChildCountPairWithEventID(7, nullptr);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->first.name(), "checkout");
    EXPECT_EQ(pair->first.parameters(), main.parameters());
    EXPECT_EQ(pair->second, 2);
    EXPECT_FALSE(database_->updateComplexEventForAudienceEvaluationWithEventID(8, 1, std::nullopt, &error));
    EXPECT_NE(error.description().find("Received nil main event"), std::string::npos);
    EXPECT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(7, nullptr));
    EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7, nullptr));
}
