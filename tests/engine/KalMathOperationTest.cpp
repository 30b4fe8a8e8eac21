#include <gtest/gtest.h>

#include <cmath>

#include "Calvaro/engine/KalMathOperation.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

using Lines = std::optional<std::string>;
constexpr std::nullopt_t kNone = std::nullopt;

Digit withVariable(Digit d, const std::string& variable, double power) {
    d.setZVariable(variable);
    d.setPowerOfZVariable(power);
    return d;
}

struct AdditionCase {
    char sign;
    bool withFraction;
    Digit u, v;
    std::string result;
    Lines expansion, operation;
};

TEST(KalMathOperation, AddAndSubtract) {
    const Digit x = withVariable(digit(2), "x", 1), blank(std::nullopt, 1);
    const AdditionCase cases[] = {
        {'+', true, digit(1, 2), digit(1, 3), "5/6",
         "\\frac{1 \\cdot 3}{2  \\cdot 3} + \\frac{1 \\cdot 2}{3  \\cdot 2} = \\frac{3}{6  } + \\frac{2}{6}",
         "\\frac{3}{6} + \\frac{2}{6} = \\frac{5}{6}"},
        {'+', false, digit(2), digit(-2), "0/1", kNone, "{2} + {-2} = {0}"},
        // The line keeps the negative denominator; the result turns it.
        {'+', true, digit(1, 2), digit(1, -2), "0/1",
         "\\frac{1 \\cdot -2}{2  \\cdot -2} + \\frac{1 \\cdot 2}{-2  \\cdot 2} = \\frac{-2}{-4  } + \\frac{2}{-4}",
         "\\frac{-2}{-4} + \\frac{2}{-4} = \\frac{0}{-4}"},
        {'+', true, digit(1, -2), digit(1, -2), "-2/2", kNone, "\\frac{1}{-2} + \\frac{1}{-2} = \\frac{2}{-2}"},
        {'+', false, digit(2, 1, {pi()}), digit(3, 1, {pi()}), "5/1 π/", kNone, "{2} + {3} = {5}"},
        {'+', false, digit(1, 1, {pi()}), digit(1, 1, {e()}), "5.85987448205/1", kNone,
         "{3.14159} + {2.71828} = {5.85987}"},
        {'+', false, x, x, "4/1 x^1", kNone, "{2} + {2} = {4}"},
        {'-', true, digit(3, 4), digit(1, 4), "2/4", kNone, "\\frac{3}{4} - \\frac{1}{4} = \\frac{2}{4}"},
        // A difference keeps its constants (π − 0 was 0) ...
        {'-', false, digit(0), digit(1, 1, {pi()}), "-1/1 π/", kNone, "{0} - {1} = {-1}"},
        {'-', false, digit(1, 1, {pi()}), digit(1), "2.14159265359/1", kNone, "{3.14159} - {1} = {2.14159}"},
        // ... and outside fraction mode folded denominators still get a common one.
        {'-', false, digit(1, 1, {}, {pi()}), digit(1, 1, {}, {e()}), "-0.423310825131/8.53973422267",
         "\\frac{1 \\cdot 2.71828}{3.14159  \\cdot 2.71828} - \\frac{1 \\cdot 3.14159}{2.71828  \\cdot 3.14159} = "
         "\\frac{2.71828}{8.53973  } - \\frac{3.14159}{8.53973}",
         "{2.71828} - {3.14159} = {-0.423311}"},
        // A sum that is rounding residue is 0 (1.1² - 1.21 is 2.2e-16 in
        // floating point); a small sum that is no residue keeps its value, and
        // whole numbers below 2^53 subtract exactly.
        {'-', false, digit(1.2100000000000002), digit(1.21), "0/1", kNone, "{1.21} - {1.21} = {0}"},
        {'+', true, digit(2.9999999999999996, 7), digit(-3, 7), "0/1", kNone,
         "\\frac{3}{7} + \\frac{-3}{7} = \\frac{0}{7}"},
        {'-', false, digit(3), digit(2.99999999999), "1.00000008274e-11/1", kNone, "{3} - {3} = {1e-11}"},
        {'-', false, digit(1e-11), digit(0), "1e-11/1", kNone, "{1e-11} - {0} = {1e-11}"},
        {'-', false, digit(1000000000001), digit(1000000000000), "1/1", kNone, "{1e+12} - {1e+12} = {1}"},
        // Whole numbers below 2^{53} and decimals of ten places keep their
        // exact sum, however close the terms.
        {'-', false, digit(4503599627370496), digit(4503599627370495), "1/1", kNone, "{4.5036e+15} - {4.5036e+15} = {1}"},
        {'-', false, digit(1125899906842625), digit(1125899906842624), "1/1", kNone, "{1.1259e+15} - {1.1259e+15} = {1}"},
        {'-', false, digit(2e15), digit(1999999999999999), "1/1", kNone, "{2e+15} - {2e+15} = {1}"},
        {'-', false, digit(1000.0000000001), digit(1000), "1e-10/1", kNone, "{1000} - {1000} = {1e-10}"},
        {'+', false, digit(-450358.9999999999), digit(450358.9999999998), "-1e-10/1", kNone,
         "{-450359} + {450359} = {-1e-10}"},
        // ... at every magnitude: counted in 10^{-10} from the shortest forms
        // (the double of 1000000000.001 is 1000000000.0010000467).
        {'-', false, digit(1000000000.001), digit(1000000000), "0.001/1", kNone, "{1e+09} - {1e+09} = {0.001}"},
        {'-', false, digit(500000.0000000001), digit(500000), "1e-10/1", kNone, "{500000} - {500000} = {1e-10}"},
        {'-', false, digit(450359.0000000001), digit(450359), "1e-10/1", kNone, "{450359} - {450359} = {1e-10}"},
        {'+', false, digit(-4503599627370495.5), digit(4503599627370496), "0.5/1", kNone,
         "{-4.5036e+15} + {4.5036e+15} = {0.5}"},
        {'+', true, digit(999999.9999999999, 3), digit(-999999.9999999998, 3), "1e-10/3", kNone,
         "\\frac{1e+06}{3} + \\frac{-1e+06}{3} = \\frac{1e-10}{3}"},
        // From 2^{53} on, only a few units in the last place (3^{40} as a
        // power gives it, less 3^{40} as typed) are residue.
        {'-', false, digit(9007199254740996), digit(9007199254740992), "0/1", kNone, "{9.0072e+15} - {9.0072e+15} = {0}"},
        {'-', false, digit(1e16), digit(9999999999999000), "1000/1", kNone, "{1e+16} - {1e+16} = {1000}"},
        {'+', false, digit(9007199254740994), digit(-9007199254740000), "994/1", kNone,
         "{9.0072e+15} + {-9.0072e+15} = {994}"},
        {'-', false, digit(12157665459056930816.0), digit(12157665459056928801.0), "0/1", kNone,
         "{1.21577e+19} - {1.21577e+19} = {0}"},
        {'-', false, digit(1.7976931348623157e308), digit(1e308), "7.97693134862e+307/1", kNone,
         "{1.79769e+308} - {1e+308} = {7.97693e+307}"},
        // Parts past the double's range over a common denominator: the terms
        // are added as they are (once the sum of a tiny power and d read ∞).
        {'+', true, digit(4.566898283e274, 5.940448853e305), digit(2436), "2436/1", kNone,
         "{7.6878e-32} + {2436} = {2436}"},
        // Nothing without a value, or with variables that differ.
        {'+', false, blank, digit(1), "none", kNone, kNone}, {'-', false, digit(1), blank, "none", kNone, kNone},
        {'-', false, x, digit(1), "none", kNone, kNone},
        {'+', false, x, withVariable(digit(2), "x", 2), "none", kNone, kNone},
    };
    for (const AdditionCase& c : cases) {
        KalMathOperation operation;
        operation.setWithFraction(c.withFraction);
        const AdditionResult r = c.sign == '-' ? operation.subtract(c.u, c.v) : operation.add(c.u, c.v);
        EXPECT_EQ(fields(r.digit), c.result) << c.result;
        EXPECT_EQ(r.expansionLatex, c.expansion) << c.result;
        EXPECT_EQ(r.operationLatex, c.operation) << c.result;
    }
}

