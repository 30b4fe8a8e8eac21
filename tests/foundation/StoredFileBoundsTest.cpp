// A file held to what its owner writes there: read within that bound, and
// when a change would pass it, the values under keys the owner does not
// write give way (kept aside, largest first) before the change is refused.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;
using foundation::UserDefaults;
using foundation::Value;

namespace {

// `count` texts of `length` bytes.
Value boundsTexts(size_t count, size_t length) {
    return Value::List(count, Value(std::string(length, 'x')));
}

struct GiveWayRow {
    const char* name;
    std::vector<foundation::StoredKey> known;     // the owner's keys; empty: every key
    Value::Dictionary file;              // what the file holds before the change
    Value change;                        // stored under "history"
    bool stored;                         // the change is stored
    std::vector<std::string> givenWay;   // keys kept aside, gone from the file
};

class StoredFileBoundsTest : public TempFolderTest {
protected:
    void TearDown() override { foundation::resetStoredFileBounds(); }

    UserDefaults reopen() { return UserDefaults(std::make_shared<foundation::PreferencesStore>(dir_), "owned"); }
    // The copies kept aside, read back.
    std::vector<Value> asideCopies() const {
        std::vector<Value> out;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("owned.plist.damaged", 0) != 0) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (auto value = foundation::parsePropertyList(bytes)) out.push_back(*value);
        }
        return out;
    }

    const fs::path dir_ = root_ / "Library" / "Preferences";
};

TEST_F(StoredFileBoundsTest, UnknownValuesGiveWayBeforeAChangeIsRefused) {
    // 64 KiB and 1,000 values: each file below starts within it.
    const foundation::PropertyListBounds bound{1000, 64 << 10};
    const std::vector<foundation::StoredKey> owner{"history", "consent", "/zevure/*"};
    const GiveWayRow rows[] = {
        {"the largest unknown value goes", owner,
         {{"consent", true}, {"junk", boundsTexts(40, 1000)}, {"small junk", 1}, {"/zevure/x", 1}},
         boundsTexts(30, 1000), true, {"junk"}},
        {"as many as the change needs, largest first", owner,
         {{"consent", true}, {"a", boundsTexts(20, 1000)}, {"b", boundsTexts(15, 1000)}, {"c", boundsTexts(10, 1000)}},
         boundsTexts(40, 1000), true, {"a", "b"}},
        {"values past the bound go too", owner,
         {{"consent", true}, {"many", boundsTexts(900, 1)}}, boundsTexts(200, 1), true, {"many"}},
        {"no unknown value to give way", owner,
         {{"consent", true}, {"/zevure/big", boundsTexts(40, 1000)}}, boundsTexts(30, 1000), false, {}},
        {"unknown values that cannot make the room stay", owner,
         {{"consent", true}, {"junk", boundsTexts(5, 1000)}, {"/zevure/big", boundsTexts(40, 1000)}},
         boundsTexts(30, 1000), false, {}},
        {"an owner who names no keys keeps them all", {},
         {{"consent", true}, {"junk", boundsTexts(40, 1000)}}, boundsTexts(30, 1000), false, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        foundation::setStoredFileBound("owned", {bound, row.known});
        {
            auto xml = foundation::propertyListXml(Value(row.file));
            ASSERT_TRUE(xml);
            std::ofstream(dir_ / "owned.plist", std::ios::binary) << *xml;
        }
        {
            auto defaults = reopen();
            ASSERT_EQ(defaults.dictionaryRepresentation(), row.file);  // read whole: within the bound
            EXPECT_EQ(defaults.set("history", row.change), row.stored);
        }
        auto again = reopen();
        EXPECT_EQ(again.object("history"), row.stored ? row.change : Value());
        EXPECT_EQ(again.boolValue("consent"), true);
        Value::Dictionary given;
        for (const auto& key : row.givenWay) {
            EXPECT_TRUE(again.object(key).isAbsent()) << key;
            given.emplace(key, row.file.at(key));
        }
        for (const auto& [key, value] : row.file) {
            if (!given.count(key)) {
                EXPECT_EQ(again.object(key), value) << key;
            }
        }
        const auto aside = asideCopies();
        if (given.empty()) {
            EXPECT_TRUE(aside.empty());
        } else {
            ASSERT_EQ(aside.size(), 1u);
            EXPECT_EQ(aside.front(), Value(given));
        }
    }
}

// The bound is the file's, not the readers': a file past it is set aside
// and what fits is kept, a list within half of it; one within it is read whole; a domain with no
// stated bound is read within the property-list bounds; the standard domain
// takes its bound from its stand-in name.
TEST_F(StoredFileBoundsTest, AFileIsReadWithinItsOwnersBound) {
    const Value::Dictionary file{
        {"consent", true}, {"history", Value::List(100, 7)}, {"junk", boundsTexts(3000, 1)}};
    const struct {
        const char* name;
        std::string domain;
        std::string stated;  // where the bound is stated; empty: nowhere
        bool whole;
    } rows[] = {
        {"past its bound", "owned", "owned", false},
        {"no bound stated", "owned", "", true},
        {"another domain's bound", "owned", "other", true},
        {"the standard domain", UserDefaults::standardDomainName(), foundation::kStandardDomainBoundName, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        foundation::resetStoredFileBounds();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        if (row.name != std::string("no bound stated"))
            foundation::setStoredFileBound(row.stated, {{1000, 64 << 10}, {}});
        std::ofstream(dir_ / (row.domain + ".plist"), std::ios::binary) << *foundation::propertyListXml(Value(file));
        UserDefaults defaults(std::make_shared<foundation::PreferencesStore>(dir_), row.domain);
        EXPECT_EQ(defaults.boolValue("consent"), true);
        EXPECT_EQ(defaults.dictionaryRepresentation() == file, row.whole);
        EXPECT_EQ(fs::exists(dir_ / (row.domain + ".plist.damaged")), !row.whole);
        if (!row.whole) {
            EXPECT_LE(defaults.array("junk").value_or(Value::List{}).size(), 1000u);
            // A list is kept as the readers' bounds would keep it (a whole
            // history), not a sixteenth of the file's bound.
            EXPECT_EQ(defaults.object("history"), file.at("history"));
        }
    }
}

}  // namespace
