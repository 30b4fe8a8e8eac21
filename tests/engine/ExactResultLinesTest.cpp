#include <gtest/gtest.h>
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/EnglishTitles.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/DecimalText.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

// Exercises a school class meets whose results have more digits than a
// double gives back, or more than fifteen significant digits: each is
// solved, and its line reads the exact or extended value rounded once.
TEST(ExactResultLines, AResultALineCanWriteTrulyIsWrittenNotRefused) {
    ASSERT_TRUE(kEnglishTitles);
    expectSolvedWithLines({
        // 0.5 · 4^{-8} + 3 is 3.00000762939453125: ten decimals of it.
        {1, {"4", "", "-8", "3", "", "0.5"}, "f(0) = 3.0000076294"},
        {1, {"2", "", "-16", "3", "2", "0.5"}, "f(0) = 3.0000076294"},
        // Exact fractions stay exact: 2 · (100/3)^{8} + 2 and 0.125 · (1/1000)^{5} + 0.5.
        {1, {"100/3", "", "8", "2", "", "2"}, "f(0) = \\frac{20000000000013122}{6561}"},
        {1, {"1/1000", "", "5", "0.5", "", "0.125"}, "f(0) = \\frac{500000000000000.125}{1000000000000000}"},
        // 3 · 1000000000000000.1 is 3000000000000000.3, not its double's ...0.5.
        {1,
         {"", "3", "-3000000000000000", "", "1000000000000000.1", ""},
         "f(1000000000000000.1) =  2^{(3000000000000000.3 + -3000000000000000)} "},
        // Ten decimals of a computed value where the extended precision holds them.
        {1, {"1.035", "", "25", "", "", "250000"}, "f(0) = 590811.2460667612 "},
        // A number that is not whole is never written whole (...457.58, ...453.19).
        {0, {"2", "", "3", "1234567890123456", "", ""}, "f(0) = 1234567890123457.6"},
        {1, {"2", "", "1234567890123456", "-7", "", ""}, " x = (-1234567890123453.2)"},
        // Sums past the double: every digit where 24 characters hold them.
        {0, {"", "", "9007199254740992", "", "1", ""}, "f(1) = \\log_{2}(9007199254740993) "},
        {1, {"", "", "53", "1", "", ""}, "f(0) = 9007199254740993"},
        {1, {"10", "", "16", "1", "", ""}, "f(0) = 10000000000000001"},
        {1, {"2", "", "56", "1", "", ""}, "f(0) = 72057594037927937"},
        {1, {"10", "", "17", "1", "", ""}, "f(0) = 100000000000000001"},
        {1, {"10", "", "22", "1", "", ""}, "f(0) = 10000000000000000000001"},
        // No number text over 24 characters: 2^{-24} is m \cdot 10^{k}.
        {1, {"2", "", "-24", "", "", ""}, "f(0) =  5.9604644775390625 \\cdot 10^{-8} "},
        // A quotient of decimals the arithmetic leaves is its value: 1.125/0.125 is 9.
        {0, {"1/2", "1", "-1", "3", "", "1"}, " x = 9"},
        // The logarithm of an exact power of its base is exact, and so is
        // what it meets: -3 + 12345678901234.56, and 1234567890 · (-3) +
        // 0.1234567891 with all twenty digits (the extended value keeps 17).
        {0, {"10", "", "", "12345678901234.56", "0.001", ""}, "f(0.001) = 12345678901231.56"},
        {0, {"10", "", "", "0.1234567891", "0.001", "1234567890"}, "f(0.001) = (-3703703669.8765432109)"},
    });
}

// How an exact decimal, an exact quotient and an extended value are written.
TEST(ExactResultLines, NumbersAreRoundedOnceToWhatALineHolds) {
    const struct {
        ExactDecimal d;
        const char* text;
    } exact[] = {
        {{300000762939453125, -17}, "3.0000076294"},
        // Every digit while at most seventeen significant ones or ten decimals.
        {{100000000001, -11}, "1.00000000001"},
        {{9007199254740993, 0}, "9007199254740993"},
        {{5000000000000001250, -3}, "5000000000000001.25"},
        // 24 characters plain, 25 not: m \cdot 10^{k}.
        {{59604644775390625, -24}, "5.9604644775390625 \\cdot 10^{-8}"},
        {{1234567890123, -10}, "123.4567890123"},
        // A whole number past 24 characters reads m \cdot 10^{k} of seventeen digits.
        {{static_cast<__int128>(10000000000000000000ULL) * 1000000 + 1, 0}, "1 \\cdot 10^{25}"},
        // Where ten decimals would read a whole number, seventeen significant
        // digits; where these would too, ten decimals with their zeros.
        {{static_cast<__int128>(999999999987654321LL) * 100 + 10, -20}, "0.99999999998765432"},
        {{static_cast<__int128>(10000000000000000000ULL) * 100 + 1, -21}, "1.0000000000"},
    };
    for (const auto& row : exact) EXPECT_EQ(DecimalText::exactText(row.d).value_or("none"), row.text) << row.text;

    EXPECT_EQ(DecimalText::quotientText({1125, -3}, {125, -3}).value_or("none"), "9");
    EXPECT_EQ(DecimalText::quotientText({-2, 0}, {3, 0}).value_or("none"), "-0.6666666667");
    EXPECT_EQ(DecimalText::quotientText({1, 0}, {15, -13}).value_or("none"), "666666666666.66667");
    EXPECT_TRUE(DecimalText::isShortQuotient({1125, -3}, {125, -3}));
    EXPECT_FALSE(DecimalText::isShortQuotient({1, 0}, {3, 0}));

    const struct {
        long double value;
        const char* text;
    } precise[] = {
        {590811.24606676116012L, "590811.2460667612"},
        {1234567890123457.58496L, "1234567890123457.6"},
        // Its error (0.06) leaves no decimal sure: the whole number it lies
        // within the error of, never m \cdot 10^{k} reading it.
        {12345678901234567.2L, "12345678901234567"},
        // Near the middle between two roundings one digit fewer: 6598001416.00907545
        // (8^{4e} is ...0090754471) is no ...0090755.
        {6598001416.0090754507L, "6598001416.009075"},
        {-0.333333333333333333L, "-0.3333333333"},
        {2.5e20L, "2.5 \\cdot 10^{20}"},
    };
    for (const auto& row : precise) EXPECT_EQ(DecimalText::preciseText(row.value).value_or("none"), row.text);
}

}  // namespace
