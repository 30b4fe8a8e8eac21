#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <plist/plist.h>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Value.h"

using foundation::Date;
using foundation::Value;

namespace {

Value sample() {
    return Value::Dictionary{
        {"flag", true}, {"count", int64_t{-9007199254740993}}, {"ratio", 0.1 + 0.2}, {"tiny", 5e-324},
        {"huge", 1.7976931348623157e308}, {"text", "<&\"é π\">"}, {"bytes", Value::Bytes{0, 1, 0xFF, '<'}},
        {"list", Value::List{1, 2.5, "x", Value::List{}, Value::Dictionary{}}},
        {"nested", Value::Dictionary{{"inner", Value::Dictionary{{"k", false}}}}},
        {"dates", Value::List{Date{0}, Date{978307200}, Date{-86400}}},
    };
}

// A binary property list of the given objects (4-byte references and
// offsets), the first one the root.
std::string binaryPlist(const std::vector<std::string>& objects) {
    auto bigEndian = [](uint64_t value, int width) {
        std::string out(width, '\0');
        for (int i = width - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<char>(value & 0xFF);
        return out;
    };
    std::string out = "bplist00";
    std::string offsets;
    for (const std::string& object : objects) {
        offsets += bigEndian(out.size(), 4);
        out += object;
    }
    const uint64_t table = out.size();
    out += offsets;
    out += std::string(6, '\0') + "\x04\x04" + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
    return out;
}

std::string ref(uint32_t index) {
    return {char(index >> 24), char(index >> 16), char(index >> 8), char(index)};
}

std::string nestedXml(int depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

}  // namespace

TEST(Value, EqualityComparesNumbersByValueButKeepsBoolsApart) {
    struct Case {
        Value a, b;
        bool equal;
    };
    const Case cases[] = {
        {1, 1.0, true},
        {int64_t{9007199254740993}, 9007199254740992.0, false},  // 2^53 + 1 is not 2^53
        {true, 1, false}, {Value(), Value::null(), false}, {"a", "a", true},
        {Value::List{1, "x"}, Value::List{1.0, "x"}, true}, {Value::List{1}, Value::List{1, 2}, false},
        {Value::Dictionary{{"a", 1}}, Value::Dictionary{{"a", 2}}, false},
        {Value::Dictionary{{"a", 1}}, Value::Dictionary{{"b", 1}}, false}, {Date{5}, Date{5}, true},
        {Date{5}, 5.0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.jsonText() << " vs " << c.b.jsonText();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.jsonText() << " vs " << c.a.jsonText();
    }
}

TEST(Value, PropertyListRoundTripKeepsTypesAndExactDoubles) {
    Value original = sample();
    auto xml = foundation::propertyListXml(original);
    ASSERT_TRUE(xml);
    auto back = foundation::parsePropertyList(*xml);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);  // bools and integers stay apart, so this pins the types too
    EXPECT_TRUE((*back)["list"][""].isAbsent());
}

TEST(Value, PropertyListRefusesNullAnywhereAndGarbageInput) {
    EXPECT_FALSE(foundation::propertyListXml(Value::null()));
    EXPECT_FALSE(foundation::propertyListXml(Value::List{1, Value::null()}));
    EXPECT_FALSE(foundation::propertyListXml(Value::Dictionary{{"a", Value::Dictionary{{"b", Value()}}}}));

    for (std::string bad : {std::string("garbage"), std::string("bplist00\x01\x02", 10)}) {
        EXPECT_FALSE(foundation::parsePropertyList(bad)) << bad;
    }
}

TEST(Value, JsonRoundTripAndTypes) {
    auto parsed = Value::parseJson(R"({"i": 3, "d": 3.0, "b": false, "n": null, "big": 18446744073709551615,
                                       "s": "\u00e9", "l": [1, {"k": []}]})");
    ASSERT_TRUE(parsed);
    const Value& v = *parsed;
    EXPECT_EQ(v["i"].integerValue(), 3);
    EXPECT_EQ(v["d"].type(), Value::Type::Double);
    EXPECT_TRUE(v["n"].isNull() && v["missing"].isAbsent());
    EXPECT_EQ(v["big"].doubleValue(), 18446744073709551615.0);
    EXPECT_EQ(*v["s"].string(), "\xC3\xA9");
    EXPECT_EQ(Value::parseJson(v.jsonText()), v);

    Value withBytes = Value::Dictionary{{"data", Value::Bytes{1, 2, 3, 4}}, {"gone", Value()}};
    EXPECT_EQ(withBytes.jsonText(), R"({"data":"AQIDBA=="})");

    for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "nul"}) EXPECT_FALSE(Value::parseJson(bad)) << bad;
}

TEST(Value, Base64RoundTripAndRejectsMalformed) {
    Value::Bytes bytes;
    for (size_t n = 0; n < 8; bytes.push_back(static_cast<uint8_t>(n++ * 97))) {
        EXPECT_EQ(foundation::base64Decode(foundation::base64Encode(bytes)), bytes) << n;
    }
    for (const char* bad : {"A", "AB=C", "A===", "AB*D", "AA==AA=="})
        EXPECT_FALSE(foundation::base64Decode(bad)) << bad;
}

#include "platform/foundation/Text.h"

