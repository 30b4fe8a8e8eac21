#include "MonitorHarness.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/support/MSRRemoteConfig.h"

#include <gtest/gtest.h>

namespace {

using foundation::Value;

MSRValue I(int64_t v) {
    return MSRValue(v);
}
MSRValue S(std::string v) {
    return MSRValue(std::move(v));
}

// Settings as a test wants them; the validator reads them at each call.
struct CleaningFixture : ::testing::Test {
    void SetUp() override { MSRDataTypeValidator::setRemoteConfig(config); }
    void TearDown() override { MSRDataTypeValidator::setRemoteConfig(nullptr); }
    void settings(std::map<std::string, MSRSettingValue> values) { config->setServerSettings(values); }

    MonitorHarness h;
    std::shared_ptr<MSRRemoteConfig> config = std::make_shared<MSRRemoteConfig>();
};

Value item(Value::Dictionary d) {
    return Value(std::move(d));
}

Value itemList(int count) {
    Value::List list;
    for (int i = 0; i < count; ++i) list.push_back(item({{"item_id", Value("id" + std::to_string(i))}}));
    return Value(std::move(list));
}

// The error record of a cleaned dictionary: "_err", "_ev", "_el" (absent: -1 / "").
struct ErrorRecord {
    int64_t err = -1;
    std::string ev;
    int64_t el = -1;
    bool operator==(const ErrorRecord&) const = default;
};

ErrorRecord errorOf(const MSRParameters& p) {
    ErrorRecord r;
    if (p.contains("_err")) r.err = p.at("_err").int64Value();
    if (p.contains("_ev")) r.ev = *p.at("_ev").stringValue();
    if (p.contains("_el")) r.el = p.at("_el").int64Value();
    return r;
}

std::ostream& operator<<(std::ostream& os, const ErrorRecord& r) {
    return os << "{" << r.err << ", \"" << r.ev << "\", " << r.el << "}";
}

}  // namespace

TEST_F(CleaningFixture, ProblemsBecomeTheFirstErrorRecord) {
    settings({{"measurement.upload.max_event_parameter_value_length", std::string("100")}});
    const std::string long45 = repeat("n", 45);
    struct Case {
        const char* what;
        std::string event;
        bool isPublic;
        MSRObjectDictionary input;
        std::vector<std::string> kept;  // names left besides the error record
        ErrorRecord error;
    };
    const std::string e = "kal_calculate";
    const Value badItem(Value::List{item({{"item_id", Value("a")}}), item({{"item_id", Value("b")}}),
                                    item({{"item_id", Value("c")}}), Value("oops")});
    // clang-format off
    const Case cases[] = {
        {"clean input", e, true, {{"steps", Value(3)}, {"form", Value("log")}}, {"form", "steps"}, {}},
        {"text too long", e, true, {{"a", Value(repeat("x", 101))}, {"b", Value(1)}}, {"b"}, {4, "a", 101}},
        {"non-Latin text measured in code points", e, true, {{"a", Value(repeat("ж", 100))}}, {"a"}, {}},
        {"reserved prefix", e, true, {{"za_x", Value(1)}, {"b", Value(1)}}, {"b"}, {14, "za_x", -1}},
        {"long name", e, true, {{long45, Value(1)}, {"b", Value(1)}}, {"b"}, {3, repeat("n", 40) + "...", 45}},
        {"first problem wins (alphabetical order)", e, true,
         {{"a-b", Value(1)}, {"b", Value(repeat("x", 101))}, {"c", Value(1)}}, {"c"}, {3, "a-b", -1}},
        {"everything invalid", e, true, {{"1a", Value(1)}, {"2b", Value(2)}}, {}, {3, "1a", -1}},
        {"unsupported value type", e, true, {{"a", Value::null()}, {"b", Value(1)}}, {"b"}, {}},
        {"internal event keeps underscore names", "_vs", false, {{"_sn", Value("Calc")}}, {"_sn"}, {}},
        {"items on a non-ecommerce event", e, true, {{"items", itemList(2)}, {"b", Value(1)}}, {"b"}, {21, e, -1}},
        {"list not named items", "purchase", true, {{"goods", itemList(2)}, {"b", Value(1)}}, {"b"}, {20, "goods", -1}},
        {"250 items keep 200", "purchase", true, {{"items", itemList(250)}}, {"items"}, {17, "items", -1}},
        {"item not a dictionary", "purchase", true, {{"items", badItem}}, {"items"}, {4, "items[3]", -1}},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::optional<MSRParameters> out = MSRCleanEventParameters(c.input, c.event, c.isPublic, false);
        ASSERT_TRUE(out) << c.what;
        MSRParameters rest = *out;
        for (const char* name : {"_err", "_ev", "_el"}) rest.erase(name);
        std::vector<std::string> kept;
        for (const auto& entry : rest) kept.push_back(entry.first);
        EXPECT_EQ(kept, c.kept) << c.what;
        EXPECT_EQ(errorOf(*out), c.error) << c.what;
    }
    EXPECT_FALSE(MSRCleanEventParameters({}, "kal_calculate", true, false));
}

