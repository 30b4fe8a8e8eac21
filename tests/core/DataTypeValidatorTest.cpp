#include "MonitorHarness.h"
#include "analytics/core/model/MSRDataTypeValidator.h"
#include "analytics/core/model/MSRNameTables.h"
#include "analytics/core/support/MSRRemoteConfig.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Check = std::function<bool(const std::string&, int64_t*)>;

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
}

struct NameCase {
    const char* what;
    Check check;
    std::string name;
    int64_t code;  // 0: passes
};

Check V(bool (*f)(std::string_view, int64_t*)) {
    return [f](const std::string& s, int64_t* c) { return f(s, c); };
}

}  // namespace

TEST(DataTypeValidatorTest, NamesKeepTheirLimitsPrefixesAndCharacters) {
    MonitorHarness h;
    using D = MSRDataTypeValidator;
    const Check publicEvent = V(&D::isValidPublicEventName);
    const Check internalEvent = V(&D::isValidInternalEventName);
    const Check publicParam = V(&D::isValidPublicEventParameterName);
    const Check internalParam = V(&D::isValidInternalEventParameterName);
    const Check publicProperty = V(&D::isValidPublicUserAttributeName);
    const Check internalProperty = V(&D::isValidInternalUserAttributeName);
    const Check origin = V(&D::isValidInternalEventOrigin);
    const Check forwarded = V(&D::isValidForwardedEventOrigin);
    const Check cupOrigin = V(&D::isValidConditionalUserPropertyOrigin);
    const Check cupName = V(&D::isValidConditionalUserPropertyName);
    // Greek letters take two UTF-8 bytes; CJK three; the emoji four (and is no letter).
    const std::string greek = "α";
    const std::string cjk = "漢";
    const NameCase cases[] = {
        {"40 letters", publicEvent, repeat("a", 40), 0},
        {"41 letters", publicEvent, repeat("a", 41), 2},
        {"40 Greek letters (80 bytes)", publicEvent, repeat(greek, 40), 0},
        {"41 Greek letters", publicEvent, repeat(greek, 41), 2},
        {"40 CJK letters (120 bytes)", publicParam, repeat(cjk, 40), 0},
        {"41 CJK letters", internalParam, repeat(cjk, 41), 2},
        {"empty", publicEvent, "", 1},
        {"leading digit", publicEvent, "1abc", 3},
        {"leading underscore", publicEvent, "_abc", 3},
        {"leading underscore, internal", internalEvent, "_abc", 0},
        {"blank inside", internalEvent, "a b", 3},
        {"hyphen", publicParam, "a-b", 3},
        {"emoji", internalEvent, "a\xF0\x9F\x98\x80", 3},
        {"combining mark first", publicEvent,
         "\xCC\x81"
         "abc",
         3},
        {"digits and underscore", publicEvent, "a_1_2", 0},
        {"reserved event", publicEvent, "first_open", 4},
        {"screen_view allowed", publicEvent, "screen_view", 0},
        {"ad_impression allowed", publicEvent, "ad_impression", 0},
        {"vendor prefix", publicEvent, "vuzedezo_x", 4},
        {"zevure prefix", publicEvent, "zevure_x", 4},
        {"za prefix param", publicParam, "za_x", 4},
        {"reserved event name as param", publicParam, "first_open", 0},
        {"prefix passes internally", internalParam, "za_x", 0},
        {"property 24", publicProperty, repeat("p", 24), 0},
        {"property 25", publicProperty, repeat("p", 25), 2},
        {"internal property 25", internalProperty, repeat("p", 25), 2},
        {"reserved property", publicProperty, "user_id", 4},
        {"property prefix", publicProperty, "za_p", 4},
        {"internal property", internalProperty, "_id", 0},
        {"origin 32", origin, repeat("o", 32), 0},
        {"origin 33", origin, repeat("o", 33), 2},
        {"origin app", origin, "app", 0},
        {"forwarded without suffix", forwarded, "app", 6},
        {"forwarded", forwarded, "app+etm", 0},
        {"forwarded empty", forwarded, "", 1},
        {"forwarded only suffix", forwarded, "+etm", 1},
        {"forwarded 33 before suffix", forwarded, repeat("o", 33) + "+etm", 2},
        {"conditional origin 33", cupOrigin, repeat("o", 33), 2},
        {"conditional name 25", cupName, repeat("n", 25), 2},
    };
    for (const NameCase& c : cases) {
        int64_t code = -1;
        EXPECT_EQ(c.check(c.name, &code), c.code == 0) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
    }
}

