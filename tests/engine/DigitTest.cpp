#include <gtest/gtest.h>

#include <cstdlib>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/LocalizedString.h"
#include "Calvaro/engine/Quadrant.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/StringsFile.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

// The step titles below are pinned in English whatever the machine's locale.
const bool kEnglish = [] { return setenv("CALVARO_LANGUAGE", "en", 1) == 0; }();

TEST(Digit, ValueFollowsConstantsInOrder) {
    EXPECT_FALSE(Digit(std::nullopt, 1).value().has_value());
    EXPECT_EQ(*digit(0).value(), 0.0);
    EXPECT_EQ(*digit(-6, -4).value(), 1.5);
    EXPECT_EQ(*digit(2, 3, {pi()}).value(), 2.0 / 3.0 * 3.141592653589793);
    EXPECT_EQ(*digit(1, 2, {pi()}, {e()}).value(), 1.0 / 2.0 * 3.141592653589793 / 2.718281828459045);
}

TEST(Digit, InvertTwiceGivesBackTheFieldsAndBlankIsRefused) {
    Digit d = digit(3, 4, {pi()});
    d.setZVariable("x");
    d.setPowerOfZVariable(2);
    ASSERT_TRUE(d.invert());
    EXPECT_TRUE(d.z() == 4.0 && d.n() == 3.0 && d.zConstants().empty() && d.nConstants() == NaturalConstants{pi()});
    EXPECT_TRUE(d.zVariable().empty() && d.nVariable() == "x" && d.powerOfNVariable() == 2.0);
    Digit copy(std::nullopt, 1);
    copy.assign(d);  // values, not references
    ASSERT_TRUE(d.invert());
    EXPECT_TRUE(d.z() == 3.0 && d.n() == 4.0 && d.zConstants() == NaturalConstants{pi()} && d.zVariable() == "x");
    EXPECT_TRUE(copy.z() == 4.0 && copy.nConstants() == NaturalConstants{pi()} && copy.nVariable() == "x");
    Digit blank(std::nullopt, 5);
    EXPECT_FALSE(blank.invert());
    EXPECT_TRUE(!blank.z() && blank.n() == 5.0);
}

TEST(NaturalConstant, EqualOnlyWhenAllFieldsAgree) {
    EXPECT_EQ(pi(), pi());
    EXPECT_FALSE(pi() == NaturalConstant("π", "\\Pi", 3.141592653589793));
    EXPECT_FALSE((NaturalConstants{pi(), e()} == NaturalConstants{e(), pi()}));
    EXPECT_FALSE((NaturalConstants{pi()} == NaturalConstants{pi(), pi()}));
}

TEST(Quadrant, RawValuesRoundTripExactly) {
    const std::pair<const char*, std::optional<Quadrant>> cases[] = {
        {"I", Quadrant::first}, {"II", Quadrant::second}, {"III", Quadrant::third}, {"IV", Quadrant::fourth},
        {"iv", std::nullopt},   {"V", std::nullopt},      {"", std::nullopt},       {"IV ", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(quadrantFromRawValue(text), expected) << text;
        EXPECT_EQ(expected ? rawValue(*expected) : "none", expected ? text : "none");
    }
}

TEST(StepTitle, OnlyNumberedStepsCount) {
    ASSERT_TRUE(kEnglish);
    KalStringOutput output;
    output.appendStep(LocalizedString::yourInput(), "f(x) = 2");
    EXPECT_EQ(output.stepTitle(LocalizedString::domainOfDefinition()), "Step 1    Domain of definition");
    EXPECT_EQ(output.stepTitle("Zero"), "Step 2    Zero");
    EXPECT_EQ(output.solutionSteps().size(), 1u);  // a title appends nothing
    EXPECT_EQ(LocalizedString::calculateVerb(), "Calculate");  // key and text differ in the table

    // The Calculate flow clears by setting the fields directly.
    output.setSolutionSteps({});
    output.setSolutionStepCounter(0);
    EXPECT_EQ(output.stepTitle("Zero"), "Step 1    Zero");
}

TEST(LocalizedString, BothTablesTranslateEveryKey) {
    const char* keys[] = {"Fill in your given numbers:", "Your Input", "Expand", "Modified Input", "Step",
                          "recommendedVideoIfUnclear", "touchToUnlock", "Calculate Verb", "Cancel", "Rate",
                          "Send", "Close", "Thanks", "error", "Cancel (math)", "Domain of definition",
                          "Range of values", "Zero", "Asymptote", "Inverse function"};
    for (const char* language : {"en", "de"}) {
        std::string text;
        ASSERT_TRUE(foundation::FileSystem::readFile(
            foundation::Bundle::main().resourcePath() / (std::string(language) + ".lproj/Localizable.strings"), text));
        const auto table = foundation::parseStringsFile(text);
        ASSERT_TRUE(table.has_value()) << language;
        for (const char* key : keys) EXPECT_TRUE(table->count(key)) << language << ": " << key;
    }
}

}  // namespace
