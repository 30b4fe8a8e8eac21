#include "MonitorHarness.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRRemoteConfig.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Check = std::function<bool(const std::string&, int64_t*)>;

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
    // CJK letters take three UTF-8 bytes; the emoji four (and is no letter).
    const std::string cjk = "漢";
    const NameCase cases[] = {
        {"41 letters", publicEvent, repeat("a", 41), 2},
        {"40 CJK letters (120 bytes)", publicParam, repeat(cjk, 40), 0},
        {"41 CJK letters", internalParam, repeat(cjk, 41), 2},
        {"16 MiB, ill-formed past the limit", internalEvent, repeat("a", 41) + std::string(16 << 20, '\xff'), 2},
        {"empty", publicEvent, "", 1},
        {"leading digit", publicEvent, "1abc", 3},
        {"leading underscore", publicEvent, "_abc", 3},
        {"hyphen", publicParam, "a-b", 3},
        {"emoji", internalEvent, "a\xF0\x9F\x98\x80", 3},
        {"combining mark first", publicEvent, std::string("\xCC\x81") + "abc", 3},
        {"reserved event", publicEvent, "first_open", 4},
        {"screen_view allowed", publicEvent, "screen_view", 0},
        {"vendor prefix", publicEvent, "vuzedezo_x", 4},
        {"za prefix param", publicParam, "za_x", 4},
        {"reserved event name as param", publicParam, "first_open", 0},
        {"prefix passes internally", internalParam, "za_x", 0},
        {"property 25", publicProperty, repeat("p", 25), 2},
        {"reserved property", publicProperty, "user_id", 4},
        {"internal property", internalProperty, "_id", 0},
        {"origin 33", origin, repeat("o", 33), 2},
        {"forwarded without suffix", forwarded, "app", 6},
        {"forwarded", forwarded, "app+etm", 0},
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
        {"numbers pass", &D::isValidPublicEventParameterValue, MSRValue(1e300), 0},
        {"internal value 257", &D::isValidInternalEventParameterValue, MSRValue(repeat("v", 257)), 2},
        {"nil value", &D::isValidPublicEventParameterValue, std::nullopt, 1},
        {"property 37", &D::isValidPublicUserAttributeValue, MSRValue(repeat("v", 37)), 2},
        {"property empty", &D::isValidPublicUserAttributeValue, MSRValue(""), 1},
        {"_id 257", internalProperty("_id"), MSRValue(repeat("v", 257)), 2},
        {"other 37", internalProperty("_x"), MSRValue(repeat("v", 37)), 2},
        {"conditional 37", &D::isValidConditionalUserPropertyValue, MSRValue(repeat("v", 37)), 2},
        {"numeric int", &D::isValidNumericValue, MSRValue(int64_t{3}), 0},
        {"numeric text", &D::isValidNumericValue, MSRValue("3"), 8},
        {"currency lower", &D::isValidCurrencyCode, MSRValue("usd"), 0},
        {"currency non-Latin", &D::isValidCurrencyCode, MSRValue("日本円"), 0},
        {"currency four", &D::isValidCurrencyCode, MSRValue("EURO"), 9},
        {"currency digit", &D::isValidCurrencyCode, MSRValue("US1"), 9},
        {"currency number", &D::isValidCurrencyCode, MSRValue(int64_t{978}), 9},
        {"currency missing", &D::isValidCurrencyCode, std::nullopt, 1},
    };
    for (const Case& c : cases) {
        int64_t code = -1;
        EXPECT_EQ(c.check(c.value ? &*c.value : nullptr, &code), c.code == 0) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
    }
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

TEST(DataTypeValidatorTest, EveryInternalEventNameMapsBackToItsPublicName) {
    const MSRNameMap& internal = MSRInternalEventNameMap();
    const MSRNameMap& publicNames = MSRPublicEventNameMap();
    for (const auto& [publicName, internalName] : internal) {
        auto back = publicNames.find(internalName);
        ASSERT_NE(back, publicNames.end()) << internalName;
        EXPECT_EQ(internal.at(back->second), internalName);
    }
}

// Names are letters, digits and underscores of any script; the ASCII ones
// are judged without the Unicode tables, and must be judged the same.
TEST(DataTypeValidatorTest, EveryCharacterOfANameIsJudgedAsTheUnicodeTablesJudgeIt) {
    MonitorHarness h;
    for (int c = 1; c < 128; ++c) {
        const bool nameCharacter = c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const std::string inside = std::string("a") + static_cast<char>(c) + "b";
        EXPECT_EQ(MSRDataTypeValidator::isValidInternalName(inside, 40, 2, nullptr), nameCharacter) << c;
        const std::string first = std::string(1, static_cast<char>(c)) + "b";
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        EXPECT_EQ(MSRDataTypeValidator::isValidPublicName(first, 40, 2, nullptr), letter) << c;
    }
    // Beyond ASCII: a letter, a decimal digit of another script, a combining
    // mark and a currency sign.
    const std::pair<const char*, bool> others[] = {
        {"a\xC3\xA9", true}, {"a\xD9\xA3", true}, {"a\xCC\x81", false}, {"a\xE2\x82\xAC", false}};
    for (const auto& [name, valid] : others) {
        EXPECT_EQ(MSRDataTypeValidator::isValidInternalName(name, 40, 2, nullptr), valid) << name;
    }
    EXPECT_TRUE(MSRDataTypeValidator::isValidPublicName("\xC3\xA9t\xC3\xA9", 40, 2, nullptr));
}
