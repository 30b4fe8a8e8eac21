// Matching one audience filter against one value, event or property, and the
// check of audience definitions.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/audience/MSRAudienceFilterMatching.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "tests/audience/AudienceBuilders.h"
#include "tests/support/SharedState.h"

using namespace audience_test;

namespace {

using Outcome = std::optional<bool>;
constexpr Outcome kNone = std::nullopt;

MSREventAggregates aggregates(const std::string& name, int32_t lifetime, int32_t session) {
    return *MSREventAggregates::initWithName(name, lifetime, 1, session, 100);
}

}  // namespace

using AudienceFilterMatchingTest = SharedStateTest;

TEST_F(AudienceFilterMatchingTest, TextsMatchByTypeAndCase) {
    struct Case {
        const char* name;
        MSRPBStringFilter filter;
        const char* text;
        Outcome outcome;
    };
    const Case cases[] = {
        {"begins, any case", stringFilter(2, "Foo"), "foobar", true},
        {"begins, case-sensitive", stringFilter(2, "Foo", true), "foobar", false},
        {"begins, text shorter", stringFilter(2, "foobar"), "foo", false},
        {"ends, any case", stringFilter(3, "BAR"), "fooBar", true},
        {"ends, text shorter", stringFilter(3, "BAR"), "ar", false},
        {"ends, case-sensitive", stringFilter(3, "Bar", true), "fooBar", true},
        {"ends, case-sensitive, other case", stringFilter(3, "bar", true), "fooBar", false},
        {"ends, case-sensitive, only at the start", stringFilter(3, "foo", true), "foobar", false},
        {"ends, case-sensitive, text shorter", stringFilter(3, "xBar", true), "Bar", false},
        {"contains", stringFilter(4, "OB"), "foobar", true},
        {"exact, any case", stringFilter(5, "Gold"), "gOLD", true},
        {"exact, longer text", stringFilter(5, "Gold"), "golden", false},
        // Every letter folds, the first and last of the alphabet too, and
        // nothing beside them does.
        {"exact, edge letters", stringFilter(5, "AZaz"), "azAZ", true},
        {"exact, beside the letters", stringFilter(5, "@["), "`{", false},
        {"in list, edge letters", stringFilter(6, std::nullopt, false, {"zA"}), "Za", true},
        {"begins, edge letters", stringFilter(2, "zeta"), "ZETA-A", true},
        {"ends, edge letters", stringFilter(3, "-a"), "ZETA-A", true},
        {"contains, beside the letters", stringFilter(4, "@"), "a`b", false},
        // Ignoring case, lengths count as the texts are given: full folding
        // makes "ß" into "ss", and that is no match of equal length.
        {"exact, non-ASCII case", stringFilter(5, "ÄRGER"), "ärger", true},
        {"exact, final sigma", stringFilter(5, "ΣΟΦΟΣ"), "σοφος", true},
        {"exact, folds longer", stringFilter(5, "STRASSE"), "straße", false},
        {"exact, folds longer the other way", stringFilter(5, "straße"), "STRASSE", false},
        {"exact, case-sensitive non-ASCII", stringFilter(5, "straße", true), "straße", true},
        {"in list, folds longer", stringFilter(6, std::nullopt, false, {"STRASSE", "x"}), "straße", false},
        {"in list, same length", stringFilter(6, std::nullopt, false, {"x", "STRAẞE"}), "straße", true},
        {"ends, folds longer", stringFilter(3, "SSE"), "straße", false},
        {"ends, non-ASCII", stringFilter(3, "ßE"), "STRAßE", true},
        {"begins, non-ASCII", stringFilter(2, "ÄR"), "ärger", true},
        {"in list", stringFilter(6, std::nullopt, false, {"a", "B"}), "b", true},
        {"in list, not a prefix", stringFilter(6, std::nullopt, false, {"a", "B"}), "ab", false},
        {"regex anywhere", stringFilter(1, "b+"), "abbc", true},
        {"regex anchored", stringFilter(1, "^b"), "abbc", false},
        {"regex any case", stringFilter(1, "^ABC$"), "abc", true},
        {"regex case-sensitive", stringFilter(1, "^ABC$", true), "abc", false},
        {"type 7", stringFilter(7, "abc"), "abc", false},
        {"unknown type", stringFilter(0, "abc"), "abc", kNone},
        {"no expression", stringFilter(2, std::nullopt), "abc", kNone},
        {"empty list", stringFilter(6, std::nullopt), "abc", kNone},
        // Patterns RE2 does not take fail the filter instead of running.
        {"back-reference", stringFilter(1, "(a)\\1"), "aa", kNone},
        {"look-ahead", stringFilter(1, "a(?=b)"), "ab", kNone},
        {"unbalanced", stringFilter(1, "(a"), "a", kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MSRMatchStringFilter(c.filter, c.text), c.outcome);
        MSRRegexCache cache;
        EXPECT_EQ(MSRMatchStringFilter(c.filter, c.text, &cache), c.outcome);
    }
}

