#include <gtest/gtest.h>

#include <cmath>
#include <functional>

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

// Expected fields of a result Digit.
struct Expected {
    double z;
    double n;
    NaturalConstants zConstants = {};
    NaturalConstants nConstants = {};
};

void expectDigit(const DigitPtr& actual, const Expected& expected, const std::string& label) {
    ASSERT_TRUE(actual) << label;
    EXPECT_EQ(actual->z(), expected.z) << label;
    EXPECT_EQ(actual->n(), expected.n) << label;
    EXPECT_EQ(actual->zConstants(), expected.zConstants) << label;
    EXPECT_EQ(actual->nConstants(), expected.nConstants) << label;
}

struct AdditionCase {
    std::string label;
    bool subtracting;
    bool withFraction;
    Digit u, v;
    std::optional<Expected> result;
    Lines expansion, operation;
};

TEST(KalMathOperation, AddAndSubtract) {
    const AdditionCase cases[] = {
        {"1/2 + 1/3", false, true, digit(1, 2), digit(1, 3), Expected{5, 6},
         "\\frac{1 \\cdot 3}{2  \\cdot 3} + \\frac{1 \\cdot 2}{3  \\cdot 2} = \\frac{3}{6  } + \\frac{2}{6}",
         "\\frac{3}{6} + \\frac{2}{6} = \\frac{5}{6}"},
        {"2 + -2", false, false, digit(2), digit(-2), Expected{0, 1}, kNone, "{2} + {-2} = {0}"},
        {"1/2 + 1/-2", false, true, digit(1, 2), digit(1, -2), Expected{0, 1},
         "\\frac{1 \\cdot -2}{2  \\cdot -2} + \\frac{1 \\cdot 2}{-2  \\cdot 2} = \\frac{-2}{-4  } + "
         "\\frac{2}{-4}",
         "\\frac{-2}{-4} + \\frac{2}{-4} = \\frac{0}{-4}"},
        // The line keeps the negative denominator; the result turns it.
        {"1/-2 + 1/-2", false, true, digit(1, -2), digit(1, -2), Expected{-2, 2}, kNone,
         "\\frac{1}{-2} + \\frac{1}{-2} = \\frac{2}{-2}"},
        {"2pi + 3pi", false, false, digit(2, 1, {pi()}), digit(3, 1, {pi()}), Expected{5, 1, {pi()}}, kNone,
         "{2} + {3} = {5}"},
        {"0 + 2/e", false, true, digit(0), digit(2, 1, {}, {e()}), Expected{2, 1, {}, {e()}}, kNone,
         "\\frac{0}{1} + \\frac{2}{1} = \\frac{2}{1}"},
        {"pi + e", false, false, digit(1, 1, {pi()}), digit(1, 1, {e()}),
         Expected{2.718281828459045 + 3.141592653589793, 1}, kNone, "{3.14159} + {2.71828} = {5.85987}"},
        {"3/4 - 1/4", true, true, digit(3, 4), digit(1, 4), Expected{2, 4}, kNone,
         "\\frac{3}{4} - \\frac{1}{4} = \\frac{2}{4}"},
        {"1/2 - 1/3", true, true, digit(1, 2), digit(1, 3), Expected{1, 6},
         "\\frac{1 \\cdot 3}{2  \\cdot 3} - \\frac{1 \\cdot 2}{3  \\cdot 2} = \\frac{3}{6  } - \\frac{2}{6}",
         "\\frac{3}{6} - \\frac{2}{6} = \\frac{1}{6}"},
        // Constants survive a difference.
        {"0 - pi", true, false, digit(0), digit(1, 1, {pi()}), Expected{-1, 1, {pi()}}, kNone,
         "{0} - {1} = {-1}"},
        {"pi - pi", true, false, digit(1, 1, {pi()}), digit(1, 1, {pi()}), Expected{0, 1, {pi()}}, kNone,
         "{1} - {1} = {0}"},
        {"pi - 1", true, false, digit(1, 1, {pi()}), digit(1), Expected{3.141592653589793 - 1, 1}, kNone,
         "{3.14159} - {1} = {2.14159}"},
        {"1/pi - 1/e", true, false, digit(1, 1, {}, {pi()}), digit(1, 1, {}, {e()}),
         Expected{2.718281828459045 - 3.141592653589793, 3.141592653589793 * 2.718281828459045},
         "\\frac{1 \\cdot 2.71828}{3.14159  \\cdot 2.71828} - \\frac{1 \\cdot 3.14159}{2.71828  \\cdot "
         "3.14159} = \\frac{2.71828}{8.53973  } - \\frac{3.14159}{8.53973}",
         "{2.71828} - {3.14159} = {-0.423311}"},
    };
    for (const AdditionCase& c : cases) {
        KalMathOperation operation;
        operation.setWithFraction(c.withFraction);
        const AdditionResult r = c.subtracting ? operation.subtract(c.u, c.v) : operation.add(c.u, c.v);
        expectDigit(r.digit, *c.result, c.label);
        EXPECT_EQ(r.expansionLatex, c.expansion) << c.label;
        EXPECT_EQ(r.operationLatex, c.operation) << c.label;
    }
}

