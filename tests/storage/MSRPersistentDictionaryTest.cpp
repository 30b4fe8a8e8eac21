
#include <cfloat>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/foundation/PropertyList.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

class PersistentDictionaryTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        dictionary_ = MSRPersistentDictionary::create("config");
        ASSERT_TRUE(dictionary_);
    }

    // What the file holds now; absent when there is no readable file.
    Value onDisk() {
        std::string bytes;
        if (!foundation::FileSystem::readFile(MSRSDKPlistPath("config"), bytes)) return Value();
        return foundation::parsePropertyList(bytes).value_or(Value());
    }

    std::shared_ptr<MSRPersistentDictionary> dictionary_;
};

TEST_F(PersistentDictionaryTest, ABurstOfChangesIsWrittenOnceASecondAfterTheFirst) {
    dictionary_->setObject(Value("a"), "one");
    executor_.advanceBy(0.5);
    dictionary_->setInteger(2, "two");
    dictionary_->setDouble(3.5, "three");
    EXPECT_TRUE(onDisk().isAbsent());
    executor_.advanceBy(0.5);
    EXPECT_EQ(onDisk(),
              Value(Value::Dictionary{{"one", Value("a")}, {"two", Value(2)}, {"three", Value(3.5)}}));
    // Unchanged values schedule nothing.
    dictionary_->setObject(Value("a"), "one");
    dictionary_->removeObjectForKey("missing");
    dictionary_->synchronize();
    EXPECT_FALSE(dictionary_->hasPendingPersistence());
    // A synchronize writes a change at once, as the end of the process needs.
    dictionary_->setInteger(4, "four");
    dictionary_->synchronize();
    EXPECT_EQ(onDisk()["four"], Value(4));
    EXPECT_FALSE(dictionary_->hasPendingPersistence());
}

TEST_F(PersistentDictionaryTest, ValuesWithoutAPropertyListFormAreRefused) {
    dictionary_->setObject(Value("kept"), "key");
    std::vector<Value> refused = {
        Value::null(), Value(Value::List{Value(1), Value::null()}),
        Value(Value::Dictionary{{"inner", Value(Value::Dictionary{{"x", Value::null()}})}}),
        Value(foundation::Date{1e300}),  // no date form in a property list
    };
    for (const Value& value : refused) {
        SCOPED_TRACE(value.jsonText());
        console_.clear();
        dictionary_->setObject(value, "key");
        EXPECT_TRUE(console_.logged(43003));
        EXPECT_EQ(dictionary_->objectForKey("key"), Value("kept"));
    }
    dictionary_->setObject(Value("x"), "");
    EXPECT_TRUE(console_.logged(43002));
    // The refused values never reach the file, so the write goes through.
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk()["key"], Value("kept"));
}

TEST_F(PersistentDictionaryTest, ContentsSurviveARestartExactly) {
    // clang-format off
    std::vector<Value> values = {
        Value(0.1), Value(1.0 / 3.0), Value(5e-324), Value(DBL_MAX), Value(2.0),
        Value(static_cast<long long>(INT64_MAX)), Value(static_cast<long long>(INT64_MIN)), Value(true),
        Value("gr\xC3\xBC\xC3\x9F <&>"), Value(Value::Bytes{0, 1, 2, 255}), Value(foundation::Date{1700000000}),
        Value(Value::Dictionary{{"list", Value(Value::List{Value(1), Value(0.7)})}})};
    // clang-format on
    for (size_t i = 0; i < values.size(); ++i) dictionary_->setObject(values[i], std::to_string(i));
    dictionary_.reset();  // a pending change is written at once
    auto reopened = MSRPersistentDictionary::create("config");
    for (size_t i = 0; i < values.size(); ++i) {
        Value read = reopened->objectForKey(std::to_string(i));
        // Doubles compare exactly; the kind must survive too (2.0 is no integer).
        EXPECT_TRUE(read == values[i] && read.type() == values[i].type()) << i << ": " << read.jsonText();
    }
}