TEST_F(AudienceFilterMatchingTest, AHostilePatternFinishes) {
    // A backtracking engine takes exponential time on this; RE2 is linear.
    const std::string text = std::string(10000, 'a') + "b";
    EXPECT_EQ(MSRMatchStringFilter(stringFilter(1, "(a+)+$"), text), false);
    EXPECT_EQ(MSRMatchStringFilter(stringFilter(1, "(a|aa)*c"), text), false);
    // Deep nesting is refused or matched, never a crash.
    const std::string nested = std::string(5000, '(') + "a" + std::string(5000, ')');
    MSRMatchStringFilter(stringFilter(1, nested), "a");
}

// The expressions of one configuration share a budget: patterns that each fit
// are refused once together they pass it, failed compilations are charged
// too (a flood of them cannot take the start's time), a pattern seen before
// costs nothing again, and a new configuration starts afresh.
TEST_F(AudienceFilterMatchingTest, ExpressionsOfAConfigurationShareABudget) {
    MSRRemoteConfig config;
    auto withPattern = [](int32_t id, const std::string& pattern) {
        return audience(id, {eventFilter(0, "e", {valueFilter(stringFilter(1, pattern), std::nullopt, "p")})});
    };
    const std::string large = "\\pL{1,10}";  // about 12,000 instructions
    MSRRegexCache regexes;
    int accepted = 0;
    for (int32_t id = 0; id < 20; ++id) {
        MSRError error;
        // Distinct texts, one program size.
        if (MSRValidateAudience(withPattern(id, large + std::string(static_cast<size_t>(id), 'a')), {}, config, &error,
                                &regexes)) {
            ++accepted;
        } else {
            EXPECT_EQ(error.code(), 10);
        }
    }
    EXPECT_GE(accepted, 5);
    EXPECT_LE(accepted, 11);
    EXPECT_LE(regexes.instructionsCharged(), MSRRegexCache::kDefaultInstructionBudget + 16 * 1024);
    std::string why;
    EXPECT_EQ(regexes.regex("^small$", false, &why), nullptr);
    EXPECT_NE(why.find("budget"), std::string::npos) << why;
    // Seen before: compiled already, no charge.
    const int64_t charged = regexes.instructionsCharged();
    EXPECT_NE(regexes.regex(large, false, &why), nullptr);
    EXPECT_EQ(regexes.instructionsCharged(), charged);

    MSRRegexCache hostile;
    for (int32_t id = 0; id < 100; ++id) {
        MSRError error;
        EXPECT_FALSE(MSRValidateAudience(withPattern(id, "a" + std::to_string(id) + "(\\pL{1,20}){1,20}"), {},
                                         config, &error, &hostile));
    }
    EXPECT_LE(hostile.instructionsCharged(), MSRRegexCache::kDefaultInstructionBudget + 16 * 1024);

    MSRRegexCache next;
    MSRError error;
    EXPECT_TRUE(MSRValidateAudience(withPattern(1, "^small$"), {}, config, &error, &next));
}

