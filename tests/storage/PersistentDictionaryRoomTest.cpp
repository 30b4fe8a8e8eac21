// The engine's dictionary file at its stated bound still takes the engine's
// changes: values under keys the engine does not write give way, kept
// aside; with none to give, the change is refused and the last file stays.

#include <filesystem>
#include <fstream>
#include <string>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistentDictionary.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "tests/storage/StorageTestSupport.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

Value roomOnDisk(const std::string& path) {
    std::string bytes;
    if (!foundation::FileSystem::readFile(path, bytes)) return Value();
    return foundation::parsePropertyList(bytes).value_or(Value());
}

class PersistentDictionaryRoomTest : public StorageTest {
  protected:
    void TearDown() override {
        foundation::resetStoredFileBounds();
        StorageTest::TearDown();
    }
};

TEST_F(PersistentDictionaryRoomTest, UnknownValuesGiveWayBeforeTheEnginesChangeIsRefused) {
    const Value many = Value::List(900, true);
    const Value change = Value::List(200, true);
    const struct {
        const char* name;
        Value::Dictionary file;
        bool written;
    } rows[] = {
        {"an unknown value gives way", {{"/zevure/a", 1}, {"junk", many}}, true},
        {"the engine's own values stay", {{"/zevure/a", 1}, {"/zevure/many", many}}, false},
    };
    const std::string path = MSRSDKPlistPath("config");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        foundation::setStoredFileBound("config", {{1000, 1 << 20}, {"/zevure/*"}});
        fs::create_directories(fs::path(path).parent_path());
        fs::remove(path + ".damaged");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << *foundation::propertyListXml(Value(row.file));
        console_.clear();
        {
            auto dictionary = MSRPersistentDictionary::create("config");
            ASSERT_TRUE(dictionary);
            EXPECT_EQ(dictionary->objectForKey("/zevure/a"), Value(1));  // read whole
            dictionary->setObject(change, "/zevure/b");
            executor_.advanceBy(1.0);
        }
        Value::Dictionary expected = row.file;
        if (row.written) {
            expected.erase("junk");
            expected["/zevure/b"] = change;
            EXPECT_EQ(roomOnDisk(path + ".damaged"), Value(Value::Dictionary{{"junk", many}}));
        } else {
            EXPECT_FALSE(fs::exists(path + ".damaged"));
        }
        EXPECT_EQ(roomOnDisk(path), Value(expected));
        EXPECT_EQ(console_.logged(43008), row.written);
        EXPECT_EQ(console_.logged(43007), !row.written);
    }
}

}  // namespace
