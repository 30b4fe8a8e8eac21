// What the readers and the salvage do, counted rather than timed: a file past
// the bounds is walked and not built, a character reference is decoded in
// one look at its bytes, a reference cycle costs the entry closing it, a salvage
// walks a shared object once and works within one budget it never gets back,
// a binary file past the read bound is salvaged through its trailer, and the
// copies set aside stay three.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace fs = std::filesystem;
using foundation::PropertyListReadCount;
using foundation::PropertyListRefusal;
using foundation::Value;

namespace {

std::string salvageRepeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

const std::string kSalvageXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";

// A list of `items` references to one true: items + 1 values.
std::string salvageSharedTrues(uint64_t items) {
    return binaryPropertyListFile(
        {binaryPropertyListMarker(0xA, items) + binaryPropertyListRefs(std::vector<uint64_t>(items, 1), 2), "\x09"},
        2);
}

// A root dictionary of the `keys` in order, each with the value object
// `values[i]` of `objects` (numbered from 1 + keys.size()).
std::string salvageDictionary(const std::vector<std::string>& keys, const std::vector<uint64_t>& values,
                              const std::vector<std::string>& objects) {
    std::vector<uint64_t> refs;
    for (size_t i = 0; i < keys.size(); ++i) refs.push_back(1 + i);
    refs.insert(refs.end(), values.begin(), values.end());
    std::vector<std::string> all{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 4)};
    for (const auto& key : keys) all.push_back(binaryPropertyListMarker(0x5, key.size()) + key);
    all.insert(all.end(), objects.begin(), objects.end());
    return binaryPropertyListFile(all, 4);
}

struct SalvageCounted {
    PropertyListReadCount before = foundation::propertyListReadCountForTesting();
    PropertyListReadCount since() const {
        const PropertyListReadCount now = foundation::propertyListReadCountForTesting();
        return {now.valuesBuilt - before.valuesBuilt, now.bytesWalked - before.bytesWalked,
                now.textBytesScanned - before.textBytesScanned};
    }
};

}  // namespace

