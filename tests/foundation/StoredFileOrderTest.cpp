// One order decides what of a file stays past its bound: the user's values
// in their order, then the owner's keys with each family within its share,
// then foreign keys, the largest giving way first. The same order holds for
// the choice on its own, for a change that makes room, and for a salvage of
// either form whose foreign values come first in the file, however far
// within the salvage's reach.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/DataLoss.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/StoredFileRoom.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace {

namespace fs = std::filesystem;
using foundation::PropertyListBounds;
using foundation::PropertyListEntry;
using foundation::StoredFileBound;
using foundation::Value;

// Consent and history are the user's, in that order; "own" and the family
// "fam*" (at most 10 values and 1,000 bytes) are the owner's.
StoredFileBound orderBound(PropertyListBounds bounds = {1000, 64 << 10}) {
    return {bounds, {"consent", "history", "own", "fam*"}, {"consent", "history"}, {{"fam*", {10, 1000}}}};
}

std::vector<std::string> keysOf(const std::vector<PropertyListEntry>& entries, const std::vector<size_t>& at) {
    std::vector<std::string> keys;
    for (size_t i : at) keys.push_back(entries[i].key);
    return keys;
}

TEST(StoredFileOrder, WhatStaysFollowsTheBoundsOrder) {
    const struct {
        const char* name;
        std::vector<PropertyListEntry> entries;
        PropertyListBounds room;
        std::vector<std::string> kept, giving;
        std::string part;  // the user's value that keeps its leading items
    } rows[] = {
        {"foreign values give way, the largest first",
         {{"a", {2, 500}}, {"b", {2, 300}}, {"consent", {2, 20}}, {"own", {2, 20}}, {"c", {2, 100}}},
         {100, 500},
         {"consent", "own", "c", "b"},
         {"a"},
         ""},
        {"the user's values before the owner's, the owner's before foreign ones",
         {{"a", {2, 100}}, {"own", {2, 100}}, {"history", {2, 100}}, {"consent", {2, 100}}},
         {100, 300},
         {"consent", "history", "own"},
         {"a"},
         ""},
        {"a family keeps within its share, its largest giving way",
         {{"fam1", {2, 600}}, {"fam2", {2, 300}}, {"fam3", {2, 300}}, {"consent", {2, 20}}},
         {100, 10'000},
         {"consent", "fam2", "fam3"},
         {"fam1"},
         ""},
        {"the user's values alone past the room: the history keeps its leading items",
         {{"history", {50, 5000}}, {"own", {2, 20}}, {"consent", {2, 20}}, {"z", {2, 10}}},
         {100, 1000},
         {"consent"},
         {"own", "z"},
         "history"},
        {"a history of unknown size is the part too",
         {{"history", {0, 0}, false}, {"consent", {2, 20}}},
         {100, 1000},
         {"consent"},
         {},
         "history"},
        {"everything fits", {{"a", {2, 10}}, {"consent", {2, 20}}}, {100, 1000}, {"consent", "a"}, {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto choice = foundation::chooseStoredFileEntries(row.entries, row.room, orderBound());
        EXPECT_EQ(keysOf(row.entries, choice.kept), row.kept);
        EXPECT_EQ(keysOf(row.entries, choice.giving), row.giving);
        EXPECT_EQ(choice.part ? row.entries[*choice.part].key : std::string(), row.part);
    }
}

// What the table states of each key decides where its value stands: a flag
// "consent" (at most 2 values and 100 bytes), a list "history" (20 values,
// 2,000 bytes), a counter "own".
TEST(StoredFileOrder, AValueStandsOnlyWithItsKeysTypeAndBound) {
    using Type = Value::Type;
    const StoredFileBound typed{{1000, 64 << 10},
                                {{"consent", Type::Bool, {2, 100}},
                                 {"history", Type::List, {20, 2000}, Type::Dictionary},
                                 {"own", Type::Integer, {2, 100}}},
                                {"consent", "history"}};
    const struct {
        const char* name;
        std::vector<PropertyListEntry> entries;
        PropertyListBounds room;
        std::vector<std::string> kept, giving;
        PropertyListBounds partRoom;  // what the history keeps of its leading items; {0, 0}: no part
    } rows[] = {
        {"a consent of another type stands as a foreign value",
         {{"consent", {2, 350}, true, Type::List}, {"a", {2, 300}, true, Type::Bool}, {"own", {2, 20}, true, Type::Integer}},
         {100, 400},
         {"own", "a"},
         {"consent"},
         {0, 0}},
        {"a consent past its bound, or damaged, gives way",
         {{"consent", {2, 200}, true, Type::Bool}, {"own", {2, 20}, true, Type::Integer}},
         {100, 210},
         {"own"},
         {"consent"},
         {0, 0}},
        {"a damaged flag is no part",
         {{"consent", {0, 0}, false, Type::Bool}, {"own", {2, 20}, true, Type::Integer}},
         {100, 1000},
         {"own"},
         {"consent"},
         {0, 0}},
        {"the history past its bound keeps its own bound, the owner's keys the rest",
         {{"history", {50, 5000}, true, Type::List}, {"own", {2, 20}, true, Type::Integer},
          {"consent", {2, 20}, true, Type::Bool}},
         {100, 3000},
         {"consent", "own"},
         {},
         {20, 2000}},
        {"a damaged history keeps no more than its bound",
         {{"history", {0, 0}, false, Type::List}, {"own", {2, 20}, true, Type::Integer}},
         {100, 10'000},
         {"own"},
         {},
         {20, 2000}},
        {"a history that is no list gives way whole",
         {{"history", {2, 50}, true, Type::String}, {"own", {2, 20}, true, Type::Integer}},
         {3, 1000},
         {"own"},
         {"history"},
         {0, 0}},
        {"a key met again stands as foreign",
         {{"consent", {2, 20}, true, Type::Bool}, {"own", {2, 20}, true, Type::Integer},
          {"consent", {2, 10}, true, Type::Bool}},
         {4, 1000},
         {"consent", "own"},
         {"consent"},
         {0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto choice = foundation::chooseStoredFileEntries(row.entries, row.room, typed);
        EXPECT_EQ(keysOf(row.entries, choice.kept), row.kept);
        EXPECT_EQ(keysOf(row.entries, choice.giving), row.giving);
        EXPECT_EQ(choice.part.has_value(), row.partRoom.values > 0);
        EXPECT_EQ(choice.partRoom.values, row.partRoom.values);
        EXPECT_EQ(choice.partRoom.bytes, row.partRoom.bytes);
    }
}

class StoredFileOrderFilesTest : public PreferenceFolderTest {
  protected:
    void SetUp() override { foundation::DataLoss::resetForTesting(); }
    void TearDown() override {
        foundation::resetStoredFileBounds();
        foundation::DataLoss::resetForTesting();
    }
};

// A change at the bound: what stands below it and what passes its family's
// share give way (kept aside); what stands as high stays, and the change is
// then refused and noted as lost for the process's exit.
TEST_F(StoredFileOrderFilesTest, AChangeMakesRoomOnlyBelowItself) {
    const auto texts = [](size_t count, size_t length) { return Value::List(count, Value(std::string(length, 'x'))); };
    const struct {
        const char* name;
        Value::Dictionary file;
        std::string key;  // what changes, to 30 texts of 1,000 bytes
        bool stored;
        std::vector<std::string> givenWay;
    } rows[] = {
        {"a family past its share gives way to the history",
         {{"consent", true}, {"fam1", texts(40, 1000)}, {"fam2", Value(std::string(100, 'f'))}},
         "history",
         true,
         {"fam1"}},
        {"the owner's key gives way to the user's", {{"consent", true}, {"own", texts(40, 1000)}}, "history", true,
         {"own"}},
        {"the user's value stays for the owner's change", {{"consent", true}, {"history", texts(40, 1000)}}, "own",
         false, {}},
        {"a foreign change displaces no owner's key", {{"consent", true}, {"own", texts(40, 1000)}}, "junk", false,
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir_);
        foundation::DataLoss::resetForTesting();
        foundation::setStoredFileBound("app", orderBound());
        write(*foundation::propertyListXml(Value(row.file)));
        const Value change(texts(30, 1000));
        EXPECT_EQ(reopen().set(row.key, change), row.stored);
        auto again = reopen();
        EXPECT_EQ(again.boolValue("consent"), true);
        EXPECT_EQ(again.object(row.key), row.stored ? change : row.file.count(row.key) ? row.file.at(row.key) : Value());
        for (const auto& key : row.givenWay) EXPECT_TRUE(again.object(key).isAbsent()) << key;
        EXPECT_EQ(asideCopies(), row.givenWay.empty() ? 0u : 1u);
        // A change that is not stored is noted for the exit.
        const auto lost = foundation::DataLoss::describe();
        EXPECT_EQ(lost.has_value(), !row.stored);
        if (lost) {
            EXPECT_NE(lost->find("changes past its bound"), std::string::npos) << *lost;
        }
    }
}

// A file past its bound whose foreign values come first, in both forms:
// the consent and the newest of the history stay, whatever their place.
TEST_F(StoredFileOrderFilesTest, ASalvageKeepsTheUsersValuesWhateverComesFirst) {
    // 200 foreign keys sort first; the history of 300 numbers passes what is
    // left when the bound is 400 values.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    std::vector<std::string> keys;
    for (int i = 0; i < 200; ++i) keys.push_back("A" + std::to_string(1000 + i));
    for (const auto& key : keys) xml += "<key>" + key + "</key><true/>";
    xml += "<key>consent</key><true/><key>history</key><array>";
    for (int i = 0; i < 300; ++i) xml += "<integer>" + std::to_string(i) + "</integer>";
    xml += "</array></dict></plist>";

    keys.push_back("consent");
    keys.push_back("history");
    const uint64_t trueObject = 1 + keys.size(), list = trueObject + 1, numbers = list + 1;
    std::vector<uint64_t> refs;
    for (uint64_t i = 0; i < keys.size(); ++i) refs.push_back(1 + i);
    for (int i = 0; i < 201; ++i) refs.push_back(trueObject);
    refs.push_back(list);
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 2)};
    for (const auto& key : keys) objects.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    objects.push_back("\x09");
    std::vector<uint64_t> items;
    for (int i = 0; i < 300; ++i) items.push_back(numbers + i);
    objects.push_back(binaryPropertyListMarker(0xA, 300) + binaryPropertyListRefs(items, 2));
    for (int i = 0; i < 300; ++i) objects.push_back(std::string("\x11") + char(i >> 8) + char(i & 0xFF));

    for (const std::string& file : {xml, binaryPropertyListFile(objects, 2)}) {
        SCOPED_TRACE(file.substr(0, 8));
        fs::remove_all(dir_);
        foundation::setStoredFileBound("app", orderBound({400, 64 << 10}));
        write(file);
        const Value::Dictionary kept = reopen().dictionaryRepresentation();
        ASSERT_EQ(kept.count("consent"), 1u);
        EXPECT_EQ(kept.at("consent"), Value(true));
        // Within half the bound: the newest (leading) numbers, in order.
        ASSERT_EQ(kept.count("history"), 1u);
        const Value::List* history = kept.at("history").list();
        ASSERT_TRUE(history);
        EXPECT_GT(history->size(), 150u);
        for (size_t i = 0; i < history->size(); ++i) EXPECT_EQ((*history)[i], Value(int64_t(i)));
        // Nothing foreign stays beside a history cut short.
        EXPECT_EQ(kept.size(), 2u);
        EXPECT_EQ(asideCopies(), 1u);
    }
}

// A binary file's keys: the top dictionary's entries in order, each key its
// own object, every value the one true object.
std::string binaryTrueEntries(const std::vector<std::string>& keys) {
    std::vector<uint64_t> refs;
    for (uint64_t i = 0; i < keys.size(); ++i) refs.push_back(1 + i);
    refs.insert(refs.end(), keys.size(), 1 + keys.size());
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 4)};
    for (const auto& key : keys) objects.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    objects.push_back("\x09");
    return binaryPropertyListFile(objects, 4);
}

// Past what a salvage may walk of a binary file (four times its bound) the
// consent is still found, up to sixteen times the bound's values of entries
// in; there the salvage's reach ends.
TEST_F(StoredFileOrderFilesTest, ABinarySalvageReachesTheUsersValuesPastItsWork) {
    constexpr uint64_t kValues = 64, kReach = foundation::kPropertyListSalvageReach * kValues;
    const struct {
        const char* name;
        uint64_t foreign;  // entries before the consent
        bool kept;
    } rows[] = {
        {"past the salvage's work", 5 * kValues, true},
        {"the last entry within reach", kReach - 1, true},
        {"the first entry past reach", kReach, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir_);
        foundation::setStoredFileBound("app", orderBound({kValues, 64 << 10}));
        std::vector<std::string> keys;
        for (uint64_t i = 0; i < row.foreign; ++i) keys.push_back("A" + std::to_string(100000 + i));
        keys.push_back("consent");
        keys.push_back("own");
        write(binaryTrueEntries(keys));
        const Value::Dictionary kept = reopen().dictionaryRepresentation();
        EXPECT_EQ(kept.count("consent"), row.kept ? 1u : 0u);
        // The owner's key, just after the consent, within reach or not.
        EXPECT_EQ(kept.count("own"), row.foreign + 1 < kReach ? 1u : 0u);
        EXPECT_EQ(asideCopies(), 1u);
    }
}

// An XML file read in part (the first bytes of its bound): the user's values
// and the owner's keys after that part are found in the rest of the file,
// past values larger than the part itself, within the salvage's reach.
TEST_F(StoredFileOrderFilesTest, AnXmlSalvageReachesTheUsersValuesPastThePartRead) {
    constexpr uint64_t kBytes = 4096, kReach = foundation::kPropertyListSalvageReach * kBytes;
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    const auto foreign = [](uint64_t bytes) {
        std::string entries;
        for (int i = 0; entries.size() < bytes; ++i)
            entries += "<key>A" + std::to_string(100000 + i) + "</key><string>" + std::string(100, 'f') + "</string>";
        return entries;
    };
    std::string history = "<key>history</key><array>";
    for (int i = 0; i < 500; ++i) history += "<integer>" + std::to_string(i) + "</integer>";
    history += "</array>";
    const std::string user = "<key>c&#x6F;nsent</key><true/><key>own</key><string>o</string>" + history;
    const struct {
        const char* name;
        std::string file;
        bool kept;
    } rows[] = {
        {"after foreign values", head + foreign(2 * kBytes) + user + "</dict></plist>", true},
        {"after a value larger than the part read",
         head + "<key>A</key><string>" + std::string(3 * kBytes, 'x') + "</string>" + user + "</dict></plist>", true},
        {"in a file cut short", head + foreign(2 * kBytes) + user.substr(0, user.size() - 100), true},
        {"within reach", head + foreign(kReach - 2 * kBytes) + user + "</dict></plist>", true},
        {"past reach", head + foreign(kReach + kBytes) + user + "</dict></plist>", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::ofstream(live(), std::ios::binary) << row.file;
        const StoredFileBound bound = orderBound({1000, kBytes});
        foundation::StoredFileScope scope(bound);
        const Value::Dictionary kept =
            foundation::salvagePropertyListFile(live(), foundation::storedFileSalvagePlan(bound));
        ASSERT_EQ(kept.count("consent"), row.kept ? 1u : 0u);
        if (!row.kept) continue;
        EXPECT_EQ(kept.at("consent"), Value(true));
        // The history passes what is left: its newest (leading) numbers, in
        // order, and the owner's key gives way to it.
        ASSERT_EQ(kept.count("history"), 1u);
        const Value::List* numbers = kept.at("history").list();
        ASSERT_TRUE(numbers);
        EXPECT_GT(numbers->size(), 20u);
        EXPECT_LT(numbers->size(), 500u);
        for (size_t i = 0; i < numbers->size(); ++i) EXPECT_EQ((*numbers)[i], Value(int64_t(i)));
        for (const auto& [key, value] : kept) EXPECT_NE(key[0], 'A') << key;
    }
}

}  // namespace
