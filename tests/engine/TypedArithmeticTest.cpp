#include <gtest/gtest.h>

#include <charconv>
#include <optional>
#include <string>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

// A digit as the input manager makes it of a typed text at input `position`.
Digit typedDigit(double z, double n = 1.0, int position = 0) {
    Digit d = digit(z, n);
    d.setExact(true);
    d.setTypedSources(1U << position);
    return d;
}

std::string shortest(double value) {
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
}

struct TypedMeeting {
    char operation;  // '*', '/', '+' or '-'
    Digit u, v;
    std::string z, n;  // the result's parts in their shortest forms
    bool exact;
    std::optional<UnheldCause> unheld;
};

TEST(TypedArithmetic, MeetsAsTheDecimalsTypedRoundedOnce) {
    const TypedMeeting cases[] = {
        // The doubles' product is -1000000001.0009999 and 0.020000000000000004.
        {'*', typedDigit(-3), typedDigit(333333333.667, 1, 4), "-1000000001.001", "1", true, std::nullopt},
        {'*', typedDigit(0.1), typedDigit(0.2), "0.02", "1", true, std::nullopt},
        // A computed factor is multiplied as its double, as before.
        {'*', digit(0.1), typedDigit(0.2), "0.020000000000000004", "1", false, std::nullopt},
        // 3000000000000000.3 is held as 3000000000000000.5: the Digit carries
        // the exact product, which a line writes.
        {'*', typedDigit(3), typedDigit(1000000000000000.1), "3000000000000000.5", "1", true, std::nullopt},
        // The double shows 432345564.22756755 and 152415787.51425087 of
        // 432345564.227567568 and 152415787.5142508889: carried too.
        {'*', typedDigit(4.8e-8), typedDigit(9007199254740991), "432345564.22756755", "1", true, std::nullopt},
        {'*', typedDigit(123456.789), typedDigit(1234.5678901), "152415787.51425087", "1", true, std::nullopt},
        // More digits than the double keeps, carried, written to ten decimals.
        {'*', typedDigit(0.1234567891), typedDigit(0.1234567891), "0.01524157877488188", "1", true, std::nullopt},
        {'*', typedDigit(1e200), typedDigit(1e200), "inf", "1", false, UnheldCause::tooLarge},
        {'*', typedDigit(1e-200), typedDigit(1e-200), "0", "1", false, UnheldCause::tooSmall},
        // Over a fraction the parts multiply crosswise: 0.7 · 3 is 2.1, not 2.0999999999999996.
        {'/', typedDigit(0.1, 3), typedDigit(0.7), "0.1", "2.1", true, std::nullopt},
        // Typed wholes from 2^{53} on are no residue; computed ones still are.
        {'-', typedDigit(9007199254740992), typedDigit(9007199254740991), "1", "1", true, std::nullopt},
        {'-', digit(9007199254740996), digit(9007199254740992), "0", "1", false, std::nullopt},
        {'+', typedDigit(100000000000000100000.0), typedDigit(-1e20), "1e+05", "1", true, std::nullopt},
        // 1e300 + 1e-300 has 601 digits, but a line shows ten of them.
        {'+', typedDigit(1e300), typedDigit(1e-300), "1e+300", "1", false, std::nullopt},
        {'-', typedDigit(1e17), typedDigit(1e-20), "1e+17", "1", false, std::nullopt},
        // 9999999999999999.5 and 10000000000000001 are carried and written whole.
        {'-', typedDigit(1e16), typedDigit(0.5), "1e+16", "1", true, std::nullopt},
        {'+', typedDigit(1e16), typedDigit(1), "1e+16", "1", true, std::nullopt},
        {'+', typedDigit(1), typedDigit(9.999999999999999e24), "9.999999999999999e+24", "1", true, std::nullopt},
        // 1.0000000000123456789 is carried exactly, which the logarithm then uses.
        {'+', typedDigit(1), typedDigit(1.23456789e-11), "1.0000000000123457", "1", true, std::nullopt},
        // Quotients of exact numbers stay exact fractions, also part by part.
        {'/', typedDigit(100000000.1), typedDigit(1.1), "100000000.1", "1.1", true, std::nullopt},
        {'/', typedDigit(-9999999999999999000000000.0), typedDigit(1), "-9.999999999999999e+24", "1", true,
         std::nullopt},
    };
    for (const auto& c : cases) {
        KalStringOutput output;
        KalMathOperation operation(output);
        operation.setWithFraction(c.operation == '/');
        DigitPtr result;
        if (c.operation == '*') result = operation.multiply(c.u, c.v).digit;
        if (c.operation == '/') result = operation.divide(c.u, c.v, false).digit;
        if (c.operation == '+') result = operation.add(c.u, c.v).digit;
        if (c.operation == '-') result = operation.subtract(c.u, c.v).digit;
        const std::string name = shortest(*c.u.z()) + " " + c.operation + " " + shortest(*c.v.z());
        ASSERT_TRUE(result) << name;
        EXPECT_EQ(shortest(*result->z()), c.z) << name;
        EXPECT_EQ(shortest(result->n()), c.n) << name;
        EXPECT_EQ(result->exact(), c.exact) << name;
        const auto& unheld = operation.unheldResult();
        EXPECT_EQ(unheld.has_value(), c.unheld.has_value()) << name;
        if (unheld && c.unheld) {
            EXPECT_EQ(unheld->cause, *c.unheld) << name;
            EXPECT_EQ(unheld->typedSources, c.u.typedSources() | c.v.typedSources()) << name;
        }
    }
}