TEST(DataTypeValidatorTest, ValuesKeepTheirLimits) {
    MonitorHarness h;
    h.console.setLoggerLevel(7);
    auto config = std::make_shared<MSRRemoteConfig>();
    config->setServerSettings({{"measurement.upload.max_event_parameter_value_length", std::string("100")}});
    MSRDataTypeValidator::setRemoteConfig(config);
    using D = MSRDataTypeValidator;
    struct Case {
        const char* what;
        std::function<bool(const MSRValue*, int64_t*)> check;
        std::optional<MSRValue> value;
        int64_t code;
    };
    auto internalProperty = [](std::string name) {
        return [name](const MSRValue* v, int64_t* c) {
            return D::isValidInternalUserAttributeValue(v, name, c);
        };
    };
    const Case cases[] = {
        {"public value 100", &D::isValidPublicEventParameterValue, MSRValue(repeat("v", 100)), 0},
        {"public value 101", &D::isValidPublicEventParameterValue, MSRValue(repeat("v", 101)), 2},
        {"public value empty", &D::isValidPublicEventParameterValue, MSRValue(""), 0},
        {"internal value 256", &D::isValidInternalEventParameterValue, MSRValue(repeat("v", 256)), 0},
        {"internal value 257", &D::isValidInternalEventParameterValue, MSRValue(repeat("v", 257)), 2},
        {"nil value", &D::isValidPublicEventParameterValue, std::nullopt, 1},
        {"numbers pass", &D::isValidPublicEventParameterValue, MSRValue(1e300), 0},
        {"property 36", &D::isValidPublicUserAttributeValue, MSRValue(repeat("v", 36)), 0},
        {"property 37", &D::isValidPublicUserAttributeValue, MSRValue(repeat("v", 37)), 2},
        {"property empty", &D::isValidPublicUserAttributeValue, MSRValue(""), 1},
        {"_id 256", internalProperty("_id"), MSRValue(repeat("v", 256)), 0},
        {"_id 257", internalProperty("_id"), MSRValue(repeat("v", 257)), 2},
        {"_zbraid 256", internalProperty("_zbraid"), MSRValue(repeat("v", 256)), 0},
        {"_psmvalue 512", internalProperty("_psmvalue"), MSRValue(repeat("v", 512)), 0},
        {"_psmvalue 513", internalProperty("_psmvalue"), MSRValue(repeat("v", 513)), 2},
        {"other 37", internalProperty("_x"), MSRValue(repeat("v", 37)), 2},
        {"conditional 37", &D::isValidConditionalUserPropertyValue, MSRValue(repeat("v", 37)), 2},
        {"numeric int", &D::isValidNumericValue, MSRValue(int64_t{3}), 0},
        {"numeric text", &D::isValidNumericValue, MSRValue("3"), 8},
        {"currency upper", &D::isValidCurrencyCode, MSRValue("EUR"), 0},
        {"currency lower", &D::isValidCurrencyCode, MSRValue("usd"), 0},
        {"currency non-Latin", &D::isValidCurrencyCode, MSRValue("日本円"), 0},
        {"currency digit", &D::isValidCurrencyCode, MSRValue("US1"), 9},
        {"currency four", &D::isValidCurrencyCode, MSRValue("EURO"), 9},
        {"currency number", &D::isValidCurrencyCode, MSRValue(int64_t{978}), 9},
        {"currency missing", &D::isValidCurrencyCode, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        h.takeLines();
        int64_t code = -1;
        EXPECT_EQ(c.check(c.value ? &*c.value : nullptr, &code), c.code == 0) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
    }
    // An empty user property value is refused without a line; an empty name with one.
    h.takeLines();
    MSRValue empty("");
    D::isValidPublicUserAttributeValue(&empty, nullptr);
    EXPECT_TRUE(h.takeLines().empty());
    D::isValidPublicUserAttributeName("", nullptr);
    EXPECT_EQ(h.takeLines(),
              std::vector<std::string>{
                  "<RovIdarurozaro>[I-MSR013001] User property name is required and can't be empty"});
    MSRDataTypeValidator::setRemoteConfig(nullptr);
}

TEST(DataTypeValidatorTest, ItemListsOnlyOnEcommerceEventsUnderTheirName) {
    MonitorHarness h;
    struct Case {
        std::optional<std::string_view> event;
        std::string_view param;
        int64_t count;
        bool nested;
        int64_t code;
    };
    const Case cases[] = {
        {"purchase", "items", 200, false, 0},
        {"purchase", "items", 201, false, 12},
        {"view_search_results", "items", 1, false, 0},
        {"kal_calculate", "items", 1, false, 10},
        {std::nullopt, "items", 1, false, 10},
        {"purchase", "products", 1, false, 11},
        {"purchase", "items", 1, true, 13},
    };
    for (const Case& c : cases) {
        int64_t code = -1;
        EXPECT_EQ(MSRDataTypeValidator::isValidArrayParamForEvent(c.event, c.param, c.count, c.nested, &code),
                  c.code == 0);
        EXPECT_EQ(code, c.code) << c.param << " " << c.count;
    }
    int64_t code = -1;
    EXPECT_FALSE(MSRDataTypeValidator::isValidArrayParamItem(foundation::Value("x"), &code));
    EXPECT_EQ(code, 14);
}

TEST(DataTypeValidatorTest, NameTablesMapBothWays) {
    const MSRNameMap& internal = MSRInternalEventNameMap();
    const MSRNameMap& publicNames = MSRPublicEventNameMap();
    EXPECT_EQ(internal.size(), 32u);
    EXPECT_EQ(MSRInternalParameterNameMap().size(), 54u);
    EXPECT_EQ(MSRReservedUserPropertyNameMap().size(), 10u);
    EXPECT_EQ(MSRErrorCodeNameMap().size(), 25u);
    // Every internal name maps back to a public name that maps forward to it.
    for (const auto& [publicName, internalName] : internal) {
        auto back = publicNames.find(internalName);
        ASSERT_NE(back, publicNames.end()) << internalName;
        EXPECT_EQ(internal.at(back->second), internalName);
    }
    EXPECT_EQ(publicNames.size(), 31u);  // "_cmp" has two public names
    const std::pair<const char*, const char*> pairs[] = {
        {"screen_view", "_vs"},      {"session_start", "_s"},   {"first_open", "_f"},
        {"in_app_purchase", "_iap"}, {"user_engagement", "_e"}, {"error", "_err"}};
    for (const auto& [publicName, internalName] : pairs) {
        EXPECT_EQ(internal.at(publicName), internalName);
        EXPECT_EQ(publicNames.at(internalName), publicName);
    }
    EXPECT_EQ(MSRInternalParameterNameMap().at("engagement_time_msec"), "_et");
    EXPECT_EQ(MSRReservedUserPropertyNameMap().at("user_id"), "_id");
    EXPECT_EQ(MSRErrorCodeNameMap().at(28), "ItemScopedCustomParameterLimitReached");
    EXPECT_FALSE(MSRErrorCodeNameMap().contains(24));
    EXPECT_TRUE(MSRIsEcommerceEventName("view_search_results"));
    EXPECT_FALSE(MSRIsEcommerceEventName("items"));
    EXPECT_TRUE(MSRIsItemParameterName("item_location_id"));
    EXPECT_TRUE(MSRIsDefaultConversionEventName("_iap"));
    EXPECT_FALSE(MSRIsDefaultConversionEventName("in_app_purchase"));
}

TEST(DataTypeValidatorTest, DebugNamesShowThePublicNameOnlyInDebugMode) {
    MonitorHarness h;
    EXPECT_EQ(MSRDebugEventName("_vs"), "_vs");
    h.monitor->setDebugModeEnabled(true);
    EXPECT_EQ(MSRDebugEventName("_vs"), "screen_view (_vs)");
    EXPECT_EQ(MSRDebugEventName("kal_calculate"), "kal_calculate");
    EXPECT_EQ(MSRDebugParameterName("_c"), "za_conversion (_c)");
    EXPECT_EQ(MSRDebugParameterName("_ffr"), "vuzedezo_feature_rollouts (_ffr)");
    EXPECT_EQ(MSRDebugUserPropertyName("_exp_7"), "experiment_id (_exp_7)");
    const MSRParameters parameters{
        {"b", MSRValue(int64_t{1})}, {"_err", MSRValue(int64_t{4})}, {"A", MSRValue("x")}};
    EXPECT_EQ(MSRDebugParameters(parameters, ""),
              "{\n    A = x;\n    b = 1;\n    za_error (_err) = 4 (InvalidParameterValue);\n}");
}
