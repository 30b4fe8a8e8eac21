#include <gtest/gtest.h>
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/EnglishTitles.h"

#include <cmath>
#include <string>
#include <vector>

#include "Calvaro/engine/DecimalText.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

// School exercises whose results meet a denominator no double holds, pass
// 17 digits, lie just beside a whole number or come from 1 - a^{t} of a tiny
// t: each is solved, and its line reads the exact or extended value rounded
// once, within 24 characters.
TEST(NumberRuleLines, SchoolExercisesAreSolvedWithTheirTrueLines) {
    ASSERT_TRUE(kEnglishTitles);
    expectSolvedWithLines({
        // Fractional bases typed as fractions: (3/4)^{27} has the
        // denominator 4^{27}, and 18 · 4^{27} is past every double that
        // holds its digits; the value is rounded once.
        {0, {"1/2", "6.9", "-7", "-22", "", "-1"}, "x = 607871.1594202899"},
        {0, {"3/4", "4", "18", "-27", "6", ""}, "x = (-4.4998941736)"},
        {0, {"3/4", "4", "18", "-27", "6", ""}, "4\\cdot x = -\\frac{324251547573190725}{18014398509481984}"},
        {0, {"1/4", "89.92", "", "-13", "", "0.5"}, "x = 2.469357261 \\cdot 10^{-18}"},
        {0, {"1/2", "26.7", "28", "20", "", ""}, "x = 39271.4606741573"},
        {0, {"2.5/3", "-0.333", "0.5", "-5", "", "0.25"}, "x = 1.4231710111"},
        // Numbers past 10^{17}: every digit while that fits 24 characters,
        // where m \cdot 10^{k} of every digit would not (10^{17} + 1 and
        // 10^{22} + 1 stand with the exact result lines).
        {1, {"10", "", "20", "5", "", ""}, "f(0) = 100000000000000000005"},
        {1, {"7", "", "20", "0.5", "", "3"}, "f(0) = 239376798892836003.5"},
        // A whole power of a whole number is exact to 24 digits, and so is
        // the sum it meets.
        {1, {"3", "", "36", "1", "", ""}, "f(0) =  150094635296999121 + 1"},
        {1, {"3", "", "36", "1", "", ""}, "f(0) = 150094635296999122"},
        {1, {"2", "", "57", "1", "", ""}, "f(0) = 144115188075855873"},
        // -7 · 0.75^{-119.4} is -5791395056057737.98, its error 0.03: no
        // decimal is sure, and it reads the whole number, never m \cdot 10^{k}.
        {1, {"0.75", "31.1", "5", "", "-4", "-7"}, "f(-4) = -5791395056057738 "},
        // 100^{-3 \cdot 10^{-12}} - 1 without cancellation: x is
        // 2.7631021116 \cdot 10^{-11}, and the power is no 1.
        {0, {"100", "-1/2", "1", "1/1000000", "", "1000000/3"}, "x = 2.763102112 \\cdot 10^{-11}"},
        {0,
         {"100", "-1/2", "1", "1/1000000", "", "1000000/3"},
         "-\\frac{1}{2}\\cdot x + 1 = 0.99999999998618449"},
        // 1.000001^{0.000001} - 1 is 9.999995000003 \cdot 10^{-13}, no
        // 9.999994539 \cdot 10^{-13}; z · 100^{-10^{-12}} - z through the
        // product with z.
        {1, {"1.000001", "2", "", "-1", "0.0000005", ""}, "f(0.0000005) = 9.999995 \\cdot 10^{-13}"},
        {1, {"100", "", "-1/1000000000000", "-1000000/3", "", "1000000/3"}, "f(0) = -0.0000015351"},
        // log_{10}(9999999999999000) - 16 is -4.3429448190 \cdot 10^{-14}, no 0.
        {1, {"10", "", "16", "-9999999999999000", "", ""}, " x = (-4.342944819 \\cdot 10^{-14})"},
        // Whole values read whole: the sum a power of a third meets (the
        // README's examples have their own rows).
        {1, {"1/3", "", "-27", "23", "", ""}, "f(0) = 7625597485010"},
        // A whole number and a rest too small for the digits of their sum
        // stay a sum, so no line contradicts the next: x = (53 - 1.6
        // \cdot 10^{-16}) - 53, and -11 - 2 \cdot 0.25^{26} no -11.
        {1, {"", "", "53", "-9007199254740991", "", ""}, " x = (53 - 1.601713252 \\cdot 10^{-16}) -53"},
        {1, {"0.25", "", "26", "-11", "", "-2"}, "f(0) = -(11 + 4.440892099 \\cdot 10^{-16})"},
    });
}

