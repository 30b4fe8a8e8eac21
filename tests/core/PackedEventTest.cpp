// An event waiting packed for the worker comes back exactly as it was logged.

#include <gtest/gtest.h>

#include <limits>

#include "analytics/core/MSRPackedEvent.h"

namespace {

TEST(PackedEventTest, EveryKindComesBackAsItWasGiven) {
    const std::string longText(300, 'x');  // lengths past one byte of the packed form
    struct Case {
        const char* what;
        MSRObjectDictionary parameters;
    };
    const Case cases[] = {
        {"none", {}},
        {"plain values",
         {{"count", foundation::Value(int64_t{-1})},
          {"big", foundation::Value(std::numeric_limits<int64_t>::min())},
          {"max", foundation::Value(std::numeric_limits<int64_t>::max())},
          {"ratio", foundation::Value(-0.1)},
          {"text", foundation::Value(longText)},
          {"empty", foundation::Value(std::string())},
          {"yes", foundation::Value(true)},
          {"no", foundation::Value(false)}}},
        {"engine values",
         {{"n", MSRValue(int64_t{1} << 40)}, {"d", MSRValue(2.5)}, {"s", MSRValue(longText)}}},
        {"a list waits as it is",
         {{"items", foundation::Value(foundation::Value::List{foundation::Value(int64_t{1})})},
          {"n", foundation::Value(int64_t{3})}}},
        {"a null waits as it is", {{"gone", foundation::Value::null()}}},
    };
    for (const Case& c : cases) {
        const MSRPackedEvent packed("app", "level_up", 1.7e9 + 0.001, c.parameters);
        EXPECT_EQ(packed.origin(), "app") << c.what;
        EXPECT_EQ(packed.name(), "level_up") << c.what;
        EXPECT_EQ(packed.timestamp(), 1.7e9 + 0.001) << c.what;
        const MSRObjectDictionary back = packed.parameters();
        ASSERT_EQ(back.size(), c.parameters.size()) << c.what;
        for (const auto& [name, object] : c.parameters) {
            ASSERT_TRUE(back.count(name)) << c.what << ": " << name;
            const MSRObject& returned = back.at(name);
            // Of the same kind, not only of equal value (1 and 1.0 differ).
            ASSERT_EQ(returned.index(), object.index()) << c.what << ": " << name;
            if (const auto* value = std::get_if<foundation::Value>(&object)) {
                EXPECT_EQ(std::get<foundation::Value>(returned).type(), value->type()) << c.what << ": " << name;
                EXPECT_EQ(std::get<foundation::Value>(returned), *value) << c.what << ": " << name;
            } else {
                EXPECT_EQ(std::get<MSRValue>(returned), std::get<MSRValue>(object)) << c.what << ": " << name;
            }
        }
        // A public call's plain values pack to the same event.
        foundation::Value::Dictionary plain;
        for (const auto& [name, object] : c.parameters) {
            if (const auto* value = std::get_if<foundation::Value>(&object)) plain.emplace(name, *value);
        }
        if (plain.size() != c.parameters.size()) continue;
        const MSRPackedEvent fromPlain("app", "level_up", 1.7e9 + 0.001, plain);
        EXPECT_EQ(fromPlain.name(), "level_up") << c.what;
        EXPECT_EQ(fromPlain.timestamp(), 1.7e9 + 0.001) << c.what;
        EXPECT_EQ(fromPlain.parameters(), back) << c.what;
    }
}

}  // namespace
