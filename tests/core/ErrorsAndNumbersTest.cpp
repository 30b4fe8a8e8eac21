#include "MonitorHarness.h"

#include "analytics/support/MSRError.h"
#include "analytics/support/MSRLogContext.h"
#include "analytics/support/MSRNumericUtil.h"
#include "platform/security/Random.h"

#include <gtest/gtest.h>

namespace {

TEST(ErrorTest, CheckFunctionsReportFailuresThroughOptionalPointer) {
    int object = 0;
    // clang-format off
    const std::pair<std::function<bool(MSRError*)>, bool> cases[] = {
        {[](MSRError* e) { return MSRCheckSuccess(false, e, 2, "d"); }, false},
        {[&](MSRError* e) { return MSRCheckNotNil(&object, e, 2, "d"); }, true},
        {[](MSRError* e) { return MSRCheckNotNil(nullptr, e, 2, "d"); }, false},
        {[](MSRError* e) { return MSRCheckNotNull(nullptr, e, 2, "d"); }, false},
        {[](MSRError* e) { return MSRCheckNonZero(0, e, 2, "d"); }, false},
    };
    // clang-format on
    for (const auto& [check, passes] : cases) {
        MSRError error("untouched", 99);
        EXPECT_EQ(check(&error), passes);
        EXPECT_EQ(error, passes ? MSRError("untouched", 99) : MSRError::msr_errorWithCode(2, "d"));
        EXPECT_EQ(check(nullptr), passes);
    }
}

TEST(ErrorTest, MonitorContextsAreCollectedFromEngineErrorsOnly) {
    std::vector<MSRLogContext> items{
        MSRError::msr_errorWithCode(1, "x", "A"),
        "text",
        MSRError("other.domain", 1, {{MSRError::kMonitorContextKey, "X"}}),
        MSRError::msr_errorWithCode(1, "x", ""),
        MSRError::msr_errorWithCode(1, "x", "B"),
    };
    EXPECT_EQ(MSRMonitorContextsFromErrors(items), "A,B");
}

TEST(ErrorTest, ALogContextIsCutToAKibibyteAtACharacterBoundary) {
    const size_t limit = MSRLogContext::kMaxTextBytes;
    // "é" is two bytes: one that straddles the limit is cut before it.
    const std::string straddling = std::string(limit - 1, 'a') + "\xC3\xA9" + "b";
    const struct {
        MSRLogContext context;
        std::string description;
    } cases[] = {
        {MSRLogContext(std::string(limit, 'n')), std::string(limit, 'n')},
        {MSRLogContext(std::string(size_t{16} << 20, 'n')), std::string(limit, 'n') + "..."},
        {MSRLogContext(std::string_view(straddling)), std::string(limit - 1, 'a') + "..."},
        {MSRLogContext(straddling.c_str()), std::string(limit - 1, 'a') + "..."},
        {MSRLogContext(MSRLogContext::Object{"C", std::string(limit + 1, 'o')}), std::string(limit, 'o') + "..."},
    };
    for (const auto& c : cases) EXPECT_EQ(c.context.description(), c.description);
}

TEST(NumericTest, DecimalNumberTextsAreRecognised) {
    // clang-format off
    const std::pair<const char*, bool> cases[] = {
        {"12", true}, {"+12", true}, {"-12", true}, {"12.", true}, {"12.5", true}, {".5", true}, {"-.5", true},
        {"", false}, {"1e5", false}, {"1,5", false}, {" 12", false}, {"12 ", false}, {"--1", false},
        {".", false}, {"1.2.3", false}, {"٣", false},
    };
    // clang-format on
    for (const auto& [text, accepted] : cases) {
        EXPECT_EQ(MSRIsDecimalNumberString(text), accepted) << '"' << text << '"';
    }
}

TEST(NumericTest, DecimalNumbersConvertOnlyWithoutLoss) {
    // Each text gives its canonical number, or nothing and the key of the logged refusal.
    const std::string refused = "1E_110100:Unable to create a NSDecimalNumber from string value";
    const std::string notNumeric = "1E_110100:String value does not represent a numeric value. Value";
    const std::string digits38 = "12345678901234567890123456789012345678";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"0.1", "0.1"},
        {"1.", "1"},
        {"1.50", "1.5"},
        {"007", "7"},
        {"-.5", "-0.5"},
        {"-0", "0"},
        {digits38, digits38},
        {digits38 + "0000", digits38 + "0000"},  // beyond 38 significant digits only zeros may be dropped
        {"1.00000000000000000000000000000000000000001", refused + ": loss of precision. Value"},
        {digits38 + "9", refused + ": loss of precision. Value"},
        {" 5", notNumeric},
        {"abc", notNumeric},
        {"1" + std::string(200, '0'), refused + ". Value"},
    };
    // clang-format on
    for (const auto& [text, expected] : cases) {
        MonitorHarness h;
        auto number = MSRDecimalNumberFromString(text);
        EXPECT_EQ(number ? number->description() + h.sampled() : h.sampled(), expected) << text;
    }
}

TEST(NumericTest, DecimalNumbersCompareByValue) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.50", "1.5", 0}, {"0", "-0", 0}, {"-3", "-2.5", -1}, {"-0.001", "0", -1}, {"0.1", "0.0999", 1}};
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(MSRDecimalNumber::fromString(a)->compare(*MSRDecimalNumber::fromString(b)), order) << a;
    }
    EXPECT_DOUBLE_EQ(MSRDecimalNumber::fromString("-12.5")->doubleValue(), -12.5);
}

TEST(NumericTest, RandomIntegersComeFromTheSecureSourceAndFailuresAreLogged) {
    MonitorHarness h;
    security::ScriptedRandomSource source({1, 0, 0, 0, 0, 0, 0, 0});
    security::setRandomSource(&source);
    EXPECT_EQ(MSRNumericUtil::randomInt64(), 1);  // the machine's byte order
    EXPECT_EQ(MSRNumericUtil::randomInt64(), 0);  // the script ran out
    security::setRandomSource(nullptr);
    EXPECT_EQ(h.sampled(), "1W_110100:Unable to generate random integer");
}

}  // namespace
