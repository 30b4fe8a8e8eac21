// Array mechanics, host conversions and the shared numeric helpers that the
// command table does not reach directly.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPRuntimeEntityConverter.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

std::string describeList(const std::vector<MSRPValue>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + describeValue(values[i]);
    return text + "]";
}

TEST(Values, ToInt32AndToInteger) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int32_t> int32Cases[] = {
        {nan, 0}, {inf, 0}, {-inf, 0}, {4294967295.0, 2147483647}, {4294967301.0, 5}, {-1, -1},
        {2147483648.0, 2147483647}, {-2147483649.0, -2147483648}, {-4294967297.0, -1}, {7.9, 7}, {-7.9, -7},
    };
    for (auto [input, expected] : int32Cases) EXPECT_EQ(MSRPToInt32(input), expected) << input;
    EXPECT_EQ(MSRPToInteger(nan), 0);
    EXPECT_EQ(MSRPToInteger(-inf), -inf);
    EXPECT_TRUE(std::signbit(MSRPToInteger(-0.0)));
    EXPECT_EQ(MSRPToInteger(-2.7), -2);
    EXPECT_TRUE(MSRPIsArrayIndex(MSRPValue::number(-0.0)));
    EXPECT_FALSE(MSRPIsArrayIndex(MSRPValue::number(1.5)));
    EXPECT_FALSE(MSRPIsArrayIndex(MSRPValue::boolean(true)));
    EXPECT_TRUE(MSRPIsArrayIndex(MSRPValue::string(" 3 ")));
}

TEST(Values, ArrayRangesClampAndSearchesUseStrictEquality) {
    auto array = [](std::vector<MSRPValue> elements) { return MSRPRef<MSRPArrayValue>::make(std::move(elements)); };
    auto n = [](double v) { return MSRPValue::number(v); };
    auto a = array({n(1), n(2), n(3), n(4)});
    EXPECT_EQ(describeList(a->subarrayWithRange(-5, 2)), "[1,2]");
    EXPECT_EQ(describeList(a->subarrayWithRange(3, 10)), "[4]");
    EXPECT_EQ(describeList(a->subarrayWithRange(9, 1)), "[]");
    int error = 0;
    std::vector<MSRPValue> added = {n(8), n(9)};
    EXPECT_EQ(describeList(a->spliceFrom(1, 2, added, &error)), "[2,3]");
    EXPECT_EQ(describeList(a->elements()), "[1,8,9,4]");
    EXPECT_EQ(describeList(a->spliceFrom(3, -1, {}, &error)), "[]");
    EXPECT_EQ(a->indexOfValue(n(9), 0, &error), 2);
    EXPECT_EQ(a->indexOfValue(n(9), 3, &error), -1);
    EXPECT_EQ(a->indexOfValue(MSRPValue::string("9"), 0, &error), -1);
    EXPECT_EQ(a->lastIndexOfValue(n(1), 3, &error), 0);
    EXPECT_EQ(a->lastIndexOfValue(n(4), 2, &error), -1);
    a->reverse();
    EXPECT_EQ(describeList(a->elements()), "[4,9,8,1]");
    EXPECT_TRUE(a->concat(MSRPValue(array({n(5), MSRPValue::hole()})), &error));
    EXPECT_TRUE(a->concat(MSRPValue::string("s"), &error));
    EXPECT_EQ(describeList(a->elements()), R"([4,9,8,1,5,<hole>,"s"])");
    EXPECT_FALSE(a->concat(MSRPValue(MSRPControlValue::breakValue()), &error));
    EXPECT_EQ(error, MSRPErrorCode::kArgumentKind);
    EXPECT_EQ(describeValue(a->removeFirstElement()), "4");
    a->removeLastElement();
    EXPECT_EQ(describeValue(a->removeLastElement()), "undefined");  // the hole
    EXPECT_EQ(a->prependElements(added, &error), 6u);
    EXPECT_EQ(describeList(a->elements()), "[8,9,9,8,1,5]");
}

