#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <fstream>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

class PersistentDictionaryTest : public StorageTest {
  protected:
    std::shared_ptr<MSRPersistentDictionary> open() {
        auto dictionary = MSRPersistentDictionary::create("config");
        EXPECT_TRUE(dictionary);
        return dictionary;
    }

    // What the file holds now; absent when there is no readable file.
    Value onDisk() {
        std::string bytes;
        if (!foundation::FileSystem::readFile(MSRSDKPlistPath("config"), bytes)) return Value();
        return foundation::parsePropertyList(bytes).value_or(Value());
    }
};

TEST_F(PersistentDictionaryTest, ABurstOfChangesIsWrittenOnceASecondAfterTheFirst) {
    auto dictionary = open();
    dictionary->setObject(Value("a"), "one");
    executor_.advanceBy(0.5);
    dictionary->setInteger(2, "two");
    dictionary->setDouble(3.5, "three");
    EXPECT_TRUE(onDisk().isAbsent());
    executor_.advanceBy(0.5);
    Value::Dictionary expected = {{"one", Value("a")}, {"two", Value(2)}, {"three", Value(3.5)}};
    EXPECT_EQ(onDisk(), Value(expected));
    EXPECT_FALSE(dictionary->hasPendingPersistence());
}

TEST_F(PersistentDictionaryTest, UnchangedValuesScheduleNothing) {
    auto dictionary = open();
    dictionary->setObject(Value("a"), "one");
    executor_.advanceBy(1.0);
    dictionary->setObject(Value("a"), "one");
    dictionary->removeObjectForKey("missing");
    dictionary->synchronize();
    EXPECT_FALSE(dictionary->hasPendingPersistence());
    dictionary->clearAllData();
    EXPECT_TRUE(dictionary->hasPendingPersistence());
}

TEST_F(PersistentDictionaryTest, ValuesWithoutAPropertyListFormAreRefused) {
    auto dictionary = open();
    dictionary->setObject(Value("kept"), "key");
    std::vector<std::pair<const char*, Value>> refused = {
        {"null", Value::null()},
        {"null in a list", Value(Value::List{Value(1), Value::null()})},
        {"null deep in a dictionary",
         Value(Value::Dictionary{{"inner", Value(Value::Dictionary{{"x", Value::null()}})}})},
    };
    for (const auto& [name, value] : refused) {
        SCOPED_TRACE(name);
        clearConsole();
        dictionary->setObject(value, "key");
        EXPECT_TRUE(consoleLogged(43003));
        EXPECT_EQ(dictionary->objectForKey("key"), Value("kept"));
    }
    clearConsole();
    dictionary->setObject(Value("x"), "");
    EXPECT_TRUE(consoleLogged(43002));
    // The refused values never reach the file, so the write goes through.
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk()["key"], Value("kept"));
}

TEST_F(PersistentDictionaryTest, ContentsSurviveARestartExactly) {
    Value::Dictionary values = {
        {"tenth", Value(0.1)},
        {"third", Value(1.0 / 3.0)},
        {"tiny", Value(5e-324)},
        {"huge", Value(DBL_MAX)},
        {"whole double", Value(2.0)},
        {"time", Value(1700000000.123456789)},
        {"max", Value(static_cast<long long>(INT64_MAX))},
        {"min", Value(static_cast<long long>(INT64_MIN))},
        {"flag", Value(true)},
        {"text", Value("gr\xC3\xBC\xC3\x9F <&>")},
        {"bytes", Value(Value::Bytes{0, 1, 2, 255})},
        {"date", Value(foundation::Date{1700000000})},
        {"nested", Value(Value::Dictionary{{"list", Value(Value::List{Value(1), Value(0.7)})}})},
    };
    {
        auto dictionary = open();
        for (const auto& [key, value] : values) dictionary->setObject(value, key);
        executor_.advanceBy(1.0);
    }
    auto reopened = open();
    for (const auto& [key, value] : values) {
        SCOPED_TRACE(key);
        Value read = reopened->objectForKey(key);
        EXPECT_EQ(read, value);
        EXPECT_EQ(read.type(), value.type());
        if (value.type() == Value::Type::Double) {
            // Bit for bit, so that also the sign of zero and the last digit count.
            EXPECT_EQ(std::bit_cast<uint64_t>(*value.doubleValue()),
                      std::bit_cast<uint64_t>(*read.doubleValue()));
        }
    }
}

TEST_F(PersistentDictionaryTest, DestroyingWithAPendingChangeWritesAtOnce) {
    open()->setObject(Value("last words"), "key");
    EXPECT_EQ(onDisk()["key"], Value("last words"));
}

TEST_F(PersistentDictionaryTest, AFileThatIsNotAPropertyListIsReplaced) {
    fs::create_directories(fs::path(MSRSDKPlistPath("config")).parent_path());
    std::ofstream(MSRSDKPlistPath("config")) << "<plist><dict><key>cut";
    auto dictionary = open();
    EXPECT_TRUE(dictionary->objectForKey("cut").isAbsent());
    dictionary->setBool(true, "fresh");
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk(), Value(Value::Dictionary{{"fresh", Value(true)}}));
}

TEST_F(PersistentDictionaryTest, AFailedWriteIsRetriedWithoutAnotherChange) {
    auto dictionary = open();
    // A folder where the file belongs makes every write fail.
    fs::create_directories(MSRSDKPlistPath("config") + "/blocker");
    dictionary->setObject(Value(0.1), "value");
    executor_.advanceBy(1.0);
    EXPECT_TRUE(consoleLogged(43000));
    EXPECT_TRUE(dictionary->hasPendingPersistence());
    executor_.advanceBy(1.0);  // fails again; the next try waits longer
    fs::remove_all(MSRSDKPlistPath("config"));
    executor_.advanceBy(1.0);
    EXPECT_TRUE(onDisk().isAbsent());
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk()["value"], Value(0.1));
    EXPECT_FALSE(dictionary->hasPendingPersistence());
}

TEST_F(PersistentDictionaryTest, AnEmptyNameGivesNoDictionary) {
    EXPECT_FALSE(MSRPersistentDictionary::create(""));
}

}  // namespace
