#include <gtest/gtest.h>

#include <cstdlib>

#include "Calvaro/engine/Digit.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/engine/LocalizedString.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

// The step titles below are pinned in English whatever the machine's locale.
const bool kEnglish = [] { return setenv("CALVARO_LANGUAGE", "en", 1) == 0; }();

TEST(Digit, ValueFollowsConstantsInOrder) {
    EXPECT_FALSE(Digit(std::nullopt, 1).value().has_value());
    EXPECT_EQ(*digit(-6, -4).value(), 1.5);
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

TEST(StepTitle, OnlyNumberedStepsCount) {
    ASSERT_TRUE(kEnglish);
    KalStringOutput output;
    output.appendStep(LocalizedString::yourInput(), "f(x) = 2");
    EXPECT_EQ(output.stepTitle(LocalizedString::domainOfDefinition()), "Step 1    Domain of definition");
    EXPECT_EQ(output.stepTitle("Zero"), "Step 2    Zero");
    EXPECT_EQ(output.solutionSteps().size(), 1u);  // a title appends nothing
    // The Calculate flow clears by setting the fields directly.
    output.setSolutionSteps({});
    output.setSolutionStepCounter(0);
    EXPECT_EQ(output.stepTitle("Zero"), "Step 1    Zero");
}

}  // namespace