TEST_F(AudienceFilterMatchingTest, ValuesCompareAsDecimalsOrDoubles) {
    struct Case {
        const char* name;
        MSRPBFilter filter;
        MSRValue value;
        Outcome outcome;
    };
    const MSRPBFilter between = valueFilter(std::nullopt, numberFilter(4, "1", "3"));
    const MSRPBFilter equal = valueFilter(std::nullopt, numberFilter(3, "0.3"));
    const Case cases[] = {
        {"between, low end", between, MSRValue(int64_t{1}), true},
        {"between, high end", between, MSRValue(int64_t{3}), true},
        {"between, text", between, MSRValue("2.5"), true},
        {"between, just above", between, MSRValue(3.0001), false},
        {"equal double one step away", equal, MSRValue(0.1 + 0.2), true},
        {"equal double three steps away",
         equal, MSRValue(std::nextafter(std::nextafter(std::nextafter(0.3, 1.0), 1.0), 1.0)), false},
        {"equal decimal text exact", equal, MSRValue("0.3"), true},
        {"equal decimal text off", equal, MSRValue("0.30000000000000004"), false},
        {"greater, text", valueFilter(std::nullopt, numberFilter(2, "10")), MSRValue("12"), true},
        {"less, large integer", valueFilter(std::nullopt, numberFilter(1, "9223372036854775807")),
         MSRValue(int64_t{9223372036854775806}), true},
        {"less, operand beyond 64 bits", valueFilter(std::nullopt, numberFilter(1, "9223372036854775808")),
         MSRValue(std::numeric_limits<int64_t>::max()), true},
        {"equal, integer against a fraction", valueFilter(std::nullopt, numberFilter(3, "2.0")), MSRValue(int64_t{2}),
         true},
        {"greater, signed operand", valueFilter(std::nullopt, numberFilter(2, "+7")), MSRValue(int64_t{7}), false},
        {"text not a number", valueFilter(std::nullopt, numberFilter(2, "10")), MSRValue("12a"), kNone},
        {"infinite double", valueFilter(std::nullopt, numberFilter(2, "10")),
         MSRValue(std::numeric_limits<double>::infinity()), kNone},
        {"number wins over text", valueFilter(stringFilter(5, "x"), numberFilter(2, "1")), MSRValue(int64_t{2}), true},
        {"text filter, number value", valueFilter(stringFilter(5, "2")), MSRValue(int64_t{2}), kNone},
        {"neither", valueFilter(std::nullopt), MSRValue("x"), kNone},
        {"complement", valueFilter(stringFilter(5, "x"), std::nullopt, "", true), MSRValue("x"), false},
        {"complement of nothing", valueFilter(stringFilter(0, "x"), std::nullopt, "", true), MSRValue("x"), kNone},
        {"unknown comparison", valueFilter(std::nullopt, numberFilter(0, "1")), MSRValue(int64_t{1}), kNone},
        {"negative comparison", valueFilter(std::nullopt, numberFilter(-1, "1")), MSRValue(int64_t{1}), kNone},
        {"between without maximum", valueFilter(std::nullopt, numberFilter(4, "1")), MSRValue(int64_t{1}), kNone},
        {"operand not decimal", valueFilter(std::nullopt, numberFilter(1, "1e3")), MSRValue(2.0), kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MSRMatchFilter(c.filter, c.value), c.outcome);
    }
}

TEST_F(AudienceFilterMatchingTest, EventsMatchByNameCountsAndParameters) {
    const MSRPBNumberFilter atLeastThree = numberFilter(2, "2");
    const MSRParameters parameters{{"level", MSRValue(int64_t{5})}, {"item", MSRValue("sword")}};
    struct Case {
        const char* name;
        MSRPBEventFilter filter;
        std::string eventName;
        MSREventAggregates counts;
        Outcome outcome;
    };
    const Case cases[] = {
        {"name only", eventFilter(0, "buy"), "buy", aggregates("buy", 1, 1), true},
        {"other name", eventFilter(0, "buy"), "sell", aggregates("sell", 1, 1), kNone},
        {"lifetime count", eventFilter(0, "buy", {}, atLeastThree), "buy", aggregates("buy", 3, 1), true},
        {"session count", eventFilter(0, "buy", {}, atLeastThree, {.session = true}), "buy", aggregates("buy", 3, 1),
         false},
        {"aggregates of another name", eventFilter(0, "buy", {}, atLeastThree), "buy", aggregates("sell", 3, 3), kNone},
        {"parameters hold",
         eventFilter(0, "buy",
                     {valueFilter(std::nullopt, numberFilter(2, "4"), "level"), valueFilter(stringFilter(4, "wor"), std::nullopt, "item")}),
         "buy", aggregates("buy", 1, 1), true},
        {"one parameter fails",
         eventFilter(0, "buy", {valueFilter(std::nullopt, numberFilter(2, "9"), "level")}), "buy", aggregates("buy", 1, 1),
         false},
        {"parameter missing", eventFilter(0, "buy", {valueFilter(stringFilter(5, "x"), std::nullopt, "colour")}), "buy",
         aggregates("buy", 1, 1), kNone},
        {"text parameter, number filter", eventFilter(0, "buy", {valueFilter(std::nullopt, numberFilter(2, "1"), "item")}),
         "buy", aggregates("buy", 1, 1), kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MSRMatchEventFilter(c.filter, c.eventName, parameters, c.counts), c.outcome);
    }

    auto property = [](MSRValue value) { return *MSRUserAttribute::initWithOrigin("app", "tier", std::move(value), 1); };
    EXPECT_EQ(MSRMatchPropertyFilter(propertyFilter(0, "tier", valueFilter(std::nullopt, numberFilter(2, "10"))),
                                     property(MSRValue("12"))),
              true);
    EXPECT_EQ(MSRMatchPropertyFilter(propertyFilter(0, "other", valueFilter(stringFilter(5, "x"))), property(MSRValue("x"))),
              kNone);
    EXPECT_EQ(MSRMatchPropertyFilter(propertyFilter(0, "tier", std::nullopt), property(MSRValue("x"))), kNone);
}