TEST(TypedArithmetic, WholePowersOfTypedWholesAreExactWhereTheDoubleHoldsThem) {
    struct Row {
        double base, r;
        bool exact;
    };
    // 3^{34} = 16677181699666569 is held as ...568, 7^{19} =
    // 11398895185373143 as ...144: the Digit carries the exact power and
    // writes it, up to 24 digits (3^{37} has eighteen, 3^{51} 25); 3^{-2}
    // is no decimal.
    const struct {
        double base, r;
        const char* written;  // none: not exact
    } rows[] = {{2, 53, "9007199254740992"}, {10, 16, "10000000000000000"}, {3, 34, "16677181699666569"},
                {7, 19, "11398895185373143"}, {10, -11, "1 \\cdot 10^{-11}"}, {2, -3, "0.125"},
                {3, 37, "450283905890997363"}, {2, 0.5, nullptr}, {3, -2, nullptr}, {3, 51, nullptr}};
    for (const auto& row : rows) {
        KalMathOperation operation;
        const auto power = operation.power(typedDigit(row.base), row.r);
        ASSERT_TRUE(power);
        EXPECT_EQ(power->exact(), row.written != nullptr) << row.base << "^" << row.r;
        if (row.written) {
            EXPECT_EQ(KalStringOutput::formatDigitLatex(*power, "", false, false, false, 10), row.written);
        }
    }
    // What a carried power meets is carried while a line can write it, and
    // computed past that, never refused: only typed numbers that meet are.
    KalMathOperation carried;
    const auto power = carried.power(typedDigit(3), 34);
    const struct {
        char operation;
        Digit other;
        const char* written;
    } meetings[] = {{'*', typedDigit(1), "16677181699666569"},
                    {'*', typedDigit(-1, 2), "-8338590849833284.5"},
                    {'+', typedDigit(2), "16677181699666571"},
                    {'*', typedDigit(30), "5.0031545098999707 \\cdot 10^{17}"},
                    {'*', typedDigit(37), "617055722887663053"}};
    for (const auto& meeting : meetings) {
        const auto result = meeting.operation == '*' ? carried.multiply(meeting.other, *power).digit
                                                     : carried.add(*power, meeting.other).digit;
        ASSERT_TRUE(result);
        EXPECT_EQ(KalStringOutput::exactValueText(*result).value_or("none"), meeting.written) << meeting.written;
    }
    EXPECT_FALSE(carried.unheldResult());
    // A computed base gives no exact power.
    KalMathOperation operation;
    EXPECT_FALSE(operation.power(digit(2), 53)->exact());
}

TEST(TypedArithmetic, AQuotientOfExactNumbersIsRoundedOnceToTheDigitsALineShows) {
    const struct {
        Digit z, n;
        const char* written;
    } rows[] = {
        // The doubles' quotients read 90909090.99999999, 14285714.299999999 and 13710.47739130435.
        {typedDigit(100000000.1), typedDigit(1.1), "90909091"},
        {typedDigit(100000000.1), typedDigit(7), "14285714.3"},
        {typedDigit(31534.098), typedDigit(2.3), "13710.4773913043"},
        // Seventeen significant digits at most: 666666666666.66666... rounded once.
        {typedDigit(1), typedDigit(1.5e-12), "666666666666.66667"},
        {typedDigit(-2), typedDigit(3), "-0.6666666667"},
        {typedDigit(1), typedDigit(3e20), "3.333333333 \\cdot 10^{-21}"},
    };
    for (const auto& row : rows) {
        KalMathOperation operation;
        operation.setWithFraction(true);
        const auto quotient = operation.divide(row.z, row.n, false).digit;
        ASSERT_TRUE(quotient);
        EXPECT_EQ(KalStringOutput::exactValueText(*quotient).value_or("none"), row.written);
    }
    // The same quotient of a number that is no exact one: its double.
    EXPECT_FALSE(KalStringOutput::exactValueText(digit(100000000.1, 1.1)));
}

TEST(TypedArithmetic, ATypedNumberIsWrittenWithEveryDigitItHas) {
    const auto written = [](const Digit& d) { return KalStringOutput::formatDigitLatex(d, "", false, false, false, 10); };
    EXPECT_EQ(written(typedDigit(100000000000000100000.0)), "1.000000000000001 \\cdot 10^{20}");
    EXPECT_EQ(written(typedDigit(-1e20)), "-1 \\cdot 10^{20}");
    // Below the normal doubles, as typed where the double gives it back.
    EXPECT_EQ(written(typedDigit(1.23456789e-315)), "1.23456789 \\cdot 10^{-315}");
    EXPECT_EQ(written(typedDigit(1, 12345678901234567e3)), "\\frac{1}{1.2345678901234567 \\cdot 10^{19}}");
    // A computed number keeps its ten significant digits.
    EXPECT_EQ(written(digit(100000000000000100000.0)), "1 \\cdot 10^{20}");
}

}  // namespace
