// The engine's dictionary file is read within the property-list bounds and
// never written past them. A file past them is kept aside whole (one larger
// than the reader takes was once left in place and overwritten by the first
// write) and what fits of it goes on, and a write past them keeps the last
// file the next start can read.

#include <filesystem>
#include <fstream>
#include <string>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

class PersistentDictionaryBoundsTest : public StorageTest {
  protected:
    Value onDisk() {
        std::string bytes;
        if (!foundation::FileSystem::readFile(MSRSDKPlistPath("config"), bytes)) return Value();
        return foundation::parsePropertyList(bytes).value_or(Value());
    }
};

TEST_F(PersistentDictionaryBoundsTest, AFilePastTheBoundsIsSetAsideWhole) {
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
    std::string manyValues = head + "<array>";
    for (uint64_t i = 0; i < foundation::kMaximumPropertyListValues; ++i) manyValues += "<true/>";
    manyValues += "</array></dict></plist>";
    std::string manyBytes = head + "<true/></dict><!--";
    manyBytes += std::string(foundation::kMaximumPropertyListBytes + 1 - manyBytes.size() - 11, ' ') + "--></plist>";
    ASSERT_EQ(manyBytes.size(), foundation::kMaximumPropertyListBytes + 1);

    fs::create_directories(fs::path(MSRSDKPlistPath("config")).parent_path());
    for (const std::string* bytes : {&manyValues, &manyBytes}) {
        SCOPED_TRACE(bytes->size());
        fs::remove(MSRSDKPlistPath("config") + ".damaged");
        std::ofstream(MSRSDKPlistPath("config"), std::ios::binary) << *bytes;
        console_.clear();
        auto dictionary = MSRPersistentDictionary::create("config");
        ASSERT_TRUE(dictionary);
        // Salvaged: of the list past the bounds its leading items, else the value.
        const Value salvaged = dictionary->objectForKey("k");
        if (bytes == &manyValues) {
            ASSERT_TRUE(salvaged.list());
            EXPECT_GT(salvaged.list()->size(), 0u);
            EXPECT_LT(salvaged.list()->size(), foundation::kMaximumPropertyListValues);
        } else {
            EXPECT_EQ(salvaged, Value(true));
        }
        EXPECT_TRUE(console_.logged(43006));
        std::string kept;
        ASSERT_TRUE(foundation::FileSystem::readFile(MSRSDKPlistPath("config") + ".damaged", kept,
                                                     bytes->size()));
        EXPECT_TRUE(kept == *bytes);
        dictionary->setBool(true, "fresh");
        executor_.advanceBy(1.0);
        EXPECT_EQ(onDisk(), Value(Value::Dictionary{{"fresh", true}, {"k", salvaged}}));
    }
}

TEST_F(PersistentDictionaryBoundsTest, AWritePastTheBoundsKeepsTheLastFile) {
    // The values bound made small: the writer builds a node for each value.
    constexpr uint64_t kFewValues = 1000;
    const foundation::PropertyListBoundsForTesting few({kFewValues, foundation::kMaximumPropertyListBytes});
    auto dictionary = MSRPersistentDictionary::create("config");
    ASSERT_TRUE(dictionary);
    dictionary->setObject(Value("kept"), "key");
    executor_.advanceBy(1.0);
    // Each half alone has a property-list form; both together pass the bound.
    const Value half = Value::List(kFewValues / 2, true);
    dictionary->setObject(half, "a");
    dictionary->setObject(half, "b");
    executor_.advanceBy(1.0);
    EXPECT_TRUE(console_.logged(43007));
    EXPECT_FALSE(console_.logged(43000));
    EXPECT_EQ(onDisk(), Value(Value::Dictionary{{"key", "kept"}}));
    // Nothing is tried again until the contents change, and a change that
    // brings them back within the bound is written.
    EXPECT_FALSE(dictionary->hasPendingPersistence());
    dictionary->removeObjectForKey("b");
    executor_.advanceBy(1.0);
    EXPECT_EQ(onDisk()["a"], half);
}
