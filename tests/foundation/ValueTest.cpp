#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
    EXPECT_EQ((*back)["count"].integerValue(), int64_t{-9007199254740993});
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