TEST(KalMathOperation, AddAndSubtractRefuseWhatCannotBeCombined) {
    KalMathOperation operation;
    const Digit blank(std::nullopt, 1);
    const Digit x = withVariable(digit(2), "x", 1);
    const Digit y = withVariable(digit(2), "y", 1);
    const Digit x2 = withVariable(digit(2), "x", 2);
    const std::pair<Digit, Digit> refused[] = {{blank, digit(1)}, {digit(1), blank}, {x, y}, {x, x2}, {x, digit(1)}};
    for (const auto& [u, v] : refused) {
        for (bool subtracting : {false, true}) {
            const AdditionResult r = subtracting ? operation.subtract(u, v) : operation.add(u, v);
            EXPECT_FALSE(r.digit);
            EXPECT_FALSE(r.expansionLatex);
            EXPECT_FALSE(r.operationLatex);
        }
    }
    const AdditionResult sum = operation.add(x, x);
    ASSERT_TRUE(sum.digit);
    EXPECT_EQ(sum.digit->zVariable(), "x");
    EXPECT_EQ(sum.digit->z(), 4.0);
}

struct ProductCase {
    std::string label;
    bool dividing;
    bool withFraction;
    Digit u, v;
    Expected result;
    Lines operation, cancel;
};

TEST(KalMathOperation, MultiplyAndDivide) {
    const ProductCase cases[] = {
        {"2/3 * 3/4", false, true, digit(2, 3), digit(3, 4), Expected{1, 2},
         "\\frac{2  \\cdot 3}{3  \\cdot 4} = \\frac{6}{12}", "\\frac{6 : 6}{12  : 6} = \\frac{1}{2}"},
        {"0 * 5", false, false, digit(0), digit(5), Expected{0, 1}, "0 \\cdot 5 = 0", kNone},
        {"0 * -5", false, true, digit(0, 3), digit(-5), Expected{0, 1}, "0 \\cdot \\left(-5\\right) = 0", kNone},
        // A constant only in a denominator is kept.
        {"1/pi * 2", false, false, digit(1, 1, {}, {pi()}), digit(2), Expected{2, 1, {}, {pi()}},
         "1  \\cdot 2 = 2", kNone},
        {"pi * 1/pi", false, false, digit(1, 1, {pi()}), digit(1, 1, {}, {pi()}), Expected{1, 1},
         "1  \\cdot 1 = 1", kNone},
        {"4/9 : 2/3", true, true, digit(4, 9), digit(2, 3), Expected{2, 3}, "\\frac{4 : 2}{9 : 3} = \\frac{2}{3}",
         kNone},
        {"1/2 : 1/3", true, true, digit(1, 2), digit(1, 3), Expected{3, 2},
         "\\frac{1 : 1}{2 : 3} = \\frac{1  \\cdot 3}{2  \\cdot 1} = \\frac{3}{2}", kNone},
        {"-6 : 4", true, true, digit(-6), digit(4), Expected{-3, 2},
         "\\frac{-6 : 4}{1 : 1} = \\frac{-6  \\cdot 1}{1  \\cdot 4} = \\frac{-6}{4}",
         "\\frac{-6 : 2}{4  : 2} = \\frac{-3}{2}"},
        {"1 : -2", true, true, digit(1), digit(-2), Expected{-1, 2},
         "\\frac{1 : -2}{1 : 1} = \\frac{1  \\cdot 1}{1  \\cdot -2} = \\frac{-1}{2}", kNone},
        {"7 : 2", true, false, digit(7), digit(2), Expected{3.5, 1}, "7 : 2 = 3.5", kNone},
        {"pi e : pi", true, false, digit(1, 1, {pi(), e()}), digit(1, 1, {pi()}), Expected{1, 1, {e()}},
         "1 : 1 = 1", kNone},
        // Constants cancel pairwise: pi^2 : pi keeps one pi.
        {"pi pi : pi", true, false, digit(1, 1, {pi(), pi()}), digit(1, 1, {pi()}), Expected{1, 1, {pi()}},
         "1 : 1 = 1", kNone},
        // Constants only in denominators are kept.
        {"1/pi : 2", true, false, digit(1, 1, {}, {pi()}), digit(2), Expected{0.5, 1, {}, {pi()}},
         "1 : 2 = 0.5", kNone},
        {"2 : 1/pi", true, true, digit(2), digit(1, 1, {}, {pi()}), Expected{2, 1, {pi()}},
         "\\frac{2 : 1}{1 : 1} = \\frac{2}{1}", kNone},
    };
    for (const ProductCase& c : cases) {
        KalMathOperation operation;
        operation.setWithFraction(c.withFraction);
        const ProductResult r = c.dividing ? operation.divide(c.u, c.v, false) : operation.multiply(c.u, c.v);
        expectDigit(r.digit, c.result, c.label);
        EXPECT_EQ(r.operationLatex, c.operation) << c.label;
        EXPECT_EQ(r.cancelLatex, c.cancel) << c.label;
    }
}

