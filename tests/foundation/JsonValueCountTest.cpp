// The JSON value counter that the remote configuration and the application's
// loaders share: each bound taken at n and passed at n + 1, wherever the
// values sit, and the arrays and objects open where the count stopped.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/JsonValueCount.h"

namespace {

using Passed = foundation::JsonValueCount::Passed;

std::string countedArray(size_t elements) {
    std::string text = "[";
    for (size_t i = 0; i < elements; ++i) text += i ? ",1" : "1";
    return text + "]";
}

TEST(JsonValueCount, EachBoundTakesItsNumberAndStopsOnePast) {
    struct Case {
        const char* label;
        std::string text;
        Passed passed;
        std::string where;  // the open levels: [elements] for an array, .key for an object
    };
    // At most 10 values, and 4 elements in one array.
    const std::vector<Case> cases = {
        {"an array of 4", countedArray(4), Passed::kNothing, ""},
        {"an array of 5", countedArray(5), Passed::kArrayElements, "[5]"},
        {"two arrays within their bound, 10 values", R"({"a":[1,2,3],"b":[1,2,3,4]})", Passed::kNothing, ""},
        {"10 values", R"({"a":[1,2,3],"b":{"c":[1,2,3]}})", Passed::kNothing, ""},
        {"11 values, the last in a nested object", R"({"a":[1,2,3],"b":{"c":[1,2,3],"d":1}})", Passed::kValues,
         ".b.d"},
        {"an array of 5 inside an array", R"([1,[1,2,3,4,5]])", Passed::kArrayElements, "[2][5]"},
        {"text that is not JSON", R"([1,2,)", Passed::kNothing, ""},
        {"a lone value", "7", Passed::kNothing, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        foundation::JsonValueCount count(10, 4);
        EXPECT_EQ(count.count(c.text), c.passed);
        if (c.passed == Passed::kNothing) continue;
        std::string where;
        for (const foundation::JsonValueCount::Level& level : count.levels())
            where += level.array ? "[" + std::to_string(level.elements) + "]" : "." + level.key;
        EXPECT_EQ(where, c.where);
    }
    // A count made again starts afresh.
    foundation::JsonValueCount again(10, 4);
    EXPECT_EQ(again.count(countedArray(5)), Passed::kArrayElements);
    EXPECT_EQ(again.count(countedArray(4)), Passed::kNothing);
}

}  // namespace