// A file past the bounds costs its walk: nothing of it is built. One within
// them is built once, each value counted.
TEST(PropertyListReadCount, AFilePastTheBoundsIsWalkedNotBuilt) {
    const foundation::PropertyListBoundsForTesting small({1000, 1 << 20});
    const struct {
        const char* name;
        std::function<std::string()> bytes;
        uint64_t built;  // 0: refused
    } rows[] = {
        {"XML at the values bound", [] { return kSalvageXmlHead + "<array>" + salvageRepeat("<true/>", 999) + "</array></plist>"; },
         1000},
        {"XML one past",
         [] { return kSalvageXmlHead + "<array>" + salvageRepeat("<true/>", 1000) + "</array></plist>"; }, 0},
        {"XML behind a DOCTYPE whose quoted identifier opens a comment",
         [] {
             return "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"<!--\" \"<![CDATA[\"><plist><array>" +
                    salvageRepeat("<true/>", 8000) + "</array></plist>";
         },
         0},
        {"binary at the values bound", [] { return salvageSharedTrues(999); }, 1000},
        {"binary one past", [] { return salvageSharedTrues(1000); }, 0},
        {"binary references to one string past the bytes",
         [] {
             return binaryPropertyListFile(
                 {binaryPropertyListMarker(0xA, 100) + binaryPropertyListRefs(std::vector<uint64_t>(100, 1), 2),
                  binaryPropertyListMarker(0x5, 20'000) + std::string(20'000, 'x')},
                 2);
         },
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string bytes = row.bytes();
        const SalvageCounted counted;
        PropertyListRefusal refusal;
        const auto value = foundation::parsePropertyList(bytes, &refusal);
        EXPECT_EQ(value.has_value(), row.built != 0) << refusal.why;
        EXPECT_EQ(counted.since().valuesBuilt, row.built);
        EXPECT_GT(counted.since().bytesWalked, 0u);
        if (!value) {
            EXPECT_TRUE(refusal.pastBounds) << refusal.why;
        }
    }
}

// Each byte of a text is looked at once in each of the reader's two passes,
// however many references it holds.
TEST(PropertyListReadCount, CharacterReferencesAreDecodedInOneLookAtEachByte) {
    for (const std::string piece : {"&amp;&lt;&#x41;", "&#65;&#x1F600;", "ab&gt;"}) {
        for (const size_t times : {1000, 200'000}) {
            SCOPED_TRACE(piece + " x " + std::to_string(times));
            const std::string text = salvageRepeat(piece, times);
            const SalvageCounted counted;
            const auto value = foundation::parsePropertyList(kSalvageXmlHead + "<string>" + text + "</string></plist>");
            ASSERT_TRUE(value && value->string());
            EXPECT_LE(counted.since().textBytesScanned, 2 * (text.size() + 1));
            EXPECT_GT(counted.since().textBytesScanned, 0u);
        }
    }
}

// A reference that closes a cycle costs the entry holding it, at any length
// and through a dictionary, never the file, and is never left to the
// nesting bound (which would call it a file past the bounds).
TEST(PropertyListReadCount, AReferenceCycleCostsTheEntryThatClosesIt) {
    const struct {
        const char* name;
        std::vector<std::string> objects;
        Value read;
    } rows[] = {
        {"a list holding itself",
         {binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({0}, 1)},
         Value(Value::List{})},
        {"three lists in a ring",
         {binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({1}, 1),
          binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({2}, 1),
          binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({0}, 1)},
         Value(Value::List{Value(Value::List{Value(Value::List{})})})},
        {"a dictionary whose value is its list's parent",
         {binaryPropertyListMarker(0xD, 1) + binaryPropertyListRefs({1, 2}, 1),
          binaryPropertyListMarker(0x5, 1) + "k",
          binaryPropertyListMarker(0xA, 2) + binaryPropertyListRefs({3, 0}, 1), "\x09"},
         Value(Value::Dictionary{{"k", Value(Value::List{true})}})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PropertyListRefusal refusal;
        EXPECT_EQ(foundation::parsePropertyList(binaryPropertyListFile(row.objects, 1), &refusal), row.read);
        EXPECT_FALSE(refusal.pastBounds);
    }
    // Salvaged: of the list on the cycle, the items before it; the other
    // entries stay.
    const std::string file = salvageDictionary(
        {"loop", "consent"}, {3, 4},
        {binaryPropertyListMarker(0xA, 2) + binaryPropertyListRefs({4, 0}, 4), "\x09"});
    const Value::Dictionary kept = foundation::salvagePropertyListDictionary(file);
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_EQ(Value(kept)["consent"].boolValue(), true);
    EXPECT_EQ(Value(kept)["loop"], Value(Value::List{true}));
}

// The salvage walks an object that did not fit once, however many entries
// refer to it, and its walks together stay within one budget that a refused
// entry does not give back: four times the bounds (each entry is walked to
// size it, then what stays is built), whatever the file holds; what is
// built on top stays within half the bounds.
TEST(PropertyListReadCount, ASalvageWalksWithinOneBudget) {
    const foundation::PropertyListBoundsForTesting small({10'000, 1 << 20});
    const uint64_t workBytes = 4 << 20;
    const struct {
        const char* name;
        std::function<std::string()> bytes;
        uint64_t kept;  // entries kept, the consent among them
        uint64_t walkedAtMost;
    } rows[] = {
        // 1,000 entries refer to one string of 200 KiB of '&', 1 MiB once
        // escaped: more than half the bytes. Walked once: the consent after
        // them stays.
        {"a shared string past the share, then the consent",
         [] {
             std::vector<std::string> keys;
             std::vector<uint64_t> values;
             for (int i = 0; i < 1000; ++i) {
                 keys.push_back("e" + std::to_string(i));
                 values.push_back(1002);
             }
             keys.push_back("consent");
             values.push_back(1003);
             return salvageDictionary(keys, values,
                                      {binaryPropertyListMarker(0x5, 200 << 10) + std::string(200 << 10, '&'), "\x09"});
         },
         1, 3 * 5 * (200 << 10)},
        // The consent, then 200 lists of 600 references each to one string
        // of 1 KiB: each list passes the bytes share after half a megabyte
        // of walk, which the next does not get back.
        {"the consent, then lists each past the share",
         [] {
             std::vector<std::string> keys{"consent"};
             std::vector<uint64_t> values{202};
             std::vector<std::string> objects;
             for (int i = 0; i < 200; ++i) {
                 keys.push_back("l" + std::to_string(i));
                 values.push_back(203 + i);
             }
             objects.push_back("\x09");
             for (int i = 0; i < 200; ++i)
                 objects.push_back(binaryPropertyListMarker(0xA, 600) +
                                   binaryPropertyListRefs(std::vector<uint64_t>(600, 403), 4));
             objects.push_back(binaryPropertyListMarker(0x5, 1024) + std::string(1024, 'x'));
             return salvageDictionary(keys, values, objects);
         },
         0, 2 * workBytes + (1 << 19)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = row.bytes();
        const SalvageCounted counted;
        const Value::Dictionary kept = foundation::salvagePropertyListDictionary(file);
        EXPECT_EQ(Value(kept)["consent"].boolValue(), true);
        if (row.kept) {
            EXPECT_EQ(kept.size(), row.kept);
        }
        EXPECT_LE(counted.since().bytesWalked, row.walkedAtMost);
        std::printf("%s: %llu bytes walked, %zu entries kept\n", row.name,
                    static_cast<unsigned long long>(counted.since().bytesWalked), kept.size());
    }
}

class PropertyListSalvageFilesTest : public PreferenceFolderTest {};

// A binary file of 64 MiB + 1 byte whose padding comes first and whose
// consent and history lie past its first 64 MiB, with its trailer: kept.
TEST_F(PropertyListSalvageFilesTest, ABinaryFilePastTheReadBoundIsSalvagedThroughItsTrailer) {
    const std::vector<std::string> keys{"pad", "consent", "history"};
    auto file = [&](uint64_t padLength) {
        return salvageDictionary(keys, {4, 5, 6},
                                 {binaryPropertyListMarker(0x4, padLength) + std::string(padLength, 'p'), "\x09",
                                  binaryPropertyListMarker(0xA, 2) + binaryPropertyListRefs({7, 7}, 4),
                                  binaryPropertyListMarker(0x5, 6) + "record"});
    };
    const uint64_t target = (uint64_t{64} << 20) + 1;
    const uint64_t padLength = target - (file(100).size() - 100);
    const std::string bytes = file(padLength);
    ASSERT_EQ(bytes.size(), target);
    write(bytes);
    {
        auto defaults = reopen();
        EXPECT_EQ(defaults.boolValue("consent"), true);
        EXPECT_EQ(defaults.array("history"), (Value::List{Value(std::string("record")), Value(std::string("record"))}));
        EXPECT_TRUE(defaults.set("change", 1));
    }
    auto again = reopen();
    EXPECT_EQ(again.boolValue("consent"), true);
    EXPECT_EQ(again.integer("change"), 1);
    // The file itself is kept beside, whole.
    EXPECT_EQ(fs::file_size(dir_ / "app.plist.damaged"), target);
}

// The file salvaged stays where it is until what is kept of it is written:
// the copy beside it is the same file, and the live name goes over to the
// salvaged values in one rename.
TEST_F(PropertyListSalvageFilesTest, TheSalvagedFileIsKeptInPlaceUntilItsReplacementIsWritten) {
    const std::string damaged = kSalvageXmlHead + "<dict><key>consent</key><true/><key>cut</key><array><true/>";
    write(damaged);
    const auto inode = [](const fs::path& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    const auto before = inode(live());
    EXPECT_EQ(reopen().boolValue("consent"), true);
    EXPECT_EQ(inode(dir_ / "app.plist.damaged"), before);
    EXPECT_NE(inode(live()), before);
    std::ifstream in(dir_ / "app.plist.damaged", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
}

// Six files set aside, by either road: the newest three stay.
TEST_F(PropertyListSalvageFilesTest, SetAsideCopiesStayThree) {
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "kept in place" : "moved");
        fs::remove_all(dir_);
        for (int i = 0; i < 6; ++i) {
            fs::remove(live());
            write("damaged " + std::to_string(i));
            ASSERT_TRUE(inPlace ? foundation::FileSystem::keepAsideInPlace(live())
                                : foundation::FileSystem::setAside(live()));
        }
        EXPECT_EQ(asideCopies(), 3u);
        for (const char* name : {"app.plist.damaged-3", "app.plist.damaged-4", "app.plist.damaged-5"})
            EXPECT_TRUE(fs::exists(dir_ / name)) << name;
        EXPECT_EQ(fs::exists(live()), inPlace);
    }
}