TEST(KalMathOperation, MultiplyCombinesVariables) {
    struct Case {
        Digit u, v;
        std::string variable;
        double power;
    };
    const Case cases[] = {
        {withVariable(digit(2), "x", 1), withVariable(digit(3), "x", 2), "x", 3},
        {withVariable(digit(2), "x", 2), digit(3), "x", 2}, {digit(2), withVariable(digit(3), "y", 3), "y", 3},
        {withVariable(digit(2), "x", 1), withVariable(digit(3), "y", 1), "xy", 1}, {digit(2), digit(3), "", 0},
    };
    KalMathOperation operation;
    for (const Case& c : cases) {
        const ProductResult r = operation.multiply(c.u, c.v);
        ASSERT_TRUE(r.digit);
        EXPECT_EQ(r.digit->zVariable(), c.variable);
        EXPECT_EQ(r.digit->powerOfZVariable(), c.power) << c.variable;
    }
}

TEST(KalMathOperation, OperandWithoutValueGivesNothingAndZeroDivisorNoCrash) {
    KalMathOperation operation;
    const Digit blank(std::nullopt, 1);
    for (const ProductResult& r : {operation.multiply(blank, digit(2)), operation.divide(digit(2), blank, false)}) {
        EXPECT_FALSE(r.digit || r.operationLatex || r.cancelLatex);
    }
    EXPECT_FALSE(operation.power(blank, 2));
    for (const bool withFraction : {false, true}) {
        operation.setWithFraction(withFraction);
        const ProductResult quotient = operation.divide(digit(1), digit(0), false);
        ASSERT_TRUE(quotient.digit);
        EXPECT_TRUE(std::isinf(*quotient.digit->value()));
    }
}

struct CancelCase {
    std::string label;
    Digit d;
    std::optional<Expected> result;
    int64_t divisor;
    Lines text;
};

