#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Calvaro/engine/KalDigitAnalyser.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct NumberCase {
    double value;
    NaturalConstants constants;
    bool allowInfinity;
    bool withoutBrackets;
    std::string variable;
    std::string suffix;
    std::string expected;
};

TEST(FormatNumberLatex, RenderingRules) {
    const NumberCase cases[] = {
        // Below 1e-10 in magnitude reads as 0, without a sign.
        {0.00000000001, {}, true, false, "", "", "0"}, {-0.00000000001, {}, true, false, "", "", "0"},
        {-0.0, {}, true, false, "", "", "0"}, {1e-10, {}, true, false, "", "", "0.0000000001"},
        // The 1e12 threshold: exactly 1e12 is still a number.
        {1e12, {}, true, false, "", "", "1000000000000"}, {1.0000001e12, {}, true, false, "", "", "\\infty"},
        {-2e12, {}, true, false, "", "", "-\\infty"}, {kInf, {}, true, false, "", "", "\\infty"},
        {-kInf, {}, true, false, "", "", "-\\infty"}, {1.0000001e12, {}, false, false, "", "", "1000000100000"},
        {-2e12, {}, false, true, "", "", "-2000000000000"},
        // No grouping separators, at most ten fraction digits.
        {1234567.5, {}, true, false, "", "", "1234567.5"}, {1.0 / 3.0, {}, true, false, "", "", "0.3333333333"},
        {0.1 + 0.2, {}, true, false, "", "", "0.3"}, {2.0, {}, true, false, "", "", "2"},
        // Signs and brackets.
        {-2.5, {}, true, false, "", "", "(-2.5)"}, {-2.5, {}, true, true, "", "", "-2.5"},
        // Constants.
        {-1.0, {pi()}, true, false, "", "", "(-\\pi)"}, {1.0, {pi()}, true, false, "", "", "\\pi"},
        {2.0, {pi()}, true, false, "", "", "2\\pi"}, {-2.0, {pi()}, true, false, "", "", "(-2\\pi)"},
        {-1.0, {pi()}, true, true, "", "", "-1\\pi"}, {3.0, {pi(), e()}, true, false, "", "", "3\\pie"},
        // Variable and suffix.
        {1.0, {}, true, false, "x", "", "x"}, {-1.0, {}, true, true, "x", "", "-x"},
        {2.0, {}, true, false, "x", "cm", "2 x cm"}, {0.0, {}, true, false, "", "m", "0 m"},
        // Not a number has one fixed rendering.
        {std::nan(""), {}, true, false, "", "", "NaN"}, {-std::nan(""), {pi()}, true, false, "", "", "NaN"},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(KalStringOutput::formatNumberLatex(c.suffix, c.constants, c.variable, 10, c.allowInfinity,
                                                     c.withoutBrackets, c.value),
                  c.expected)
            << "value " << c.value;
    }
}

TEST(FormatNumberLatex, FractionDigitsRoundHalfToEven) {
    EXPECT_EQ(KalStringOutput::formatNumberLatex("", {}, "", 2, true, false, 0.125), "0.12");
    EXPECT_EQ(KalStringOutput::formatNumberLatex("", {}, "", 2, true, false, 0.375), "0.38");
    EXPECT_EQ(KalStringOutput::formatNumberLatex("", {}, "", 0, true, false, 2.5), "2");
}

struct DigitCase {
    Digit digit;
    std::optional<bool> brackets;
    bool forceFraction;
    bool keepSigns;
    std::string expected;
};

Digit withVariables(Digit d, std::string zVariable, double zPower, std::string nVariable = "",
                    double nPower = 0) {
    d.setZVariable(std::move(zVariable));
    d.setPowerOfZVariable(zPower);
    d.setNVariable(std::move(nVariable));
    d.setPowerOfNVariable(nPower);
    return d;
}

