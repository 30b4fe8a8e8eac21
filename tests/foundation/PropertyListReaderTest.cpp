// The readers charge what they build: a shared object once for every copy,
// the writer's encoded size, nesting before anything deeper is built; markup
// is skipped only where XML skips it. A file the reader takes can always be
// written back, and its set-aside copies stay few.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace fs = std::filesystem;
using foundation::PropertyListRefusal;
using foundation::Value;

namespace {

// A list of `items` references to one true: items + 1 values.
std::string readerSharedTrues(uint64_t items) {
    return binaryPropertyListFile(
        {binaryPropertyListMarker(0xA, items) + binaryPropertyListRefs(std::vector<uint64_t>(items, 1), 1),
         "\x09"},
        1);
}

// A dictionary {consent: true, flags: a list of `copies` references to one
// string of `length` bytes}.
std::string readerSharedStrings(uint64_t length, uint64_t copies) {
    return binaryPropertyListFile(
        {binaryPropertyListMarker(0xD, 2) + binaryPropertyListRefs({1, 2, 3, 4}, 2),
         binaryPropertyListMarker(0x5, 7) + "consent", binaryPropertyListMarker(0x5, 5) + "flags", "\x09",
         binaryPropertyListMarker(0xA, copies) + binaryPropertyListRefs(std::vector<uint64_t>(copies, 5), 2),
         binaryPropertyListMarker(0x5, length) + std::string(length, 'x')},
        2);
}

// `levels` lists, each the only item of the one before.
std::string readerNestedBinary(uint64_t levels) {
    std::vector<std::string> objects;
    for (uint64_t i = 0; i + 1 < levels; ++i)
        objects.push_back(binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({i + 1}, 4));
    objects.push_back(binaryPropertyListMarker(0xA, 0));
    return binaryPropertyListFile(objects, 4);
}

const std::string kReaderHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";

std::string readerRepeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

}  // namespace

