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
    std::string expected;
    NaturalConstants constants = {};
    bool withoutBrackets = false;
    std::string variable = "";
    std::string suffix = "";
};

TEST(FormatNumberLatex, RenderingRules) {
    const NumberCase cases[] = {
        // Only 0 reads 0, without a sign: a value below 1e-10, which ten
        // fraction digits cannot show, is m \cdot 10^{k} (residue such as
        // 3 - 3 = 4.4e-16 is set to 0 by the sum that makes it). Only an
        // infinity reads infinity; a large finite value keeps its digits up to
        // seventeen, beyond them it is m \cdot 10^{k}.
        {-0.00000000001, "(-1 \\cdot 10^{-11})"}, {1e-10, "0.0000000001"}, {9.094947017729282e-13,
        "9.094947018 \\cdot 10^{-13}"}, {1e12, "1000000000000"},
        {1.0000001e12, "1000000100000"}, {-kInf, "-\\infty"}, {kInf, "\\infty"}, {0.0, "0"}, {-0.0, "0"},
        {1.0000001e12, "1000000100000"}, {-2e12, "-2000000000000", {}, true},
        {1.0 / 3.0 * 1e-12, "3.333333333 \\cdot 10^{-13}"}, {1e-300, "1 \\cdot 10^{-300}"},
        // Below the smallest normal double only the digits it holds: 1e-320
        // is held as 9.99988867e-321, the smallest double has one digit.
        {1e-320, "1 \\cdot 10^{-320}"}, {4.9e-324, "5 \\cdot 10^{-324}"}, {3.0e-310, "3 \\cdot 10^{-310}"},
        {-1.2345678901234e-315, "(-1.2345679 \\cdot 10^{-315})"}, {9.999999999999998e16, "1 \\cdot 10^{17}"},
        {1e20, "1 \\cdot 10^{20}"}, {12345678901234567890.0, "1.23456789 \\cdot 10^{19}"},
        {9.9999999999e20, "1 \\cdot 10^{21}"}, {-2.5e300, "(-2.5 \\cdot 10^{300})"},
        {3e20, "3 \\cdot 10^{20}\\pi", {pi()}},
        // No more than fifteen significant digits, all a double holds: a
        // double sum of 1234567890.12345 and 9.9657842847 stands for
        // 1234567900.0892342847, its double's shortest form is ...0892344.
        {1234567900.0892344, "1234567900.08923"}, {-245199095378987.06, "(-2.45199095378987 \\cdot 10^{14})"},
        {99999.12345678912, "99999.1234567891"},
        // No grouping separators, at most ten fraction digits.
        {1234567.5, "1234567.5"}, {1.0 / 3.0, "0.3333333333"}, {0.1 + 0.2, "0.3"},
        // Signs, brackets and constants.
        {-2.5, "(-2.5)"}, {-2.5, "-2.5", {}, true}, {-1.0, "(-\\pi)", {pi()}}, {1.0, "\\pi", {pi()}},
        {-1.0, "-1\\pi", {pi()}, true}, {3.0, "3\\pie", {pi(), e()}},
        // Variable and suffix.
        {-1.0, "-x", {}, true, "x"}, {2.0, "2 x cm", {}, false, "x", "cm"}, {-std::nan(""), "NaN", {pi()}},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(KalStringOutput::formatNumberLatex(c.suffix, c.constants, c.variable, 10, c.withoutBrackets,
                                                     c.value),
                  c.expected)
            << "value " << c.value;
    }
    // Halves round to even.
    EXPECT_EQ(KalStringOutput::formatNumberLatex("", {}, "", 2, false, 0.125), "0.12");
    EXPECT_EQ(KalStringOutput::formatNumberLatex("", {}, "", 0, false, 2.5), "2");
}

Digit withVariables(Digit d, std::string zVariable, double zPower, std::string nVariable = "", double nPower = 0) {
    d.setZVariable(std::move(zVariable));
    d.setPowerOfZVariable(zPower);
    d.setNVariable(std::move(nVariable));
    d.setPowerOfNVariable(nPower);
    return d;
}

struct DigitCase {
    Digit digit;
    std::string expected;
    std::optional<bool> brackets = false;
    bool forceFraction = false;
    bool keepSigns = false;
};