// A value a power or logarithm leaves within a long double's rounding of a
// whole number reads that number plain, at every magnitude up to 10^{16}:
// (1/3)^{-n} for n from 1 to 33, and 8^{m/3} = 2^{m} for m up to 53.
TEST(NumberRuleLines, WholeValuesComputedInExtendedPrecisionReadWhole) {
    for (int n = 1; n <= 33; ++n) {
        uint64_t whole = 1;
        for (int i = 0; i < n; ++i) whole *= 3;
        EXPECT_EQ(DecimalText::preciseText(std::pow(1.0L / 3.0L, static_cast<long double>(-n))).value_or("none"),
                  std::to_string(whole))
            << "3^" << n;
    }
    for (int m = 1; m <= 53; ++m) {
        const long double value = std::pow(8.0L, static_cast<long double>(m) / 3.0L);
        EXPECT_EQ(DecimalText::preciseText(value).value_or("none"), std::to_string(uint64_t{1} << m)) << "2^" << m;
    }
}

// A value that is not whole never reads whole, whatever its magnitude: every
// fraction from 0.001 to 0.999 of a whole number from 10^{7} to 10^{16},
// written from an extended value and from a double.
TEST(NumberRuleLines, ANumberThatIsNotWholeNeverReadsWhole) {
    const auto readsWhole = [](const std::string& text) {
        return text.find('.') == std::string::npos && text.find("10^{") == std::string::npos;
    };
    int checked = 0;
    for (long double whole = 1e7L; whole < 1e16L; whole *= 10.0L) {
        for (int thousandths = 1; thousandths < 1000; thousandths += 7) {
            const long double value = whole * 1.2345L + thousandths / 1000.0L;
            const long double wholePart = std::floor(value);
            if (wholePart == value) continue;
            const std::string precise = KalStringOutput::formatPreciseNumberLatex(-value);
            const long double off = std::fabs(value - std::round(value));
            // Within a long double's rounding of a whole number the value is
            // that number; far beyond its error it shows its digits, and
            // never m \cdot 10^{k} reading a whole number.
            if (off <= value * DecimalText::kWholeWithin) {
                EXPECT_TRUE(readsWhole(precise)) << precise;
            }
            if (off > value * DecimalText::kPreciseError * 20) {
                EXPECT_FALSE(readsWhole(precise)) << precise;
                EXPECT_EQ(precise.find("10^{"), std::string::npos) << precise;
            }
            const double held = static_cast<double>(value);
            if (std::trunc(held) != held) {
                const std::string plain = KalStringOutput::formatNumberLatex("", {}, "", 10, false, held);
                EXPECT_FALSE(readsWhole(plain)) << plain;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 1000);
    // A whole value still reads whole.
    EXPECT_EQ(KalStringOutput::formatPreciseNumberLatex(5791395056057738.0L), "5791395056057738");
}

}  // namespace

// The 24 characters of a number text exactly, and one past them: digits and
// the point, and of m \cdot 10^{k} also "·10^" and k.
TEST(NumberRuleLines, NumberTextsStopAtTwentyFourCharacters) {
    const __int128 tenTo23 = DecimalText::tenToThe(23);
    const struct {
        ExactDecimal d;
        const char* text;
    } rows[] = {
        {{tenTo23 + 1, 0}, "100000000000000000000001"},            // 24 digits plain
        {{tenTo23 * 10 + 1, 0}, "1 \\cdot 10^{24}"},               // 25: rounded once
        {{tenTo23 * 10 + 7 * tenTo23 / 10, 0}, "1.07 \\cdot 10^{24}"},
        {{59604644775390625, -24}, "5.9604644775390625 \\cdot 10^{-8}"},  // m·10^k of 24
        {{12345678901234567, -27}, "1.234567890123457 \\cdot 10^{-11}"},  // 25 cut to 24
        {{-239376798892836007, -1}, "-23937679889283600.7"},
    };
    for (const auto& row : rows) {
        const auto text = DecimalText::exactText(row.d);
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, row.text);
    }
}