struct ProductCase {
    char sign;
    bool withFraction;
    Digit u, v;
    std::string result;
    Lines operation, cancel;
};

TEST(KalMathOperation, MultiplyAndDivide) {
    const Digit blank(std::nullopt, 1);
    const ProductCase cases[] = {
        {'*', true, digit(2, 3), digit(3, 4), "1/2", "\\frac{2  \\cdot 3}{3  \\cdot 4} = \\frac{6}{12}",
         "\\frac{6 : 6}{12  : 6} = \\frac{1}{2}"},
        {'*', false, digit(0), digit(5), "0/1", "0 \\cdot 5 = 0", kNone},
        {'*', true, digit(0, 3), digit(-5), "-0/1", "0 \\cdot \\left(-5\\right) = 0", kNone},
        // Constants standing only in a denominator are kept.
        {'*', false, digit(1, 1, {}, {pi()}), digit(2), "2/1 /π", "1  \\cdot 2 = 2", kNone},
        {'*', false, digit(1, 1, {pi()}), digit(1, 1, {}, {pi()}), "1/1", "1  \\cdot 1 = 1", kNone},
        // Variables: equal ones add their powers, a one-sided one keeps its power.
        {'*', false, withVariable(digit(2), "x", 1), withVariable(digit(3), "x", 2), "6/1 x^3", "2  \\cdot 3 = 6",
         kNone},
        {'*', false, withVariable(digit(2), "x", 2), digit(3), "6/1 x^2", "2  \\cdot 3 = 6", kNone},
        {'*', false, withVariable(digit(2), "x", 1), withVariable(digit(3), "y", 1), "6/1 xy^1", "2  \\cdot 3 = 6",
         kNone},
        {':', true, digit(4, 9), digit(2, 3), "2/3", "\\frac{4 : 2}{9 : 3} = \\frac{2}{3}", kNone},
        {':', true, digit(1, 2), digit(1, 3), "3/2",
         "\\frac{1 : 1}{2 : 3} = \\frac{1  \\cdot 3}{2  \\cdot 1} = \\frac{3}{2}", kNone},
        {':', true, digit(-6), digit(4), "-3/2", "\\frac{-6 : 4}{1 : 1} = \\frac{-6  \\cdot 1}{1  \\cdot 4} = \\frac{-6}{4}",
         "\\frac{-6 : 2}{4  : 2} = \\frac{-3}{2}"},
        {':', false, digit(7), digit(2), "3.5/1", "7 : 2 = 3.5", kNone},
        {':', false, digit(1, 1, {pi(), e()}), digit(1, 1, {pi()}), "1/1 e/", "1 : 1 = 1", kNone},
        // Constants cancel one for one: π² : π keeps one π.
        {':', false, digit(1, 1, {pi(), pi()}), digit(1, 1, {pi()}), "1/1 π/", "1 : 1 = 1", kNone},
        {':', true, digit(2), digit(1, 1, {}, {pi()}), "2/1 π/", "\\frac{2 : 1}{1 : 1} = \\frac{2}{1}", kNone},
        // No value gives nothing; a zero divisor gives what floating point gives.
        {'*', false, blank, digit(2), "none", kNone, kNone}, {':', false, digit(2), blank, "none", kNone, kNone},
        {':', false, digit(1), digit(0), "inf/1", "1 : 0 = inf", kNone},
        {':', true, digit(1), digit(0), "1/0", "\\frac{1 : 0}{1 : 1} = \\frac{1  \\cdot 1}{1  \\cdot 0} = \\frac{1}{0}",
         kNone},
    };
    for (const ProductCase& c : cases) {
        KalMathOperation operation;
        operation.setWithFraction(c.withFraction);
        const ProductResult r = c.sign == ':' ? operation.divide(c.u, c.v, false) : operation.multiply(c.u, c.v);
        EXPECT_EQ(fields(r.digit), c.result) << c.result;
        EXPECT_EQ(r.operationLatex, c.operation) << c.result;
        EXPECT_EQ(r.cancelLatex, c.cancel) << c.result;
    }
}