TEST_F(CleaningFixture, ItemListsAreCleanedItemByItem) {
    settings({{"measurement.item_scoped_custom_parameter_enabled", std::string("0")}});
    MSRObjectDictionary input{
        {"items", Value(Value::List{item({{"item_id", Value("a")}, {"colour", Value("red")}}),
                                    item({{"price", Value(2.5)}})})}};
    std::optional<MSRParameters> out = MSRCleanEventParameters(input, "purchase", true, false);
    ASSERT_TRUE(out);
    const MSRValueList& items = *out->at("items").arrayValue();
    ASSERT_EQ(items.size(), 2u);
    // The custom parameter is gone and the item itself carries the record.
    EXPECT_EQ(items[0], (MSRParameters{{"item_id", S("a")}, {"_err", I(23)}}));
    EXPECT_EQ(items[1], (MSRParameters{{"price", MSRValue(2.5)}}));
    EXPECT_FALSE(out->contains("_err"));

    // Enabled, the item keeps up to the limit and records 28 beyond it.
    settings({{"measurement.upload.max_item_scoped_custom_parameters", std::string("10")}});
    Value::Dictionary wide{{"item_id", Value("a")}};
    for (int i = 0; i < 12; ++i) wide["c" + std::to_string(10 + i)] = Value(i);
    out = MSRCleanEventParameters({{"items", Value(Value::List{Value(wide)})}}, "purchase", true, false);
    const MSRParameters& first = out->at("items").arrayValue()->front();
    EXPECT_EQ(first.size(), 12u);  // item_id, ten custom names, "_err"
    EXPECT_EQ(first.at("_err"), I(28));
    EXPECT_TRUE(first.contains("c19"));
    EXPECT_FALSE(first.contains("c20"));
}