TEST(Values, SortPutsUndefinedThenHolesLastAndSurvivesAnyComparison) {
    auto n = [](double v) { return MSRPValue::number(v); };
    MSRPRuntime runtime;
    auto a = MSRPRef<MSRPArrayValue>::make(std::vector<MSRPValue>{MSRPValue(), n(3), MSRPValue::hole(), n(1), n(10)});
    a->sortUsingFunctionValue(nullptr, runtime.execution(), runtime.globalScope());
    // Without a function: by text, so "10" before "3".
    EXPECT_EQ(describeList(a->elements()), "[1,10,3,undefined,<hole>]");

    int error = 0;
    MSRPValue descending = evaluateProgram(R"((lambda "d" (array "x" "y") (return (sub $y $x))))", runtime, &error);
    a->sortUsingFunctionValue(descending.function(), runtime.execution(), runtime.globalScope());
    EXPECT_EQ(describeList(a->elements()), "[10,3,1,undefined,<hole>]");

    // A comparison that answers at random still gives a permutation.
    MSRPValue erratic = evaluateProgram(R"((let "t") (assign "t" 0)
        (lambda "e" (array "x" "y") (assign "t" (add $t 1)) (return (sub (mod $t 3) 1))))",
                                        runtime, &error);
    std::vector<MSRPValue> many;
    for (int i = 0; i < 200; ++i) many.push_back(n(i));
    auto b = MSRPRef<MSRPArrayValue>::make(many);
    b->sortUsingFunctionValue(erratic.function(), runtime.execution(), runtime.globalScope());
    double sum = 0;
    for (const MSRPValue& value : b->elements()) sum += value.numberValue();
    EXPECT_EQ(b->count(), 200u);
    EXPECT_EQ(sum, 199 * 200 / 2);
}

TEST(Values, HostValuesConvertBothWays) {
    MSRPRuntime runtime;
    foundation::Value::Dictionary host{{"a", true}, {"b", 2.5}, {"c", foundation::Value::null()},
                                       {"d", foundation::Value::List{1, "x"}}};
    int error = 0;
    MSRPValue map = MSRPRuntimeEntityConverter::runtimeValueFromObject(host, &runtime.objectManager(), &error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(describeValue(map), R"({a:true,b:2.5,c:null,d:[1,"x"]})");
    foundation::Value back = MSRPRuntimeEntityConverter::objectFromRuntimeValue(map, &error);
    foundation::Value::Dictionary expected{{"a", 1.0}, {"b", 2.5}, {"d", foundation::Value::List{1.0, "x"}}};
    EXPECT_EQ(back, foundation::Value(expected));

    struct Case {
        MSRPValue value;
        foundation::Value host;
    } cases[] = {
        {MSRPValue::string("0042"), foundation::Value(42.0)},
        {MSRPValue::string("4x"), foundation::Value("4x")},
        {MSRPValue::number(std::nan("")), foundation::Value("NaN")},
        {MSRPValue(), foundation::Value("")},
        {MSRPValue::null(), foundation::Value()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MSRPRuntimeEntityConverter::objectFromRuntimeValue(c.value, &error), c.host) << describeValue(c.value);
    }
    // Null elements of a list are left out; control values have no host form.
    MSRPValue withNull = evaluateProgram("(array 1 (null) 2)", runtime);
    EXPECT_EQ(MSRPRuntimeEntityConverter::objectFromRuntimeValue(withNull, &error),
              foundation::Value(foundation::Value::List{1.0, 2.0}));
    MSRPRuntimeEntityConverter::objectFromRuntimeValue(MSRPValue(MSRPControlValue::breakValue()), &error);
    EXPECT_EQ(error, MSRPErrorCode::kNoTextForm);
    error = 0;
    MSRPRuntimeEntityConverter::runtimeValueFromObject(foundation::Value(foundation::Value::Bytes{1}), nullptr, &error);
    EXPECT_EQ(error, MSRPErrorCode::kNoInterpreterForm);
}

}  // namespace