TEST(KalMathOperation, CancelDown) {
    const struct {
        Digit d;
        std::string result;
        int64_t divisor;
        Lines text;
    } cases[] = {
        {digit(6, -4), "-3/2", -2, "\\frac{6 : (-2)}{(-4) : (-2)} =  \\left(-\\frac{3}{2}\\right)"},
        {digit(4, 6), "2/3", 2, "\\frac{4 : 2}{6 : 2} =  \\frac{2}{3}"},
        {withVariable(digit(4, 6), "x", 2), "2/3 x^2", 2, "\\frac{4 : 2}{6 : 2} x^{2.0} =  \\frac{2}{3}  x^{2.0}"},
        {digit(1, -2), "none", -1, kNone}, {digit(7), "none", 1, kNone},
        {digit(4, 2, {pi()}, {pi()}), "2/1", 2, "\\frac{4\\pi : 2\\pi}{2\\pi : 2\\pi} =  2"},
        {digit(2, 1, {pi()}, {e()}), "none", 1, kNone},
        // A typed tiny part is no 0 in the cancelling line.
        {digit(1e-12, 1, {pi()}, {pi()}), "1e-12/1", 1,
         "\\frac{1 \\cdot 10^{-12}\\pi : \\pi}{\\pi : \\pi} =  1 \\cdot 10^{-12}"},
        // Only whole numbers cancel.
        {digit(6.5, 4), "none", 1, kNone},
        // Large operands are cancelled at once.
        {digit(600851475143, 6857), "87625999/1", 6857, "\\frac{600851475143 : 6857}{6857 : 6857} =  87625999"},
        {digit(-1e12, 3e12), "-1/3", 1000000000000,
         "\\frac{(-1000000000000) : 1000000000000}{3000000000000 : 1000000000000} =  \\left(-\\frac{1}{3}\\right)"},
        {digit(4611686018427387904.0, 2305843009213693952.0), "2/1", 2305843009213693952,
         "\\frac{4.611686018 \\cdot 10^{18} : \\left(2.305843009 \\cdot 10^{18}\\right)}{2.305843009 \\cdot 10^{18} : "
         "\\left(2.305843009 \\cdot 10^{18}\\right)} =  2"},
        // Beyond the signed 64-bit range, infinite, not a number or blank: nothing.
        {digit(9223372036854775808.0, 4611686018427387904.0), "none", 1, kNone},
        {digit(INFINITY, 2), "none", 1, kNone}, {digit(NAN, 2), "none", 1, kNone},
        {Digit(std::nullopt, 4), "none", 1, kNone},
    };
    for (const auto& c : cases) {
        KalMathOperation operation;
        const CancelResult r = operation.cancelDown(c.d);
        EXPECT_EQ(fields(r.digit), c.result) << c.result;
        EXPECT_EQ(r.cancelLatex, c.text) << c.result;
        EXPECT_EQ(operation.divisor(), c.divisor) << c.result;
    }
}