TEST(Text, ShortestDoubleText) {
    const std::pair<double, const char*> shortest[] = {
        {2.0, "2.0"}, {0.1 + 0.2, "0.30000000000000004"}, {0.00001, "1e-05"}, {1e16, "1e+16"},
        {1e15, "1000000000000000.0"}, {0.0001, "0.0001"},
    };
    for (const auto& [value, expected] : shortest) EXPECT_EQ(foundation::shortestDoubleText(value), expected);
}

TEST(Value, EveryCutOfAPropertyListIsRefusedOrReadWithoutHarm) {
    std::string xml = *foundation::propertyListXml(sample());
    // Cutting only the closing </plist> still leaves the whole dictionary.
    const size_t rootEnd = xml.rfind("</dict>");
    for (size_t length = 0; length < xml.size(); ++length) {
        auto parsed = foundation::parsePropertyList(std::string_view(xml).substr(0, length));
        if (length <= rootEnd) {
            EXPECT_FALSE(parsed) << length;
        }
    }
}

// Each of these once ended the process (a stack overflow, libplist's
// assertion on a NUL inside a string); each runs in a child that must live.
TEST(Value, HostileDecoderInputIsRefusedAndTheProcessLives) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<std::string> deepBinary;
    for (uint32_t i = 0; i < 100'000; ++i) deepBinary.push_back("\xA1" + ref(i + 1));
    deepBinary.push_back("\xA0");
    const std::string xmlHead = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>";
    const std::string xmlTail = "</string></dict></plist>";
    const struct {
        const char* name;
        std::string bytes;
        bool json;
        bool itemLeftOut = false;
    } cases[] = {
        {"json: 200 KB of [", std::string(200 * 1024, '['), true},
        {"json: 513 levels", std::string(513, '[') + std::string(513, ']'), true},
        {"json: objects nested 100,000 deep",
         [] {
             std::string text;
             for (int i = 0; i < 100'000; ++i) text += "{\"a\":";
             return text + "1" + std::string(100'000, '}');
         }(),
         true},
        {"plist: 100,000 nested arrays", nestedXml(100'000), false},
        {"plist: 513 nested arrays", nestedXml(513), false},
        {"plist: NUL byte in a string", xmlHead + std::string("a\0b", 3) + xmlTail, false},
        {"plist: character reference to NUL", xmlHead + "a&#x0000;b" + xmlTail, false},
        {"binary plist: 100,000 nested arrays", binaryPlist(deepBinary), false},
        // An item that cannot be read costs that item: its list reads empty.
        {"binary plist: NUL in a string",
         binaryPlist({"\xA1" + ref(1), std::string("\x53"
                                                   "a\0b",
                                                   4)}),
         false, true},
        {"binary plist: an array holding itself", binaryPlist({"\xA1" + ref(0)}), false, true},
        {"binary plist: a reference past the objects", binaryPlist({"\xA1" + ref(7)}), false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                if (c.itemLeftOut) {
                    const auto read = foundation::parsePropertyList(c.bytes);
                    std::exit(read && *read == Value(Value::List{}) ? 0 : 1);
                }
                // Refused, or (a damaged value in a dictionary) passed over.
                const auto plist = c.json ? std::nullopt : foundation::parsePropertyList(c.bytes);
                const bool refused = c.json ? !Value::parseJson(c.bytes) : !plist || (*plist)["k"].isAbsent();
                std::exit(refused ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << c.name;
    }
}

TEST(Value, NestingUpToTheLimitAndSharedBinaryObjectsStillRead) {
    const int limit = foundation::kMaximumNestingDepth;
    EXPECT_TRUE(Value::parseJson(std::string(limit, '[') + std::string(limit, ']')));
    EXPECT_TRUE(Value::parseJson(R"(["[[[[", {"k": "{{{{"}])"));  // brackets inside texts do not count
    EXPECT_TRUE(foundation::parsePropertyList(nestedXml(limit)));
    // Shared objects: a few references read; twenty levels of a thousand
    // references each (10^60 values once copied out) are refused at once.
    auto sharing = [](uint32_t levels, uint8_t references) {
        std::vector<std::string> objects;
        for (uint32_t level = 0; level < levels; ++level) {
            std::string array = references < 15 ? std::string(1, char(0xA0 | references))
                                                : "\xAF\x10" + std::string(1, char(references));
            for (int i = 0; i < references; ++i) array += ref(level + 1);
            objects.push_back(array);
        }
        objects.push_back(std::string("\x53" "abc", 4));
        return binaryPlist(objects);
    };
    auto few = foundation::parsePropertyList(sharing(3, 10));
    ASSERT_TRUE(few);
    EXPECT_EQ((*few->list())[9], Value(Value::List(10, Value::List(10, "abc"))));
    EXPECT_FALSE(foundation::parsePropertyList(sharing(20, 200)));

    // The binary form libplist writes reads back as the XML form does.
    auto fromXml = foundation::parsePropertyList(*foundation::propertyListXml(sample()));
    const std::string xml = *foundation::propertyListXml(sample());
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    ASSERT_TRUE(node);
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &binary, &length);
    plist_free(node);
    auto fromBinary = foundation::parsePropertyList(std::string_view(binary, length));
    plist_to_bin_free(binary);
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(*fromBinary, *fromXml);
}
