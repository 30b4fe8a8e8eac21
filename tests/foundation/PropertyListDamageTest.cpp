// One damaged value of an XML property list costs that value: the entry of
// its dictionary (or the item of its list) that holds it, at every depth, in
// the form the writer writes, laid out as another program may, and where
// the damage begins a line; the
// rest of the file reads as it was written, and nothing of what is passed
// over is built. Only a cut ends what follows. A foreign integer is written
// back as it was read.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"

using foundation::Value;

namespace {

constexpr const char* kTarget = "<string>TARGET</string>";

// Where the damaged value sits: its path of keys and list positions, and the
// file without it (what the reader must give).
struct DamageSite {
    const char* name;
    std::function<Value(std::optional<Value>)> file;
    // Where nesting past the bound costs the list around it: the file
    // without that list's entry.
    std::optional<Value> withoutList = std::nullopt;
};

Value damageRecord(std::optional<Value> target) {
    Value::Dictionary record{{"b", Value("B")}, {"y", Value("Y")}};
    if (target) record["t"] = *target;
    return Value(record);
}

const DamageSite kDamageSites[] = {
    {"an entry of the root",
     [](std::optional<Value> t) {
         Value::Dictionary root{{"a", Value("A")}, {"z", Value("Z")}};
         if (t) root["t"] = *t;
         return Value(root);
     }},
    {"an entry of a dictionary in the root",
     [](std::optional<Value> t) {
         return Value(Value::Dictionary{{"a", Value("A")}, {"d", damageRecord(t)}, {"z", Value("Z")}});
     }},
    {"a field of a record in a list",
     [](std::optional<Value> t) {
         return Value(Value::Dictionary{
             {"l", Value(Value::List{Value(Value::Dictionary{{"k", Value("K0")}}), damageRecord(t),
                                     Value(Value::Dictionary{{"k", Value("K2")}})})},
             {"z", Value("Z")}});
     }},
    {"an item of a list",
     [](std::optional<Value> t) {
         Value::List items{Value("I0")};
         if (t) items.push_back(*t);
         items.push_back(Value("I2"));
         return Value(Value::Dictionary{{"l", Value(items)}, {"z", Value("Z")}});
     },
     Value(Value::Dictionary{{"z", Value("Z")}})},
};

std::string damageNested(size_t levels) {
    std::string xml;
    for (size_t i = 0; i < levels; ++i) xml += "<array>";
    for (size_t i = 0; i < levels; ++i) xml += "</array>";
    return xml;
}

struct DamageShape {
    const char* name;
    // The damaged text of the target element; empty: its key is damaged.
    std::string element;
    bool nesting = false;
};

const DamageShape kDamageShapes[] = {
    {"a bare '<' (a flipped bit of a backslash)", "<string>TAR<GET</string>"},
    {"an unclosed string", "<string>TARGET"},
    {"an unclosed CDATA section", "<string><![CDATA[TARGET</string>"},
    {"a damaged opening tag", "<strhng>TARGET</string>"},
    {"a damaged closing tag", "<string>TARGET</strhng>"},
    {"a closing tag turned into an instruction", "<string>TARGET<?string>"},
    {"a closing tag without its '>'", "<string>TARGET</string"},
    {"a text that is not UTF-8", "<string>TAR\xff" "GET</string>"},
    {"an unknown entity", "<string>TAR&bogus;GET</string>"},
    {"a damaged key", ""},
    {"nesting one past the bound", damageNested(foundation::kMaximumNestingDepth + 1), true},
    {"nesting 20,000 deep", damageNested(20'000), true},
};

// How the file is laid out: as the writer writes it; on one line or a line
// an element without indentation, as other programs may; or as written with
// the damage beginning a line of its own, as a flipped bit may make it.
enum class Layout { kAsWritten, kOneLine, kUnindented, kDamageAtALinesStart };

std::string laidOut(const std::string& xml, Layout layout) {
    if (layout == Layout::kAsWritten || layout == Layout::kDamageAtALinesStart) return xml;
    std::string out;
    for (char c : xml)
        if (c != '\t' && (c != '\n' || layout == Layout::kUnindented)) out += c;
    return out;
}

constexpr std::pair<Layout, const char*> kLayouts[] = {{Layout::kAsWritten, "as written"},
                                                       {Layout::kOneLine, "one line"},
                                                       {Layout::kUnindented, "unindented"},
                                                       {Layout::kDamageAtALinesStart, "damage at a line's start"}};

}  // namespace

TEST(PropertyListDamage, ADamagedValueCostsTheEntryThatHoldsItAtEveryDepth) {
    for (const DamageSite& site : kDamageSites) {
        for (const DamageShape& shape : kDamageShapes) {
            for (const auto& [layout, layoutName] : kLayouts) {
                SCOPED_TRACE(std::string(site.name) + ", " + shape.name + ", " + layoutName);
                const bool keyed = std::string(site.name) != "an item of a list";
                if (shape.element.empty() && !keyed) continue;
                const std::optional<std::string> written = foundation::propertyListXml(site.file(Value("TARGET")));
                ASSERT_TRUE(written);
                std::string xml = laidOut(*written, layout);
                const size_t at = xml.find(kTarget);
                ASSERT_NE(at, std::string::npos);
                const std::string lineBreak = layout == Layout::kDamageAtALinesStart ? "\n" : "";
                if (shape.element.empty()) {
                    const size_t key = xml.rfind("<key>t</key>", at);
                    ASSERT_NE(key, std::string::npos);
                    xml.replace(key, 4, lineBreak + "<kay");
                } else {
                    xml.replace(at, std::string(kTarget).size(), lineBreak + shape.element);
                }
                const Value expected = shape.nesting && site.withoutList ? *site.withoutList : site.file(std::nullopt);
                foundation::PropertyListRefusal refusal;
                const uint64_t builtBefore = foundation::propertyListReadCountForTesting().valuesBuilt;
                const auto read = foundation::parsePropertyList(xml, &refusal);
                ASSERT_TRUE(read) << refusal.why << "\n" << xml;
                EXPECT_EQ(*read, expected) << read->jsonText() << "\n" << xml;
                EXPECT_GT(refusal.passedOver, 0u);
                EXPECT_FALSE(refusal.pastBounds);
                // Nothing of what is passed over is built.
                EXPECT_EQ(foundation::propertyListReadCountForTesting().valuesBuilt - builtBefore,
                          foundation::propertyListSize(expected).values);
                // What is read is written back and reads back the same.
                const auto again = foundation::propertyListXml(*read);
                ASSERT_TRUE(again);
                EXPECT_EQ(foundation::parsePropertyList(*again), *read);
            }
        }
    }
}

// Cut short inside a damaged value, the file is refused (the salvage keeps
// what came whole); damage does not hide a file past the bounds.
TEST(PropertyListDamage, OnlyACutOrTheBoundsRefuseTheFile) {
    const Value file = kDamageSites[2].file(Value("TARGET"));
    const std::string xml = *foundation::propertyListXml(file);
    const size_t at = xml.find(kTarget);
    for (const std::string& cut : {xml.substr(0, at + 11), xml.substr(0, at) + "<string>TAR<GET"}) {
        foundation::PropertyListRefusal refusal;
        EXPECT_FALSE(foundation::parsePropertyList(cut, &refusal)) << cut;
        EXPECT_FALSE(refusal.pastBounds);
    }
    // 20 values after a damaged one, within bounds of 16 values: the
    // damaged value gives back what it charged, the file is still past them.
    Value::Dictionary many;
    for (int i = 0; i < 10; ++i) many["k" + std::to_string(i)] = Value(i);
    many["a"] = Value("TARGET");
    std::string damaged = *foundation::propertyListXml(Value(many));
    damaged.replace(damaged.find(kTarget), std::string(kTarget).size(), "<string>TAR<GET</string>");
    foundation::PropertyListBoundsForTesting small({16, 1 << 20});
    foundation::PropertyListRefusal refusal;
    EXPECT_FALSE(foundation::parsePropertyList(damaged, &refusal));
    EXPECT_TRUE(refusal.pastBounds);
}

// A file of many unclosed sections, each costing its own entry, is read in
// one scan, not one for each section.
TEST(PropertyListDamage, ManyUnclosedSectionsAreScannedOnce) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    for (int i = 0; i < 20'000; ++i)
        xml += "<key>k" + std::to_string(i) + "</key><string><![CDATA[x<!--y<?z</string>";
    xml += "<key>kept</key><true/></dict></plist>";
    foundation::PropertyListRefusal refusal;
    const auto read = foundation::parsePropertyList(xml, &refusal);
    ASSERT_TRUE(read) << refusal.why;
    EXPECT_EQ(*read, Value(Value::Dictionary{{"kept", Value(true)}}));
    EXPECT_EQ(refusal.passedOver, 20'000u * 2);
}

// An integer another program wrote past int64's range is written back as
// read, and so is every int64; the size charged is the writer's.
TEST(PropertyListDamage, ForeignIntegersAreWrittenBackAsRead) {
    const struct {
        const char* text;
        const char* written;
    } rows[] = {
        {"9223372036854775808", "9223372036854775808"},
        {"18446744073709551615", "18446744073709551615"},
        {"0x8000000000000000", "9223372036854775808"},
        {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"-1", "-1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string xml = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>f</key><integer>") +
                                row.text + "</integer></dict></plist>";
        const auto read = foundation::parsePropertyList(xml);
        ASSERT_TRUE(read);
        const auto written = foundation::propertyListXml(*read);
        ASSERT_TRUE(written);
        EXPECT_NE(written->find(std::string("<integer>") + row.written + "</integer>"), std::string::npos) << *written;
        EXPECT_EQ(written->size(), foundation::propertyListSize(*read).bytes);
        EXPECT_EQ(foundation::propertyListXmlThroughLibrary(*read), written);
        EXPECT_EQ(foundation::parsePropertyList(*written), *read);
    }
    // 2^63 unsigned is not -2^63, and equals the real it is.
    EXPECT_NE(Value::unsignedInteger(uint64_t{1} << 63), Value(INT64_MIN));
    EXPECT_EQ(Value::unsignedInteger(uint64_t{1} << 63), Value(9223372036854775808.0));
    EXPECT_EQ(Value::unsignedInteger(5), Value(5));
}
