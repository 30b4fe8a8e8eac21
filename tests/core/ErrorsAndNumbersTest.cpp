#include "MonitorHarness.h"

#include "analytics/core/support/MSRError.h"
#include "analytics/core/support/MSRLogContext.h"
#include "analytics/core/support/MSRNumericUtil.h"

#include <gtest/gtest.h>

namespace {

TEST(ErrorTest, ErrorsKeepOnlyNonEmptyUserInformation) {
    MSRError bare = MSRError::msr_errorWithCode(1, "", "");
    EXPECT_EQ(bare.domain(), "app.calvaro.analytics.ErrorDomain");
    EXPECT_EQ(bare.code(), 1);
    EXPECT_TRUE(bare.userInfo().empty());

    MSRError full = MSRError::msr_errorWithCode(3, "Failed to end transaction", "sqlite,5");
    EXPECT_EQ(full.localizedDescription(), "Failed to end transaction");
    EXPECT_EQ(full.monitorContext(), "sqlite,5");
    EXPECT_EQ(full.userInfo().size(), 2u);
}

TEST(ErrorTest, CheckFunctionsReportFailuresThroughOptionalPointer) {
    int object = 0;
    struct Case {
        const char* name;
        std::function<bool(MSRError*)> check;
        bool passes;
    };
    const Case cases[] = {
        {"success", [](MSRError* e) { return MSRCheckSuccess(true, e, 2, "d"); }, true},
        {"failure", [](MSRError* e) { return MSRCheckSuccess(false, e, 2, "d"); }, false},
        {"not nil", [&](MSRError* e) { return MSRCheckNotNil(&object, e, 2, "d"); }, true},
        {"nil", [](MSRError* e) { return MSRCheckNotNil(nullptr, e, 2, "d"); }, false},
        {"null", [](MSRError* e) { return MSRCheckNotNull(nullptr, e, 2, "d"); }, false},
        {"non-zero", [](MSRError* e) { return MSRCheckNonZero(7, e, 2, "d"); }, true},
        {"zero", [](MSRError* e) { return MSRCheckNonZero(0, e, 2, "d"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MSRError error = MSRError("untouched", 99);
        EXPECT_EQ(c.check(&error), c.passes);
        EXPECT_EQ(error, c.passes ? MSRError("untouched", 99) : MSRError::msr_errorWithCode(2, "d"));
        EXPECT_EQ(c.check(nullptr), c.passes);
    }
    MSRError error;
    MSRSetErrorWithMonitorContext(&error, 3, "desc", "ctx");
    EXPECT_EQ(error.monitorContext(), "ctx");
    MSRSetError(nullptr, 1, "ignored");
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
    EXPECT_EQ(MSRMonitorContextsFromErrors({}), "");
}

TEST(NumericTest, DecimalNumberTextsAreRecognised) {
    const std::pair<const char*, bool> cases[] = {
        {"12", true},  {"+12", true}, {"-12", true}, {"12.", true},  {"12.5", true},
        {".5", true},  {"-.5", true}, {"", false},   {"1e5", false}, {"1,5", false},
        {" 12", false}, {"12 ", false}, {"--1", false}, {".", false}, {"1.2.3", false},
        {"٣", false},
    };
    for (const auto& [text, accepted] : cases) {
        EXPECT_EQ(MSRIsDecimalNumberString(text), accepted) << '"' << text << '"';
    }
}

TEST(NumericTest, DecimalNumbersConvertOnlyWithoutLoss) {
    struct Case {
        std::string text;
        std::optional<std::string> value;  // canonical text, nothing when refused
        std::string loggedMessage;         // of the refusal
    };
    const std::string notNumeric = "1E_110100:String value does not represent a numeric value. Value";
    const std::string lossy =
        "1E_110100:Unable to create a NSDecimalNumber from string value: loss of precision. Value";
    const std::string unable = "1E_110100:Unable to create a NSDecimalNumber from string value. Value";
    const Case cases[] = {
        {"0.1", "0.1", ""},
        {"1.", "1", ""},
        {"1.50", "1.5", ""},
        {"007", "7", ""},
        {"-2.5", "-2.5", ""},
        {".5", "0.5", ""},
        {"-.5", "-0.5", ""},
        {"-0", "0", ""},
        {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678", ""},
        // Beyond 38 significant digits only zeros may be dropped.
        {"123456789012345678901234567890123456780000", "123456789012345678901234567890123456780000",
         ""},
        {"1.00000000000000000000000000000000000000001", std::nullopt, lossy},
        {"123456789012345678901234567890123456789", std::nullopt, lossy},
        {" 5", std::nullopt, notNumeric},
        {"abc", std::nullopt, notNumeric},
        {"1" + std::string(200, '0'), std::nullopt, unable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MonitorHarness h;
        auto number = MSRDecimalNumberFromString(c.text);
        if (c.value) {
            ASSERT_TRUE(number);
            EXPECT_EQ(number->description(), *c.value);
            EXPECT_EQ(h.sampledKey(), "");
        } else {
            EXPECT_FALSE(number);
            EXPECT_EQ(h.sampledKey(), c.loggedMessage);
        }
    }
}

TEST(NumericTest, DecimalNumbersCompareByValue) {
    auto n = [](const char* text) { return *MSRDecimalNumber::fromString(text); };
    EXPECT_EQ(n("1.50").compare(n("1.5")), 0);
    EXPECT_EQ(n("0").compare(n("-0")), 0);
    EXPECT_LT(n("-3"), n("-2.5"));
    EXPECT_LT(n("-0.001"), n("0"));
    EXPECT_LT(n("99.9"), n("100"));
    EXPECT_LT(n("0.0999"), n("0.1"));
    EXPECT_EQ(n("1200").description(), "1200");
    EXPECT_EQ(n("0.00125").description(), "0.00125");
    EXPECT_DOUBLE_EQ(n("-12.5").doubleValue(), -12.5);
}

TEST(NumericTest, RandomIntegersVary) {
    // Eight random bytes twice alike would mean the source is not used.
    EXPECT_NE(MSRNumericUtil::randomInt64(), MSRNumericUtil::randomInt64());
}

}  // namespace