TEST(KalMathOperation, CancelDown) {
    const CancelCase cases[] = {
        {"6/-4", digit(6, -4), Expected{-3, 2}, -2, "\\frac{6 : (-2)}{(-4) : (-2)} =  \\left(-\\frac{3}{2}\\right)"},
        {"4/6", digit(4, 6), Expected{2, 3}, 2, "\\frac{4 : 2}{6 : 2} =  \\frac{2}{3}"},
        {"1/-2", digit(1, -2), std::nullopt, -1, kNone}, {"7/1", digit(7), std::nullopt, 1, kNone},
        {"2pi/pi", digit(2, 1, {pi()}, {pi()}), Expected{2, 1}, 1, "\\frac{2\\pi : \\pi}{\\pi : \\pi} =  2"},
        {"4pi/(2pi)", digit(4, 2, {pi()}, {pi()}), Expected{2, 1}, 2, "\\frac{4\\pi : 2\\pi}{2\\pi : 2\\pi} =  2"},
        {"2pi/e", digit(2, 1, {pi()}, {e()}), std::nullopt, 1, kNone},
        {"1.5/3", digit(1.5, 3), std::nullopt, 1, kNone},
        // Only whole numbers cancel: 6.5/4 stays as it is.
        {"6.5/4", digit(6.5, 4), std::nullopt, 1, kNone}, {"4/6.5", digit(4, 6.5), std::nullopt, 1, kNone},
        {"-1e12/3e12", digit(-1e12, 3e12), Expected{-1, 3}, 1000000000000,
         "\\frac{(-1000000000000) : 1000000000000}{\\infty : 1000000000000} =  \\left(-\\frac{1}{3}\\right)"},
        {"600851475143/6857", digit(600851475143, 6857), Expected{87625999, 1}, 6857,
         "\\frac{600851475143 : 6857}{6857 : 6857} =  87625999"},
        {"2^62/2^61", digit(4611686018427387904.0, 2305843009213693952.0), Expected{2, 1}, 2305843009213693952,
         "\\frac{\\infty : \\infty}{\\infty : \\infty} =  2"},
        // Beyond the signed 64-bit range nothing is reduced.
        {"2^63/2^62", digit(9223372036854775808.0, 4611686018427387904.0), std::nullopt, 1, kNone},
        {"inf/2", digit(INFINITY, 2), std::nullopt, 1, kNone}, {"nan/2", digit(NAN, 2), std::nullopt, 1, kNone},
        {"blank", Digit(std::nullopt, 4), std::nullopt, 1, kNone},
        {"4x^2/6", withVariable(digit(4, 6), "x", 2), Expected{2, 3}, 2,
         "\\frac{4 : 2}{6 : 2} x^{2.0} =  \\frac{2}{3}  x^{2.0}"},
    };
    for (const CancelCase& c : cases) {
        KalMathOperation operation;
        const CancelResult r = operation.cancelDown(c.d);
        if (c.result) {
            expectDigit(r.digit, *c.result, c.label);
        } else {
            EXPECT_FALSE(r.digit) << c.label;
        }
        EXPECT_EQ(r.cancelLatex, c.text) << c.label;
        EXPECT_EQ(operation.divisor(), c.divisor) << c.label;
        EXPECT_EQ(r.digit ? r.digit->zVariable() : c.d.zVariable(), c.d.zVariable()) << c.label;
    }
}

TEST(KalMathOperation, PowerRaisesConstants) {
    struct Case {
        std::string label;
        Digit d;
        double r;
        double value;
    };
    const Case cases[] = {
        {"2^3", digit(2), 3, 8}, {"(2/3)^2", digit(2, 3), 2, 4.0 / 9.0},
        {"e^2", digit(1, 1, {e()}), 2, std::pow(2.718281828459045, 2)},
        {"e^0.5", digit(1, 1, {e()}), 0.5, std::sqrt(2.718281828459045)}, {"e^0", digit(1, 1, {e()}), 0, 1},
        {"(2pi)^-1", digit(2, 1, {pi()}), -1, 1 / (2 * 3.141592653589793)},
        {"(1/e)^2", digit(1, 1, {}, {e()}), 2, 1 / std::pow(2.718281828459045, 2)},
    };
    KalMathOperation operation;
    for (const Case& c : cases) {
        const DigitPtr p = operation.power(c.d, c.r);
        ASSERT_TRUE(p) << c.label;
        EXPECT_DOUBLE_EQ(*p->value(), c.value) << c.label;
    }
    const DigitPtr exact = operation.power(digit(2, 3), 2);
    EXPECT_EQ(exact->z(), 4.0);
    EXPECT_EQ(exact->n(), 9.0);
}

TEST(KalMathOperation, RoundedToPlaces) {
    struct Case {
        int places;
        double x;
        double rounded;
        bool cut;
    };
    const Case cases[] = {
        {2, 0.125, 0.13, true},        {2, 0.1 + 0.2, 0.3, false},  {2, 1.5, 1.5, false},
        {0, 2.5, 3, true},             {0, -2.5, -3, true},         {2, 1.23999999, 1.24, false},
        {3, -0.0005, -0.001, true},    {3, 7, 7, false},            {1, 0.04, 0, true},
    };
    for (const Case& c : cases) {
        const RoundedResult r = KalMathOperation::roundedToPlaces(c.places, c.x);
        EXPECT_DOUBLE_EQ(r.rounded, c.rounded) << c.x;
        EXPECT_EQ(r.cut, c.cut) << c.x;
    }
}

}  // namespace
