// The XML form we write ourselves is libplist's to the byte (files written
// before and after read alike everywhere), for every kind of value and at
// every depth, and a text of escapes at the bytes bound is written in one
// buffer instead of libplist's page-at-a-time growth.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"

using foundation::Value;

namespace {

Value writerNested(Value inner, int levels) {
    for (int i = 0; i < levels; ++i) inner = Value(Value::List{inner});
    return inner;
}

Value writerBytes(size_t length) {
    Value::Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    return Value(bytes);
}

// A random tree of every kind, `depth` levels at most.
Value writerRandom(std::mt19937_64& random, int depth) {
    const auto pick = [&](uint64_t n) { return random() % n; };
    switch (pick(depth > 0 ? 9 : 7)) {
        case 0:
            return Value(pick(2) == 0);
        case 1: {
            const int64_t edges[] = {0, -1, 1, INT64_MIN, INT64_MAX, INT32_MIN, int64_t{1} << 53};
            return Value(pick(2) ? edges[pick(7)] : static_cast<int64_t>(random()) >> pick(64));
        }
        case 2: {
            const double edges[] = {0.0, -0.0, 0.1, -1e-300, 5e-324, 1e308, std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(), std::nan(""), 450359.0000000001};
            const uint64_t bits = random();
            double any;
            std::memcpy(&any, &bits, sizeof any);
            return Value(pick(2) ? edges[pick(10)] : any);
        }
        case 3: {
            std::string text;
            const char* pieces[] = {"a", "&", "<", ">", "\"", "'", "\n", "\t", " ", "\x7f", "\xc3\xa9", ";"};
            for (uint64_t i = pick(24); i > 0; --i) text += pieces[pick(std::size(pieces))];
            return Value(text);
        }
        case 4:
            return writerBytes(pick(3) == 0 ? pick(200) : pick(5));
        case 5: {
            const double edges[] = {-1169176447.0, 3125790847.0, 0.0, 978307200.0, -0.5, 1714566600.75};
            return Value(foundation::Date{pick(2) ? edges[pick(6)]
                                                  : static_cast<double>(static_cast<int64_t>(pick(uint64_t{1} << 32)) -
                                                                        1169176447)});
        }
        case 6:
            return Value(std::string());
        case 7: {
            Value::List items;
            for (uint64_t i = pick(4); i > 0; --i) items.push_back(writerRandom(random, depth - 1));
            return Value(items);
        }
        default: {
            Value::Dictionary entries;
            for (uint64_t i = pick(4); i > 0; --i) {
                Value key = writerRandom(random, 0);
                entries[key.string() ? *key.string() : std::to_string(i)] = writerRandom(random, depth - 1);
            }
            return Value(entries);
        }
    }
}

struct WriterRow {
    const char* name;
    Value value;
};

TEST(PropertyListWriterTest, WritesWhatLibplistWritesToTheByte) {
    const WriterRow rows[] = {
        {"empty dictionary", Value(Value::Dictionary{})},
        {"empty list", Value(Value::List{})},
        {"scalars", Value(Value::Dictionary{{"b", Value(false)}, {"i", Value(int64_t{-42})}, {"r", Value(2.5)},
                                            {"s", Value("a&b<c>d")}, {"d", Value(foundation::Date{0})}})},
        {"escaped key", Value(Value::Dictionary{{"<&>", Value(true)}})},
        {"empty data", Value(Value::Bytes{})},
        // A line holds 57 bytes at the top, 3 * 3 eight tabs down and deeper.
        {"data of full lines", writerBytes(57 * 3)},
        {"data a byte past a line", writerBytes(58)},
        {"data eight levels down", writerNested(writerBytes(10), 8)},
        {"data twelve levels down", writerNested(writerBytes(10), 12)},
        {"containers nested", writerNested(Value(Value::Dictionary{{"k", Value(Value::List{})}}), 30)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto ours = foundation::propertyListXml(row.value);
        ASSERT_TRUE(ours);
        EXPECT_EQ(*ours, foundation::propertyListXmlThroughLibrary(row.value).value_or("(refused)"));
        // The charge is the writer's to the byte.
        EXPECT_EQ(ours->size(), foundation::propertyListSize(row.value).bytes);
    }
    std::mt19937_64 random(93);
    int written = 0;
    for (int i = 0; i < 3000; ++i) {
        const Value value = writerRandom(random, 4);
        const auto ours = foundation::propertyListXml(value);
        const auto theirs = foundation::propertyListXmlThroughLibrary(value);
        ASSERT_EQ(ours.has_value(), theirs.has_value()) << value.jsonText();
        if (ours) {
            ASSERT_EQ(*ours, *theirs) << value.jsonText();
            ASSERT_EQ(ours->size(), foundation::propertyListSize(value).bytes) << value.jsonText();
            ++written;
        }
    }
    EXPECT_GT(written, 2900);
}

// No XML reader takes back a text that is not UTF-8: such a value, as a
// text or a key at any depth, is not written at all.
TEST(PropertyListWriterTest, RefusesTextThatIsNotUtf8) {
    EXPECT_TRUE(foundation::propertyListXml(writerNested(Value("\xc3\xa9\xf0\x9f\x98\x80"), 3)));
    for (const char* text : {"\xc3", "a\xa9" "b", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"}) {
        SCOPED_TRACE(text);
        for (const Value& value : {Value(text), Value(Value::Dictionary{{text, Value(true)}}),
                                   writerNested(Value(Value::Dictionary{{"k", Value(text)}}), 3)})
            EXPECT_FALSE(foundation::propertyListXml(value));
    }
}

TEST(PropertyListWriterTest, RefusesWhatLibplistRefusesForTheSameReason) {
    const WriterRow rows[] = {
        {"null inside", Value(Value::List{Value(true), Value::null()})},
        {"date before the range", Value(foundation::Date{-1169176449.0})},
        {"date not a number", Value(foundation::Date{std::nan("")})},
        {"nested past the bound", writerNested(Value(true), foundation::kMaximumNestingDepth + 1)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        foundation::PropertyListRefusal ours, theirs;
        EXPECT_FALSE(foundation::propertyListXml(row.value, &ours));
        EXPECT_FALSE(foundation::propertyListXmlThroughLibrary(row.value, &theirs));
        EXPECT_EQ(ours.pastBounds, theirs.pastBounds);
        EXPECT_EQ(ours.why, theirs.why);
    }
    // A text holding a NUL ends there, as libplist writes it.
    const Value nul(Value::Dictionary{{"k", Value(std::string("ab\0cd", 5))}});
    EXPECT_EQ(foundation::propertyListXml(nul), foundation::propertyListXmlThroughLibrary(nul));
}

// A text of '&' as large as the application's preferences bound lets it:
// written once into a buffer of the size charged (libplist's writer copied
// its buffer for every 4 KiB page of the escapes, half a minute under the
// sanitizers at 16 MiB).
TEST(PropertyListWriterTest, ATextOfEscapesAtTheBoundIsWrittenWhole) {
    const uint64_t bound = uint64_t{16} << 20;
    foundation::PropertyListBoundsForTesting bounds({foundation::kMaximumPropertyListValues, bound});
    const std::string text((bound - foundation::plistxml::fileBytes() - 18) / 5, '&');
    const auto xml = foundation::propertyListXml(Value(text));
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->size(), foundation::propertyListSize(Value(text)).bytes);
    EXPECT_GT(xml->size(), bound - 8);
    EXPECT_EQ(xml->capacity(), xml->size()) << "the buffer was reserved at the size charged";
    EXPECT_EQ(foundation::parsePropertyList(*xml), Value(text));
}

}  // namespace
