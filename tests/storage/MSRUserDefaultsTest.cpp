
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/storage/StorageTestSupport.h"

using foundation::Value;

class UserDefaultsTest : public StorageTest {};

TEST_F(UserDefaultsTest, SuitesShareTheApplicationsStoreAndClearOnlyThemselves) {
    MSRUserDefaults suite("MSRAnalyticsSuiteName");
    MSRUserDefaults other("untouched");
    suite.setObject(Value("v"), "k");
    other.setInteger(3, "k");
    EXPECT_EQ(foundation::UserDefaults("MSRAnalyticsSuiteName").string("k"), "v");
    foundation::UserDefaults("MSRAnalyticsSuiteName").set("other", Value(3));
    EXPECT_EQ(suite.integerForKey("other"), 3);
    suite.clearAllData();
    EXPECT_TRUE(suite.objectForKey("k").isAbsent() && suite.objectForKey("other").isAbsent());
    EXPECT_EQ(other.integerForKey("k"), 3);
}

TEST_F(UserDefaultsTest, TypedReadsFollowTheStoredKind) {
    MSRUserDefaults suite("typed");
    suite.setInteger(42, "number");
    suite.setObject(Value("42"), "text");
    suite.setBool(true, "flag");
    suite.setObject(Value(foundation::Date{1700000000}), "date");
    // (key, integer and flag read, reads as text)
    for (auto [key, integer, isText] : {std::tuple{"number", 42, false},
                                        {"text", 0, true},
                                        {"flag", 1, false},
                                        {"date", 0, false},
                                        {"missing", 0, false}}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(suite.integerForKey(key), integer);
        EXPECT_EQ(suite.boolForKey(key), integer != 0);
        EXPECT_EQ(suite.stringForKey(key).has_value(), isText);
    }
}

TEST_F(UserDefaultsTest, InvalidKeysAndValuesAreRefused) {
    MSRUserDefaults suite("refusing");
    suite.setObject(Value("kept"), "k");
    suite.setObject(Value("x"), "");
    EXPECT_TRUE(suite.objectForKey("").isAbsent());
    suite.setObject(Value(Value::List{Value::null()}), "k");
    for (int64_t code : {41001, 41002, 41003}) EXPECT_TRUE(console_.logged(code)) << code;
    EXPECT_EQ(suite.objectForKey("k"), Value("kept"));
}

TEST_F(UserDefaultsTest, SynchronizeExcludesANamedSuitesFileOnce) {
    MSRUserDefaults suite("excluded");
    suite.synchronize();
    EXPECT_FALSE(suite.isPreferenceFileExcluded());  // no file yet
    suite.setInteger(1, "a");
    suite.synchronize();
    EXPECT_TRUE(MSRIsPathExcludedFromBackup(MSRPreferencesPlistPath("excluded")));

    auto shared = MSRUserDefaults::sharedUserDefaults();
    shared->setInteger(1, "a");
    shared->synchronize();
    EXPECT_FALSE(MSRIsPathExcludedFromBackup(foundation::UserDefaults::standard().filePath().string()));
}

TEST_F(UserDefaultsTest, TheMonitorsViewReadsWhatTheSuiteHolds) {
    MSRUserDefaultsPreferenceStore store(std::make_shared<MSRUserDefaults>("monitor"));
    MSRPreferenceValue entry(MSRPreferenceValue::Array{MSRPreferenceValue("ctx"),
                                                       MSRPreferenceValue(int64_t{3}),
                                                       MSRPreferenceValue(MSRPreferenceDate{1700000000})});
    store.setObject(entry, "health");
    EXPECT_EQ(store.objectForKey("health"), entry);
    store.removeObjectForKey("health");
    EXPECT_FALSE(store.objectForKey("health"));
}
