#include <gtest/gtest.h>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRUserDefaults.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

class UserDefaultsTest : public StorageTest {};

TEST_F(UserDefaultsTest, SuitesShareTheApplicationsStore) {
    MSRUserDefaults suite("MSRAnalyticsSuiteName");
    suite.setObject(Value("v"), "k");
    EXPECT_EQ(foundation::UserDefaults("MSRAnalyticsSuiteName").string("k"), "v");
    foundation::UserDefaults("MSRAnalyticsSuiteName").set("other", Value(3));
    EXPECT_EQ(suite.integerForKey("other"), 3);
    EXPECT_TRUE(fs::exists(root_ / "home/Library/Preferences/MSRAnalyticsSuiteName.plist"));
}

TEST_F(UserDefaultsTest, TypedReadsFollowTheStoredKind) {
    MSRUserDefaults suite("typed");
    suite.setInteger(42, "number");
    suite.setObject(Value("42"), "text");
    suite.setBool(true, "flag");
    suite.setObject(Value(foundation::Date{1700000000}), "date");
    suite.setObject(Value(Value::Dictionary{{"a", Value(1)}}), "dictionary");
    struct Case {
        const char* key;
        int64_t integer;
        bool flag;
        bool isText;
    };
    for (Case c :
         {Case{"number", 42, true, false}, Case{"text", 0, false, true}, Case{"flag", 1, true, false},
          Case{"date", 0, false, false}, Case{"missing", 0, false, false}}) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(suite.integerForKey(c.key), c.integer);
        EXPECT_EQ(suite.boolForKey(c.key), c.flag);
        EXPECT_EQ(suite.stringForKey(c.key).has_value(), c.isText);
    }
    EXPECT_TRUE(suite.dictionaryForKey("dictionary"));
    EXPECT_FALSE(suite.arrayForKey("dictionary"));
}

TEST_F(UserDefaultsTest, InvalidKeysAndValuesAreRefused) {
    MSRUserDefaults suite("refusing");
    suite.setObject(Value("kept"), "k");
    suite.setObject(Value("x"), "");
    EXPECT_TRUE(consoleLogged(41002));
    EXPECT_TRUE(suite.objectForKey("").isAbsent());
    EXPECT_TRUE(consoleLogged(41001));
    suite.setObject(Value(Value::List{Value::null()}), "k");
    EXPECT_TRUE(consoleLogged(41003));
    EXPECT_EQ(suite.objectForKey("k"), Value("kept"));
    suite.removeObjectForKey("k");
    EXPECT_TRUE(suite.objectForKey("k").isAbsent());
}

TEST_F(UserDefaultsTest, ClearAllDataEmptiesOnlyItsSuite) {
    MSRUserDefaults suite("cleared");
    MSRUserDefaults other("untouched");
    suite.setInteger(1, "a");
    suite.setInteger(2, "b");
    other.setInteger(3, "a");
    suite.clearAllData();
    EXPECT_TRUE(suite.objectForKey("a").isAbsent());
    EXPECT_TRUE(suite.objectForKey("b").isAbsent());
    EXPECT_EQ(other.integerForKey("a"), 3);
}

TEST_F(UserDefaultsTest, SynchronizeExcludesANamedSuitesFileOnce) {
    MSRUserDefaults suite("excluded");
    suite.synchronize();
    EXPECT_FALSE(suite.isPreferenceFileExcluded());  // no file yet
    suite.setInteger(1, "a");
    suite.synchronize();
    EXPECT_TRUE(suite.isPreferenceFileExcluded());
    EXPECT_TRUE(MSRIsPathExcludedFromBackup(MSRPreferencesPlistPath("excluded")));

    auto shared = MSRUserDefaults::sharedUserDefaults();
    shared->setInteger(1, "a");
    shared->synchronize();
    EXPECT_FALSE(MSRIsPathExcludedFromBackup(foundation::UserDefaults::standard().filePath().string()));
}

TEST_F(UserDefaultsTest, TheMonitorsViewReadsWhatTheSuiteHolds) {
    auto suite = std::make_shared<MSRUserDefaults>("monitor");
    MSRUserDefaultsPreferenceStore store(suite);
    MSRPreferenceValue entry(MSRPreferenceValue::Array{
        MSRPreferenceValue("ctx"), MSRPreferenceValue(int64_t{3}), MSRPreferenceValue("key"),
        MSRPreferenceValue(MSRPreferenceDate{1700000000})});
    store.setObject(entry, "health");
    EXPECT_EQ(store.objectForKey("health"), entry);
    store.removeObjectForKey("health");
    EXPECT_FALSE(store.objectForKey("health"));
}

}  // namespace