TEST_F(AudienceFilterMatchingTest, DefinitionsAreCheckedInOrder) {
    MSRRemoteConfig config;  // 10 filters per audience, 25 parameters per filter
    const MSRPBFilter text = valueFilter(stringFilter(5, "x"), std::nullopt, "p");
    std::vector<MSRPBEventFilter> eleven;
    for (int32_t id = 0; id < 11; ++id) eleven.push_back(eventFilter(id, "e"));
    std::vector<MSRPBFilter> manyParameters(26, text);
    MSRPBNumberFilter floatCount = numberFilter(2, "1");
    MSRPBSetBool(floatCount, MSRNumberFilterSlot::kFloatComparison, true);
    struct Case {
        const char* name;
        MSRPBAudience audience;
        int64_t code;  // 0: valid
        const char* description;
    };
    const Case cases[] = {
        {"valid", audience(1, {eventFilter(0, "e", {text})}, {propertyFilter(1, "p", text)}), 0, ""},
        {"no ID", audience(std::nullopt, {eventFilter(0, "e")}), 9, "Missing audience ID"},
        {"negative ID", audience(-1, {eventFilter(0, "e")}), 9, "Audience ID is negative"},
        {"accepted before", audience(5, {eventFilter(0, "e")}), 9, "Duplicate audience ID"},
        {"no filters", audience(1, {}), 9, "Audience missing filters arrays"},
        {"too many filters", audience(1, eleven), 9, "Audience filter count out of range"},
        {"event without name", audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
        {"filter ID too large", audience(1, {eventFilter(10, "e")}), 10, "Event filter ID is out of range"},
        {"same filter ID", audience(1, {eventFilter(2, "e"), eventFilter(2, "f")}), 10, "Duplicate event filter ID"},
        {"float count", audience(1, {eventFilter(0, "e", {}, floatCount)}), 10, "Event filter has float event count filter"},
        {"bad count", audience(1, {eventFilter(0, "e", {}, numberFilter(2, "x"))}), 10,
         "Event filter has invalid event count filter"},
        {"too many parameters", audience(1, {eventFilter(0, "e", manyParameters)}), 10,
         "Event filter parameters filters count out of range"},
        {"parameter without name", audience(1, {eventFilter(0, "e", {valueFilter(stringFilter(5, "x"))})}), 10,
         "Event filter missing parameter name"},
        {"both kinds", audience(1, {eventFilter(0, "e", {valueFilter(stringFilter(5, "x"), numberFilter(2, "1"), "p")})}),
         10, "Event filter must have exactly one of number or string filter"},
        {"pattern RE2 refuses", audience(1, {eventFilter(0, "e", {valueFilter(stringFilter(1, "(a)\\1"), std::nullopt, "p")})}),
         10, "Event filter has invalid string filter"},
        // 4.8 MB of program under RE2's default memory, compiled at every start.
        {"pattern over its memory",
         audience(1, {eventFilter(0, "e", {valueFilter(stringFilter(1, "(\\pL{1,20}){1,20}"), std::nullopt, "p")})}), 10,
         "Event filter has invalid string filter"},
        {"property pattern over its memory",
         audience(1, {}, {propertyFilter(0, "p", valueFilter(stringFilter(1, "\\pL{1,40}", true)))}), 11,
         "Property filter has invalid string filter"},
        {"property and event share an ID", audience(1, {eventFilter(3, "e")}, {propertyFilter(3, "p", text)}), 11,
         "Duplicate property filter ID"},
        {"property without filter", audience(1, {}, {propertyFilter(0, "p", std::nullopt)}), 11,
         "Property filter has no filter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRError error;
        EXPECT_EQ(MSRValidateAudience(c.audience, {5}, config, &error), c.code == 0);
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
}