TEST(FormatDigitLatex, RenderingRules) {
    const DigitCase cases[] = {
        {digit(5), "\\frac{5}{1}", false, true}, {digit(-3, 4), "\\left(-\\frac{3}{4}\\right)", std::nullopt},
        {digit(3, 4), "\\left(\\frac{3}{4}\\right)", true}, {digit(3, -4), "-\\frac{3}{4}"},
        {digit(-3, -4), "\\frac{3}{4}"}, {digit(3, -4), "\\frac{3}{-4}", false, false, true},
        // Only a zero value reads 0 and only an infinite one (a zero
        // denominator) infinity: a tiny exact fraction keeps its parts
        // (b·x = 10^-12 is no zero); a typed number below 1e-10, or one past
        // seventeen digits, is m \cdot 10^{k}, never 0 or padded zeros.
        {digit(1, 1e11), "\\frac{1}{100000000000}"}, {digit(0.000001, 1e6), "\\frac{0.000001}{1000000}"},
        {digit(1e-11), "1 \\cdot 10^{-11}"}, {digit(-1e-12), "-1 \\cdot 10^{-12}", false, false, true},
        {digit(7e-11), "7 \\cdot 10^{-11}"}, {digit(-1e-300, 3), "-3.333333333 \\cdot 10^{-301}"},
        {digit(-2e12), "-2000000000000", false, false, true}, {digit(9999999999999), "9999999999999"},
        {digit(12345678901234567890.0), "1.23456789 \\cdot 10^{19}"}, {digit(1, 3e20), "\\frac{1}{3 \\cdot 10^{20}}"},
        {digit(2, 1e20, {pi()}), "\\frac{2\\pi}{1 \\cdot 10^{20}}"}, {digit(1, 0), "\\infty"}, {digit(0, 7), "0"},
        // Denominators are written exactly, like numerators, and never grouped.
        {digit(1, 25000000), "\\frac{1}{25000000}"}, {digit(1, 0.00002), "\\frac{1}{0.00002}"},
        // A part that ten decimals would cut to a few digits: the value instead.
        {digit(3.4812e-8, 3.824e-10), "91.0355648536"}, {digit(-1, 3e-11, {pi()}), "-104719755119.66"},
        {digit(1.5, 4), "\\frac{1.5}{4}"},
        // Constants replace a bare 1 and follow any other number.
        {digit(-1, 1, {e()}), "\\left(-e\\right)", std::nullopt}, {digit(2, 3, {pi()}), "\\frac{2\\pi}{3}"},
        {digit(1, 1, {}, {pi()}), "\\frac{1}{\\pi}"},
        // Variables.
        {withVariables(digit(-1), "x", 1), "- x"},
        {withVariables(digit(3), "x", 2), "3  x^{2.0}"}, {withVariables(digit(2), "x", 1, "y", 1), "2 \\frac{x}{y}"},
        {withVariables(digit(1), "", 0, "y", 3), "\\frac{1}{y^{3.0}}"},
        {digit(0, 0), "NaN"}, {Digit(std::nullopt, 1), " ? "},
    };
    for (const DigitCase& c : cases) {
        EXPECT_EQ(KalStringOutput::formatDigitLatex(c.digit, "", c.brackets, c.forceFraction, c.keepSigns, 10),
                  c.expected)
            << "z " << c.digit.z().value_or(-999) << " n " << c.digit.n();
    }
    EXPECT_EQ(KalStringOutput::formatDigitLatex(digit(-2), "cm", std::nullopt, false, false, 10),
              "\\left(-2\\right) cm");
    // The reduction line exists only for factors of two or more.
    EXPECT_FALSE(KalStringOutput::reductionLatex(digit(1, 2), 1) || KalStringOutput::reductionLatex(digit(1, 2), -2));
}

TEST(DecimalPlaces, LargerCountOfWholeFractionParts) {
    const std::tuple<std::string, std::string, double> cases[] = {
        {"0.125", "2.5", 3}, {"3", "4", 0}, {"5e-07", "1", 0}, {"-0.25", "1", 2}, {"", "", 0},
        {"1.2.345", "0", 3}, {".", "7.25", 2}, {"1.+5", "0.5", 2}, {"1.-", "0", 0},
    };
    for (const auto& [first, second, expected] : cases) {
        EXPECT_EQ(KalDigitAnalyser::decimalPlaces(first, second), expected) << first << " " << second;
    }
}

}  // namespace