TEST_F(CleaningFixture, TrimmingDropsTheAlphabeticallyLastCustomNamesDownToTheFirst) {
    settings({{"measurement.upload.max_public_event_params", std::string("25")}});
    MSRObjectDictionary input;
    for (int i = 0; i < 30; ++i) input["p" + std::to_string(10 + i)] = Value(i);
    input["_sn"] = MSRValue("Calc");
    std::optional<MSRParameters> out = MSRCleanEventParameters(input, "_vs", false, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(MSRCountCustomParameters(*out, false), 25);
    EXPECT_TRUE(out->contains("p34"));
    EXPECT_FALSE(out->contains("p35"));
    EXPECT_TRUE(out->contains("_sn"));
    EXPECT_EQ(out->at("_err"), I(5));

    // Exactly at the limit nothing goes and nothing is recorded; one more
    // name is one too many. Events and items each against their own limit.
    settings({{"measurement.upload.max_public_event_params", std::string("25")},
              {"measurement.item_scoped_custom_parameter_enabled", std::string("1")},
              {"measurement.upload.max_item_scoped_custom_parameters", std::string("10")}});
    struct CountLimitCase {
        int custom;
        bool nested;
        int64_t kept;
        int64_t err;  // -1: none
    };
    const CountLimitCase limitCases[] = {
        {25, false, 25, -1}, {26, false, 25, 5}, {10, true, 10, -1}, {11, true, 10, 28}};
    for (const CountLimitCase& c : limitCases) {
        MSRObjectDictionary parameters{{"_sn", MSRValue("Calc")}};
        for (int i = 0; i < c.custom; ++i) parameters["p" + std::to_string(10 + i)] = Value(i);
        out = MSRCleanEventParameters(parameters, "_vs", false, c.nested);
        ASSERT_TRUE(out);
        EXPECT_EQ(MSRCountCustomParameters(*out, c.nested), c.kept) << c.custom << (c.nested ? " in an item" : "");
        EXPECT_EQ(errorOf(*out).err, c.err) << c.custom << (c.nested ? " in an item" : "");
        EXPECT_TRUE(out->contains("_sn"));
    }

    // With a limit of 0 the walk must reach the first name too.
    struct Case {
        MSRParameters in;
        int64_t limit;
        bool itemMode;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {{{"a", I(1)}}, 0, false, {}},
        {{{"a", I(1)}, {"b", I(1)}}, 0, false, {}},
        {{{"_x", I(1)}, {"a", I(1)}}, 0, false, {"_x"}},
        {{{"a", I(1)}, {"price", I(1)}}, 0, true, {"price"}},
        {{{"a", I(1)}, {"b", I(1)}, {"c", I(1)}}, 2, false, {"a", "b"}},
    };
    for (const Case& c : cases) {
        MSRParameters p = c.in;
        MSRTrimCustomParameters(p, c.limit, c.itemMode);
        std::vector<std::string> left;
        for (const auto& entry : p) left.push_back(entry.first);
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(CleaningFixture, ErrorRecordsAreWrittenOnceAndCutInCodePoints) {
    settings({{"measurement.upload.max_event_parameter_value_length", std::string("100")}});
    MSRParameters p;
    MSRSetErrorParameters(p, 4, "first", 40, nullptr);
    MSRSetErrorParameters(p, 3, "second", 40, nullptr);
    MSRSetErrorCodeIfAbsent(p, 9);
    EXPECT_EQ(errorOf(p), (ErrorRecord{4, "first", -1}));

    // Cutting never splits a character: 41 four-byte characters keep 40.
    MSRParameters q;
    const MSRValue value(repeat("😀", 41));
    MSRSetErrorValueParameters(q, *value.stringValue(), 40, &value);
    EXPECT_EQ(errorOf(q), (ErrorRecord{-1, repeat("😀", 40) + "...", 41}));

    // A conversion value that is not a number is dropped with its own code.
    MSRParameters notNumeric{{"value", S("lots")}, {"currency", S("EUR")}};
    EXPECT_FALSE(MSRCheckConversionValue(notNumeric));
    EXPECT_EQ(errorOf(notNumeric), (ErrorRecord{18, "value", -1}));

    // An internal "_ev" longer than the internal limit is cut, its length kept.
    std::optional<MSRParameters> out =
        MSRCleanEventParameters({{"_ev", Value(repeat("e", 300))}, {"_err", Value(4)}}, "_err", false, false);
    EXPECT_EQ(errorOf(*out), (ErrorRecord{4, repeat("e", 256) + "...", 300}));
    out = MSRCleanEventParameters({{"_ev", Value(repeat("e", 256) + "...")}}, "_err", false, false);
    EXPECT_EQ(errorOf(*out).ev, repeat("e", 256) + "...");
    EXPECT_EQ(errorOf(*out).el, -1);

    // The internal limit here is 256 characters: a text of exactly that
    // many, in any script, stays as it is and gets no "_el".
    struct EvLengthCase {
        std::string ev;
        ErrorRecord error;
    };
    const EvLengthCase evCases[] = {
        {repeat("e", 255), {-1, repeat("e", 255), -1}},
        {repeat("e", 256), {-1, repeat("e", 256), -1}},
        {repeat("ж", 256), {-1, repeat("ж", 256), -1}},
        {repeat("e", 257), {-1, repeat("e", 256) + "...", 257}},
        {repeat("ж", 257), {-1, repeat("ж", 256) + "...", 257}},
    };
    for (const EvLengthCase& c : evCases) {
        out = MSRCleanEventParameters({{"_ev", Value(c.ev)}}, "_err", false, false);
        ASSERT_TRUE(out);
        EXPECT_EQ(errorOf(*out), c.error) << msr_UTF32Length(c.ev) << " characters";
    }
}

TEST_F(CleaningFixture, ErrorEventsGoToTheInstalledLogger) {
    std::vector<std::pair<std::string, MSRParameters>> logged;
    MSRSetInternalEventLogger([&](const std::string& origin, const std::string& name,
                                  const MSRParameters& p) { logged.emplace_back(origin + "/" + name, p); });
    MSRLogErrorEvent(0);
    MSRLogErrorEvent(8);
    const MSRValue shortValue("ok");
    const MSRValue longValue(repeat("v", 50));
    MSRLogErrorEventWithValue(13, "name", 40, &shortValue);
    MSRLogErrorEventWithValue(13, "name", 40, &longValue);
    MSRLogErrorEventWithValue(7, "name", 40, &shortValue);
    // Back to the facade's road, which later tests in this process expect.
    MSRSetInternalEventLogger([](const std::string& origin, const std::string& name, const MSRParameters& p) {
        MSRAnalytics::logInternalEventWithOrigin(origin, name, MSRObjectsFromParameters(p));
    });
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(logged[0].first, "auto/_err");
    EXPECT_EQ(errorOf(logged[0].second), (ErrorRecord{8, "", -1}));
    EXPECT_EQ(errorOf(logged[1].second), (ErrorRecord{13, "name", -1}));
    EXPECT_EQ(errorOf(logged[2].second), (ErrorRecord{13, "name", 50}));
    EXPECT_EQ(errorOf(logged[3].second), (ErrorRecord{7, "name", 2}));
}
