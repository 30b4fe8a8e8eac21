// A property list is counted on its bytes before anything is built, and what
// the writer makes is exactly what the reader takes: a preferences file that
// grew past the bounds costs a start a few times its size, is set aside with
// what fits kept, and no write ever leaves a file the next start refuses.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/Sanitizer.h"

namespace fs = std::filesystem;
using foundation::PropertyListRefusal;
using foundation::Value;

namespace {

constexpr uint64_t kValues = foundation::kMaximumPropertyListValues;
constexpr size_t kBytes = foundation::kMaximumPropertyListBytes;
// A million values built one allocation each take the sanitizers minutes; the
// rows one past the bound, which never build them, run everywhere.
constexpr bool kBuildsAMillion = !kUnderAddressSanitizer;

const std::string kBoundsHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
const std::string kBoundsTail = "</plist>";

// A list of `items` trues: items + 1 values, 7 bytes an item.
std::string boundsTrues(uint64_t items) {
    std::string xml = kBoundsHead + "<array>";
    xml.reserve(xml.size() + items * 7 + 20);
    for (uint64_t i = 0; i < items; ++i) xml += "<true/>";
    return xml + "</array>" + kBoundsTail;
}

// `levels` lists, each inside the one before.
std::string boundsNested(int levels) {
    std::string xml = kBoundsHead;
    for (int i = 0; i < levels; ++i) xml += "<array>";
    for (int i = 0; i < levels; ++i) xml += "</array>";
    return xml + kBoundsTail;
}

// A dictionary of one key padded with a comment to exactly `size` bytes; the
// comment is skipped by both passes, so only the size counts.
std::string boundsPadded(size_t size) {
    const std::string body = "<dict><key>k</key><true/></dict><!--";
    const std::string end = "-->" + kBoundsTail;
    return kBoundsHead + body + std::string(size - kBoundsHead.size() - body.size() - end.size(), ' ') + end;
}

Value boundsNestedValue(int levels) {
    Value value = Value::List{};
    for (int i = 1; i < levels; ++i) value = Value::List{value};
    return value;
}

}  // namespace

TEST(PropertyListBounds, TheReaderCountsBeforeItBuildsAndStopsAtEachBound) {
    const struct {
        const char* name;
        std::string bytes;
        bool read;
    } rows[] = {
        {"values at the bound", kBuildsAMillion ? boundsTrues(kValues - 1) : "", true},
        {"one value past it", boundsTrues(kValues), false},
        {"nesting at the bound", boundsNested(foundation::kMaximumNestingDepth), true},
        {"one level past it", boundsNested(foundation::kMaximumNestingDepth + 1), false},
        {"bytes at the bound", boundsPadded(kBytes), true},
        {"one byte past it", boundsPadded(kBytes + 1), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.bytes.empty()) continue;
        PropertyListRefusal refusal;
        const bool read = foundation::parsePropertyList(row.bytes, &refusal).has_value();
        EXPECT_EQ(read, row.read) << refusal.why;
        EXPECT_EQ(refusal.pastBounds, !row.read) << refusal.why;
    }
    // Damage is told apart from size.
    PropertyListRefusal damaged;
    EXPECT_FALSE(foundation::parsePropertyList(boundsTrues(3).substr(0, 60), &damaged));
    EXPECT_FALSE(damaged.pastBounds);
}