TEST(PropertyListReader, ChargesWhatItBuildsAndSkipsOnlyWhatXmlSkips) {
    const struct {
        const char* name;
        std::function<std::string()> bytes;
        bool read;
        bool pastBounds;
        // Read within bounds made small (1,000 values and 1 MiB).
        bool small = false;
    } rows[] = {
        // 1 + 1,048,575 values: at the bound; one reference more passes it.
        {"binary values at the bound", [] { return readerSharedTrues(1048575); }, true, false},
        {"binary values one past", [] { return readerSharedTrues(1048576); }, false, true},
        // Each reference is a copy: 1,000 of 512 KiB are half a gigabyte.
        {"a shared string copied past the bytes", [] { return readerSharedStrings(512 << 10, 1000); }, false,
         true},
        {"a shared string within them", [] { return readerSharedStrings(512 << 10, 100); }, true, false},
        {"binary nesting at the bound", [] { return readerNestedBinary(512); }, true, false},
        {"binary nesting one past", [] { return readerNestedBinary(513); }, false, true},
        {"a reference cycle",
         [] {
             return binaryPropertyListFile(
                 {binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({1}, 1),
                  binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({0}, 1)},
                 1);
         },
         true, false},
        // A list of 1,000 references to a list of 1,000 references to a
        // list of 1,000 references closing a cycle: a billion entries left
        // out, each charged, where the lists built are a million.
        {"entries left out a billion times",
         [] {
             const auto refs = [](uint64_t to) {
                 return binaryPropertyListMarker(0xA, 1000) + binaryPropertyListRefs(std::vector<uint64_t>(1000, to), 2);
             };
             return binaryPropertyListFile({refs(1), refs(2), refs(0)}, 2);
         },
         false, true},
        // A trailer claiming ten million objects costs nothing it reaches.
        {"a trailer claiming more objects than are reached",
         [] {
             return binaryPropertyListFile(
                 {binaryPropertyListMarker(0xA, 1) + binaryPropertyListRefs({1}, 1), "\x09"}, 1, 10'000'000);
         },
         true, false},
        {"references decoded in one pass",
         [] {
             return kReaderHead + "<string>" + readerRepeat("&amp;&lt;&#x41;", 200'000) + "</string></plist>";
         },
         true, false},
        {"a comment opened in a quoted DOCTYPE identifier hides nothing",
         [] {
             return "<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"<!--\" \"<![CDATA[\">" +
                    std::string("<plist><array>") + readerRepeat("<true/>", 1000) + "</array></plist>";
         },
         false, true, true},
        {"nor in an attribute value",
         [] { return "<plist version=\"<!--\"><array>" + readerRepeat("<array>", 600) + "</array></plist>"; },
         false, true},
        {"an unterminated comment", [] { return kReaderHead + "<true/><!-- "; }, false, false},
        {"an unterminated CDATA section", [] { return kReaderHead + "<string><![CDATA[ x</string></plist>"; },
         false, false},
        // 210,000 '&' in CDATA are 1,050,000 bytes once the writer escapes them.
        {"CDATA the writer would write past the bytes",
         [] {
             return kReaderHead + "<string><![CDATA[" + std::string(210'000, '&') + "]]></string></plist>";
         },
         false, true, true},
        {"CDATA the writer writes within them",
         [] {
             return kReaderHead + "<string><![CDATA[" + std::string(200'000, '&') + "]]></string></plist>";
         },
         true, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string bytes = row.bytes();
        std::optional<foundation::PropertyListBoundsForTesting> small;
        if (row.small) small.emplace(foundation::PropertyListBounds{1000, 1 << 20});
        PropertyListRefusal refusal;
        const auto value = foundation::parsePropertyList(bytes, &refusal);
        EXPECT_EQ(value.has_value(), row.read) << refusal.why;
        EXPECT_EQ(refusal.pastBounds, row.pastBounds) << refusal.why;
        // What is read can be written back (tried where the writing is cheap
        // under the sanitizers: libplist builds a node for each value).
        if (value && foundation::propertyListSize(*value).bytes < (8u << 20)) {
            EXPECT_TRUE(foundation::propertyListXml(*value).has_value());
        }
    }
    // What the references decode to.
    auto decoded = foundation::parsePropertyList(kReaderHead + "<string>&amp;&lt;&#x41;&#233;<![CDATA[&]]></string>");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, Value("&<A\xC3\xA9&"));
}

// The size the readers charge is the writer's, to the byte.
TEST(PropertyListReader, TheChargeIsTheWritersSize) {
    Value deep = Value::List{Value::Bytes(200, 1), "a&<>b", 1.0 / 3};
    for (int i = 0; i < 12; ++i) deep = Value::List{deep, Value::Dictionary{}, Value::List{}};
    const Value values[] = {
        Value(Value::Dictionary{{"k&", Value::Bytes(1000, 2)}, {"n", int64_t{-9223372036854775807 - 1}}}),
        Value(Value::List{0.0, -0.0, 1e300, -2.5, 5e-324, 100.0, std::nan("")}),
        Value(Value::List{Value(foundation::Date{0}), true, false, Value::Bytes{}, ""}),
        deep,
    };
    for (const Value& value : values) {
        const auto xml = foundation::propertyListXml(value);
        ASSERT_TRUE(xml);
        EXPECT_EQ(foundation::propertyListSize(value).bytes, xml->size()) << *xml;
    }
}

class PropertyListReaderFilesTest : public PreferenceFolderTest {};

// A file the reader would take but the writer would refuse is past the
// bounds at once: what fits is kept and later changes are written.
TEST_F(PropertyListReaderFilesTest, WhatCouldNotBeWrittenBackIsSetAsideAndChangesAreStored) {
    const foundation::PropertyListBoundsForTesting small({1000, 64 << 10});
    write(kReaderHead + "<dict><key>consent</key><true/><key>big</key><string><![CDATA[" + std::string(20'000, '&') +
          "]]></string></dict></plist>");
    auto defaults = reopen();
    EXPECT_EQ(defaults.boolValue("consent"), true);
    EXPECT_TRUE(defaults.set("change", 1));
    EXPECT_EQ(reopen().integer("change"), 1);
    EXPECT_EQ(asideCopies(), 1u);
}

TEST_F(PropertyListReaderFilesTest, AFilePastTheReadBoundIsSalvagedFromItsHead) {
    // 64 MiB + 1 byte: the consent comes first, the padding after it.
    const std::string head = kReaderHead + "<dict><key>consent</key><true/><key>pad</key><string>";
    const std::string tail = "</string></dict></plist>";
    write(head + std::string((64 << 20) + 1 - head.size() - tail.size(), 'p') + tail);
    EXPECT_EQ(reopen().boolValue("consent"), true);
    EXPECT_EQ(reopen().boolValue("consent"), true);
}

TEST_F(PropertyListReaderFilesTest, SetAsideCopiesAreCapped) {
    for (int start = 0; start < 5; ++start) {
        write("damaged");
        (void)reopen().keys();
    }
    EXPECT_EQ(asideCopies(), foundation::FileSystem::kMaxAsideCopies);
    EXPECT_TRUE(fs::exists(dir_ / "app.plist.damaged-4"));
}

// A key met twice in an XML file read as it is (within its bounds, neither
// cut nor damaged): its first entry stands, as in the binary form, at any
// depth and whatever the second holds; the keys around it are read whole.
TEST_F(PropertyListReaderFilesTest, AKeyMetTwiceInXmlKeepsItsFirstEntry) {
    const struct {
        const char* name;
        std::string dict;  // the top dictionary's entries
        Value expected;
    } rows[] = {
        {"a flag met again", "<key>consent</key><true/><key>n</key><integer>1</integer><key>consent</key><false/>",
         Value(Value::Dictionary{{"consent", true}, {"n", 1}})},
        {"a second entry of another type",
         "<key>consent</key><true/><key>consent</key><string>no</string><key>n</key><integer>1</integer>",
         Value(Value::Dictionary{{"consent", true}, {"n", 1}})},
        {"a list met again, larger",
         "<key>history</key><array><integer>1</integer></array>"
         "<key>history</key><array><integer>2</integer><integer>3</integer></array>",
         Value(Value::Dictionary{{"history", Value::List{1}}})},
        {"inside a dictionary",
         "<key>record</key><dict><key>a</key><string>first</string><key>a</key><string>second</string></dict>",
         Value(Value::Dictionary{{"record", Value::Dictionary{{"a", "first"}}}})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string bytes = kReaderHead + "<dict>" + row.dict + "</dict></plist>";
        PropertyListRefusal refusal;
        const auto value = foundation::parsePropertyList(bytes, &refusal);
        ASSERT_TRUE(value) << refusal.why;
        EXPECT_EQ(value->jsonText(), row.expected.jsonText());
        // The preferences read it the same way, and set nothing aside.
        write(bytes);
        EXPECT_EQ(Value(reopen().dictionaryRepresentation()).jsonText(), row.expected.jsonText());
        EXPECT_EQ(asideCopies(), 0u);
    }
}
