// An event rebuilt from its stored bytes, with its name and times added, is
// encoded byte for byte as the event object's own wire form.

#include <gtest/gtest.h>

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
    }
}

}  // namespace