TEST(FormatDigitLatex, RenderingRules) {
    const DigitCase cases[] = {
        {digit(1, 3), false, false, false, "\\frac{1}{3}"}, {digit(5), false, false, false, "5"},
        {digit(5), false, true, false, "\\frac{5}{1}"}, {digit(-3, 4), false, false, false, "-\\frac{3}{4}"},
        {digit(-3, 4), std::nullopt, false, false, "\\left(-\\frac{3}{4}\\right)"},
        {digit(3, 4), true, false, false, "\\left(\\frac{3}{4}\\right)"},
        {digit(3, -4), false, false, false, "-\\frac{3}{4}"}, {digit(-3, -4), false, false, false, "\\frac{3}{4}"},
        {digit(3, -4), false, false, true, "\\frac{3}{-4}"}, {digit(-6, 1), false, false, true, "-6"},
        {digit(-1, -1), false, false, false, "1"},
        // Thresholds through the digit's value; keepSigns shows tiny values.
        {digit(1, 1e11), false, false, false, "0"}, {digit(1e-11), false, false, true, "0"},
        {digit(2e12), false, false, false, "\\infty"}, {digit(-2e12, 1), false, false, true, "-\\infty"},
        {digit(1e12), false, false, false, "1000000000000"},
        // Denominators are written exactly, like numerators.
        {digit(1, 1234567), false, false, false, "\\frac{1}{1234567}"},
        {digit(1, 25000000), false, false, false, "\\frac{1}{25000000}"},
        {digit(1, 0.00002), false, false, false, "\\frac{1}{0.00002}"},
        // Constants replace a bare 1 and follow any other number.
        {digit(1, 1, {pi()}), false, false, false, "\\pi"}, {digit(-1, 1, {pi()}), false, false, true, "-\\pi"},
        {digit(-1, 1, {e()}), std::nullopt, false, false, "\\left(-e\\right)"},
        {digit(2, 3, {pi()}), false, false, false, "\\frac{2\\pi}{3}"},
        {digit(1, 1, {}, {pi()}), false, false, false, "\\frac{1}{\\pi}"},
        {digit(2, 1, {pi(), e()}), false, false, false, "2\\pie"},
        // Variables.
        {withVariables(digit(1), "x", 1), false, false, false, " x"},
        {withVariables(digit(-1), "x", 1), false, false, false, "- x"},
        {withVariables(digit(3), "x", 2), false, false, false, "3  x^{2.0}"},
        {withVariables(digit(2), "x", 1, "y", 1), false, false, false, "2 \\frac{x}{y}"},
        {withVariables(digit(1), "", 0, "y", 3), false, false, false, "\\frac{1}{y^{3.0}}"},
        // Grouping never appears.
        {digit(12345678, 1000001), false, false, false, "\\frac{12345678}{1000001}"},
        // Not a number.
        {digit(0, 0), false, false, false, "NaN"},
    };
    for (const DigitCase& c : cases) {
        EXPECT_EQ(KalStringOutput::formatDigitLatex(c.digit, "", c.brackets, c.forceFraction, c.keepSigns, 10),
                  c.expected)
            << "z " << c.digit.z().value_or(-999) << " n " << c.digit.n();
    }
}

TEST(FormatDigitLatex, BlankDigitAndSuffix) {
    EXPECT_EQ(KalStringOutput::formatDigitLatex(Digit(std::nullopt, 1), "", false, false, false, 10), " ? ");
    EXPECT_EQ(KalStringOutput::formatDigitLatex(digit(-2), "cm", std::nullopt, false, false, 10),
              "\\left(-2\\right) cm");
}

TEST(CancelLatex, ShowsBothPartsDividedByTheDivisor) {
    Digit d = digit(6, -4);
    EXPECT_EQ(KalStringOutput::cancelLatex(d, {}, 2), "\\frac{6 : 2}{(-4) : 2}");
    Digit withPi = withVariables(digit(2, 1, {pi()}, {pi()}), "x", 1);
    EXPECT_EQ(KalStringOutput::cancelLatex(withPi, {pi()}, 1), "\\frac{2\\pi : \\pi}{\\pi : \\pi} x");
}

TEST(ReductionLatex, OnlyForFactorsOfTwoOrMore) {
    EXPECT_EQ(KalStringOutput::reductionLatex(digit(1, 2), 6), "\\frac{6 : 6}{12  : 6} = \\frac{1}{2}");
    EXPECT_FALSE(KalStringOutput::reductionLatex(digit(1, 2), 1).has_value());
    EXPECT_FALSE(KalStringOutput::reductionLatex(digit(1, 2), -2).has_value());
    EXPECT_FALSE(KalStringOutput::reductionLatex(digit(1, 2), std::nullopt).has_value());
}

TEST(DecimalPlaces, LargerCountOfWholeFractionParts) {
    struct Case {
        std::string first, second;
        double expected;
    };
    const Case cases[] = {
        {"2.5", "3", 1},     {"0.125", "2.5", 3}, {"3", "4", 0},       {"5e-07", "1", 0},
        {"1.5e-07", "2", 0}, {"-0.25", "1", 2},   {"", "", 0},         {"1.2.345", "0", 3},
        {"2.", "1", 1},      {".", "7.25", 2},    {"1.+5", "0.5", 2},  {"1.-", "0", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KalDigitAnalyser::decimalPlaces(c.first, c.second), c.expected) << c.first << " " << c.second;
    }
}

TEST(AppendUnitToStep, JoinsLinesAndAppendsTheUnit) {
    StepDictionary step{{"title", "Your Input"}, {"latexString", "s = 2.5 m\n"}};
    EXPECT_TRUE(KalStringOutput::appendUnitToStep(step, "s = ", "\\frac{25}{10}", "m"));
    EXPECT_EQ(step["latexString"], "s = 2.5 m = \\frac{25}{10} m");
    EXPECT_EQ(step["title"], "Your Input");

    StepDictionary other{{"title", ""}, {"latexString", "t = 3 s\n"}};
    EXPECT_FALSE(KalStringOutput::appendUnitToStep(other, "s = ", "x", "m"));
    EXPECT_EQ(other["latexString"], "t = 3 s\n");

    StepDictionary empty;
    EXPECT_FALSE(KalStringOutput::appendUnitToStep(empty, "", "x", "m"));
    EXPECT_TRUE(empty.empty());
}

}  // namespace
