// An event rebuilt from its stored bytes, with its name and times added, is
// encoded byte for byte as the event object's own wire form.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "analytics/core/model/MSREvent.h"
#include "analytics/core/model/MSRFoundationAdditions.h"
#include "analytics/messages/MSRPBFlatEvent.h"

namespace {

using foundation::Value;

TEST(FlatEventEncodingTest, MatchesTheEventObjectsWireForm) {
    struct Case {
        const char* title;
        std::string name;
        double timestamp;
        double previous;
        MSRObjectDictionary parameters;
    };
    MSRObjectDictionary many;
    for (int i = 0; i < 20; ++i) many.emplace("p" + std::to_string(i), Value(std::string(30, 'a' + i)));
    const Case cases[] = {
        {"no parameters but the origin", "_s", 1772445600.5, 0, {}},
        {"every kind of value",
         "level_up",
         1772445600.123,
         1772445000.25,
         {{"text", Value("logarithmic")},
          {"zero", Value(0)},
          {"negative", Value(-1)},
          {"largest", Value(std::numeric_limits<int64_t>::max())},
          {"smallest", Value(std::numeric_limits<int64_t>::min())},
          {"half", Value(0.5)},
          {"negative_zero", Value(-0.0)},
          {"tiny", Value(std::numeric_limits<double>::denorm_min())},
          {"empty", Value("")}}},
        {"texts and events longer than one length byte", "kal_calculate", 1.0, 0.0005,
         {{"long", Value(std::string(100, 'x'))}}},
        {"a parameter list longer than two length bytes", "share", 1772445600, 1772445599.999, many},
        {"a time before 1970", "_e", -5.5, 0, {{"_et", Value(30)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin("app", false, c.name, c.timestamp, c.previous, c.parameters);
        ASSERT_TRUE(event);
        // The stored form: the event's wire form without its name.
        MSRPBEvent stored = event->protoEvent();
        MSRPBClearField(stored, 1);
        const std::vector<uint8_t> storedBytes = *stored.protoBuffer();
        MSRPBFlatEvent flat;
        ASSERT_TRUE(MSRPBReadFlatEvent(storedBytes, flat));

        std::optional<int64_t> previous;
        if (c.previous > 0) previous = MSRMillisecondsFromSeconds(c.previous);
        EXPECT_EQ(flat.previousTimestampMillis, previous.value_or(0));
        std::vector<uint8_t> rebuilt = {0x7F};  // appended after what is there
        MSRPBAppendFlatEventEncoding(flat.params, c.name, MSRMillisecondsFromSeconds(c.timestamp), previous,
                                     rebuilt);
        std::vector<uint8_t> expected = {0x7F};
        const std::vector<uint8_t> wire = *event->protoEvent().protoBuffer();
        expected.insert(expected.end(), wire.begin(), wire.end());
        EXPECT_EQ(rebuilt, expected);

        // The engine's own bytes hold their parameters as the encoding
        // writes them, and copying them gives the same.
        EXPECT_TRUE(flat.hasEncodedParams);
        std::vector<uint8_t> copied = {0x7F};
        MSRPBAppendFlatEventEncoding(flat, c.name, MSRMillisecondsFromSeconds(c.timestamp), previous, copied);
        EXPECT_EQ(copied, expected);
    }
}

// Bytes written otherwise than the encoding writes them are not copied: the
// parameters are written afresh.
TEST(FlatEventEncodingTest, OtherWritingsOfTheSameParametersAreWrittenAfresh) {
    // "_o" = "app" and "n" = 5, as the encoding writes them.
    const std::vector<uint8_t> origin = {0x0A, 0x09, 0x0A, 0x02, '_', 'o', 0x12, 0x03, 'a', 'p', 'p'};
    const std::vector<uint8_t> number = {0x0A, 0x05, 0x0A, 0x01, 'n', 0x18, 0x05};
    auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    const std::vector<uint8_t> timestamp = {0x18, 0x01};
    struct Case {
        const char* title;
        std::vector<uint8_t> bytes;
        bool copied;
    };
    const Case cases[] = {
        {"as written", join({origin, number, timestamp}), true},
        {"no parameters", timestamp, true},
        {"value before name", join({origin, {0x0A, 0x05, 0x18, 0x05, 0x0A, 0x01, 'n'}}), false},
        {"a length written in two bytes", join({origin, {0x0A, 0x85, 0x00, 0x0A, 0x01, 'n', 0x18, 0x05}}), false},
        {"an integer written in two bytes", join({origin, {0x0A, 0x06, 0x0A, 0x01, 'n', 0x18, 0x85, 0x00}}), false},
        {"a parameter after the time", join({origin, timestamp, number}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        MSRPBFlatEvent flat;
        ASSERT_TRUE(MSRPBReadFlatEvent(c.bytes, flat));
        EXPECT_EQ(flat.hasEncodedParams, c.copied);
        std::vector<uint8_t> fromEvent, fromParams;
        MSRPBAppendFlatEventEncoding(flat, "e", 7, std::nullopt, fromEvent);
        MSRPBAppendFlatEventEncoding(flat.params, "e", 7, std::nullopt, fromParams);
        EXPECT_EQ(fromEvent, fromParams);
        if (c.copied) {
            EXPECT_TRUE(std::equal(flat.encodedParams.begin(), flat.encodedParams.end(), c.bytes.begin()));
        }
    }
}

}  // namespace