TEST_F(PersistentDictionaryTest, AFileThatIsNotAPropertyListIsSetAsideAndReplaced) {
    writeFile(MSRSDKPlistPath("config"), "<plist><dict><key>cut");
    auto dictionary = MSRPersistentDictionary::create("config");
    EXPECT_TRUE(dictionary->objectForKey("cut").isAbsent());
    std::string kept;
    ASSERT_TRUE(foundation::FileSystem::readFile(MSRSDKPlistPath("config") + ".damaged", kept));
    EXPECT_EQ(kept, "<plist><dict><key>cut");
    dictionary->setBool(true, "fresh");
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk(), Value(Value::Dictionary{{"fresh", Value(true)}}));
}

// One damaged value costs that value alone, wherever it stands: the
// installation's identity and its first open stay beside it. The reader
// passes over such a value, so the file is not set aside for it.
TEST_F(PersistentDictionaryTest, ADamagedValueCostsThatValueAlone) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    const std::string own =
        "<key>app_instance_id</key><string>4c0ffee</string>"
        "<key>first_open_time</key><integer>1700000000000</integer>";
    const struct {
        const char* name;
        std::string file;
    } rows[] = {
        {"a foreign text that is not UTF-8 first",
         head + "<key>!a</key><string>\xff</string>" + own + "</dict></plist>"},
        {"a key that is not UTF-8 last", head + own + "<key>z\xc3</key><string>z</string></dict></plist>"},
        {"a damaged integer between them",
         head +
             "<key>app_instance_id</key><string>4c0ffee</string><key>session_number</key><integer>x</integer>"
             "<key>first_open_time</key><integer>1700000000000</integer></dict></plist>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        dictionary_.reset();
        std::error_code ec;
        fs::remove(MSRSDKPlistPath("config") + ".damaged", ec);
        writeFile(MSRSDKPlistPath("config"), row.file);
        auto dictionary = MSRPersistentDictionary::create("config");
        ASSERT_TRUE(dictionary);
        EXPECT_EQ(dictionary->objectForKey("app_instance_id"), Value("4c0ffee"));
        EXPECT_EQ(dictionary->objectForKey("first_open_time"), Value(int64_t{1700000000000}));
        EXPECT_FALSE(fs::exists(MSRSDKPlistPath("config") + ".damaged"));
        dictionary->setBool(true, "fresh");
        executor_.advanceBy(1.0);
        EXPECT_EQ(onDisk()["app_instance_id"], Value("4c0ffee"));
        dictionary.reset();
    }
}

TEST_F(PersistentDictionaryTest, AFailedWriteIsRetriedWithoutAnotherChange) {
    // A folder where the file belongs makes every write fail.
    fs::create_directories(MSRSDKPlistPath("config") + "/blocker");
    dictionary_->setObject(Value(0.1), "value");
    executor_.advanceBy(1.0);
    EXPECT_TRUE(console_.logged(43000));
    EXPECT_TRUE(dictionary_->hasPendingPersistence());
    executor_.advanceBy(1.0);  // fails again; the next try waits longer
    fs::remove_all(MSRSDKPlistPath("config"));
    executor_.advanceBy(1.0);
    EXPECT_TRUE(onDisk().isAbsent());
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk()["value"], Value(0.1));
    EXPECT_FALSE(dictionary_->hasPendingPersistence());
}

// The end of the process drops delayed work. A change still waiting for its
// write then, and one made by work the end still runs, are written all the
// same: the next start would otherwise find an earlier state (its session
// taken for expired, its first open unrecorded). A disk that refuses the
// write does not hold the end.
TEST_F(PersistentDictionaryTest, TheEndWritesWhatWaitsAndWhatChangesWhileItRuns) {
    dictionary_->setObject(Value("waiting"), "before");
    auto writer = dispatch::SerialQueue::create("late writer");
    // Runs in the end's drain, after the end has written what waited.
    writer->async([this, writer] { writer->async([this] { dictionary_->setObject(Value("late"), "during"); }); });
    ASSERT_TRUE(dispatch::endQueues(5));
    dispatch::reopenQueuesForTesting();
    EXPECT_EQ(onDisk(), Value(Value::Dictionary{{"before", Value("waiting")}, {"during", Value("late")}}));
    EXPECT_FALSE(dictionary_->hasPendingPersistence());

    fs::remove_all(MSRSDKPlistPath("config"));
    fs::create_directories(MSRSDKPlistPath("config") + "/blocker");
    dictionary_->setObject(Value("refused"), "after");
    ASSERT_TRUE(dispatch::endQueues(5));
    dispatch::reopenQueuesForTesting();
    EXPECT_TRUE(console_.logged(43000));
}