// The writer refuses what its own reader would, at the same numbers: what it
// writes at a bound reads back.
TEST(PropertyListBounds, TheWriterWritesNothingItsReaderWouldRefuse) {
    // The values bound made small: the writer builds a node for each value.
    constexpr uint64_t kFewValues = 1000;
    const foundation::PropertyListBoundsForTesting few({kFewValues, kBytes});
    const size_t overhead = foundation::propertyListXml(Value::Dictionary{{"k", ""}})->size();
    const struct {
        const char* name;
        Value value;
        bool written;
    } rows[] = {
        {"values at the bound", Value::List(kFewValues - 1, true), true},
        {"one value past it", Value::List(kFewValues, true), false},
        {"nesting at the bound", boundsNestedValue(foundation::kMaximumNestingDepth), true},
        {"one level past it", boundsNestedValue(foundation::kMaximumNestingDepth + 1), false},
        {"bytes at the bound", Value::Dictionary{{"k", std::string(kBytes - overhead, 'x')}}, true},
        {"one byte past it", Value::Dictionary{{"k", std::string(kBytes - overhead + 1, 'x')}}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.value.isAbsent()) continue;
        PropertyListRefusal refusal;
        const auto xml = foundation::propertyListXml(row.value, &refusal);
        ASSERT_EQ(xml.has_value(), row.written) << refusal.why;
        EXPECT_EQ(refusal.pastBounds, !row.written);
        if (xml) {
            EXPECT_EQ(foundation::parsePropertyList(*xml), row.value);
        }
    }
    // The size a part of a file is kept within is never below what is written.
    const Value sample = Value::Dictionary{{"a&<>", Value::List{1.0 / 3, "x&y<z", Value::Bytes(100, 7), true}},
                                           {"n", int64_t{-1}}};
    const auto size = foundation::propertyListSize(sample);
    EXPECT_EQ(size.values, 9u);
    EXPECT_GE(size.bytes, foundation::propertyListXml(sample)->size());
}

class PreferencesBoundsTest : public TempFolderTest {
  protected:
    foundation::UserDefaults reopen() {
        return foundation::UserDefaults(std::make_shared<foundation::PreferencesStore>(dir_), "app");
    }
    std::string file() const {
        std::string bytes;
        foundation::FileSystem::readFile(dir_ / "app.plist", bytes);
        return bytes;
    }
    const fs::path dir_ = root_ / "Preferences";
};

// A file past the values bound is kept aside whole; the start goes on with
// its small values and the first items of its largest list, and writes a
// file the next start reads.
TEST_F(PreferencesBoundsTest, AFilePastTheBoundsIsSetAsideAndWhatFitsIsKept) {
    fs::create_directories(dir_);
    std::string big = boundsTrues(kValues);
    big.replace(big.find("<array>"), 7, "<dict><key>consent</key><true/><key>flags</key><array>");
    big.replace(big.rfind("</array>"), 8, "</array><key>name</key><string>kept</string></dict>");
    std::ofstream(dir_ / "app.plist", std::ios::binary) << big;

    testing::internal::CaptureStderr();
    auto defaults = reopen();
    EXPECT_EQ(defaults.boolValue("consent"), true);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("past the reader's bounds (more than 1048576 values)"), std::string::npos) << said;
    EXPECT_EQ(defaults.string("name"), "kept");
    EXPECT_EQ(defaults.array("flags")->size(), 65536u);

    std::string aside;
    ASSERT_TRUE(foundation::FileSystem::readFile(dir_ / "app.plist.damaged", aside));
    EXPECT_EQ(aside, big);
    EXPECT_EQ(reopen().keys(), (std::vector<std::string>{"consent", "flags", "name"}));
}

// A change that would take the file past the bounds is not made: the call
// says so, memory and file keep the old value, and later changes still go.
TEST_F(PreferencesBoundsTest, AChangeThatWouldPassTheBoundsIsRefusedAndTheFileStays) {
    auto defaults = reopen();
    const Value large = std::string(40 << 20, 'a'), rest = std::string(30 << 20, 'b');
    ASSERT_TRUE(defaults.set("first", large));
    ASSERT_TRUE(defaults.set("second", 1));
    const std::string before = file();

    testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.set("second", rest));  // replacing a value
    EXPECT_FALSE(defaults.set("third", rest));   // adding one
    EXPECT_FALSE(defaults.set("alone", Value::List(kValues, true)));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not writing"), std::string::npos) << said;
    EXPECT_NE(said.find("not storing \"alone\""), std::string::npos) << said;

    EXPECT_TRUE(file() == before);
    EXPECT_EQ(defaults.integer("second"), 1);
    EXPECT_TRUE(defaults.object("third").isAbsent());
    EXPECT_TRUE(defaults.set("small", "still written"));
    EXPECT_EQ(reopen().string("small"), "still written");
    EXPECT_EQ(reopen().integer("second"), 1);
}
