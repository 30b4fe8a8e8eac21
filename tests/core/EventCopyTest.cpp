// A copy with a new previous time keeps the event's parameters as they stand.
// That is only sound while cleaning an already cleaned event gives it back
// unchanged; these cases hold the copy to what cleaning it again would give.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "MonitorHarness.h"
#include "analytics/model/MSREvent.h"

namespace {

using foundation::Value;

MSRObjectDictionary manyParameters(int count) {
    MSRObjectDictionary parameters;
    for (int i = 0; i < count; ++i) parameters.emplace("p" + std::to_string(i), Value(i));
    return parameters;
}

// The copy as it used to be made: the whole event cleaned again.
std::optional<MSREvent> recleaned(const MSREvent& event, double previous) {
    return MSREvent::initWithOrigin(event.origin(), false, event.name(), event.timestamp(), previous,
                                    MSRObjectsFromParameters(event.parameters()));
}

TEST(EventCopyTest, CopyWithPreviousTimestampEqualsCleaningAgain) {
    MonitorHarness h;
    const Value items(Value::List{
        Value(Value::Dictionary{{"item_id", Value("sku-1")}, {"price", Value(2.5)}, {"custom", Value(1)}}),
        Value(Value::Dictionary{{"item_name", Value(std::string(600, 'n'))}})});
    struct Case {
        const char* what;
        const char* origin;
        bool isPublic;
        const char* name;
        MSRObjectDictionary parameters;
    };
    const Case cases[] = {
        {"plain public event", "app", true, "kal_calculate", {{"form", Value("log")}, {"steps", Value(3)}}},
        {"too many parameters", "app", true, "kal_calculate", manyParameters(40)},
        {"over-long text", "app", true, "share", {{"text", Value(std::string(300, 'x'))}}},
        {"items with a custom field and a long name", "app", true, "purchase",
         {{"items", items}, {"value", Value(9.5)}, {"currency", Value("EUR")}}},
        {"conversion without currency", "app", false, "purchase", {{"value", Value(3)}, {"_c", Value(1)}}},
        {"ad impression", "auto", false, "_ai", {{"value", Value(0.5)}, {"currency", Value("USD")}}},
        {"internal event with error value", "auto", false, "_err",
         {{"_ev", Value(std::string(300, 'e'))}, {"_err", Value(4)}}},
        {"real-time debug event", "auto", false, "_s", {{"_r", Value(1)}, {"_dbg", Value(1)}}},
    };
    for (const Case& c : cases) {
        std::optional<MSREvent> event =
            MSREvent::initWithOrigin(c.origin, c.isPublic, c.name, 1'700'000'000, 0, c.parameters);
        ASSERT_TRUE(event) << c.what;
        for (double previous : {0.0, 1'600'000'000.5, 1'800'000'000.0}) {
            std::optional<MSREvent> copy = event->copyWithPreviousTimestamp(previous);
            std::optional<MSREvent> expected = recleaned(*event, previous);
            ASSERT_TRUE(copy && expected) << c.what;
            EXPECT_EQ(copy->parameters(), expected->parameters()) << c.what;
            EXPECT_EQ(copy->previousTimestamp(), previous) << c.what;
            EXPECT_EQ(*copy->protoEvent().protoBuffer(), *expected->protoEvent().protoBuffer()) << c.what;
        }
    }
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(MSREvent::initWithOrigin("app", false, "e", 1, 0, {})->copyWithPreviousTimestamp(bad));
    }
}

}  // namespace