TEST(KalMathOperation, PowerRaisesConstants) {
    const std::tuple<Digit, double, double> cases[] = {
        {digit(2, 3), 2, 4.0 / 9.0},
        {digit(1, 1, {e()}), 0.5, std::sqrt(2.718281828459045)},
        {digit(2, 1, {pi()}), -1, 1 / (2 * 3.141592653589793)},
        {digit(1, 1, {}, {e()}), 2, 1 / std::pow(2.718281828459045, 2)},
    };
    KalMathOperation operation;
    for (const auto& [d, r, value] : cases) EXPECT_DOUBLE_EQ(*operation.power(d, r)->value(), value) << r;
    EXPECT_FALSE(operation.power(Digit(std::nullopt, 1), 2));
}

TEST(KalMathOperation, RoundedToPlaces) {
    const std::tuple<int, double, double, bool> cases[] = {
        {2, 0.125, 0.13, true}, {2, 0.1 + 0.2, 0.3, false}, {0, -2.5, -3, true},
        {2, 1.23999999, 1.24, false}, {1, 0.04, 0, true},
    };
    for (const auto& [places, x, rounded, cut] : cases) {
        const RoundedResult r = KalMathOperation::roundedToPlaces(places, x);
        EXPECT_DOUBLE_EQ(r.rounded, rounded) << x;
        EXPECT_EQ(r.cut, cut) << x;
    }
}

}  // namespace
