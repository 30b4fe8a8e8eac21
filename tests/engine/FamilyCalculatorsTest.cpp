#include <gtest/gtest.h>

#include "Calvaro/engine/KalFamilyCalculators.h"

TEST(FamilyCalculators, EveryCalculatorWorksOnTheSameSharedObjects) {
    KalSimpleLogarithm logarithm;
    KalArbitraryTriangle triangle;
    KalRuleOfProportion proportion;
    KalFindX findX;
    KalPQFormula pq;
    KalLinearEquation linear;

    KalMathOperation* operation = &KalMathOperation::shared();
    KalStringOutput* output = &KalStringOutput::shared();
    for (KalMathOperation* used : {logarithm.operation, triangle.operation, proportion.mathOperation,
                                   findX.mathOperation, pq.operation}) {
        EXPECT_EQ(used, operation);
    }
    for (KalStringOutput* used : {logarithm.output, triangle.output, proportion.outputHelper,
                                  findX.outputHelper, pq.outputHelper, linear.outputHelper}) {
        EXPECT_EQ(used, output);
    }
    EXPECT_EQ(proportion.inputManager, &KalInputManager::shared());
    EXPECT_EQ(findX.inputManager, proportion.inputManager);
}

TEST(FamilyCalculators, FlagsThatStartTrueAndOptionalsThatStartAbsent) {
    KalFindX findX;
    EXPECT_TRUE(findX.isXAllowed);
    EXPECT_FALSE(findX.isPlusOperatorAllowed);
    EXPECT_FALSE(findX.isDotInDigitAlready);
    EXPECT_TRUE(KalFactorizeQuadratics().isA1Example);
    EXPECT_TRUE(KalACMethod().isA1Example);
    EXPECT_FALSE(KalAdvancedPowerCalculator().allInputs);
    EXPECT_TRUE(KalBernoulliFormula().allInputs.empty());
    EXPECT_EQ(KalCombinatorics::decimalPlaces, 5);
    EXPECT_EQ(KalFormulaCalculation::decimalPlaces, 12);
    EXPECT_EQ(KalReduceFraction().maximumFractionDigits, 10);
    EXPECT_EQ(KalLinearEquation().divisor, 1.0);
    EXPECT_FALSE(KalBinomialFormula().solutionStepCounter);

    KalPQFormula pq;
    EXPECT_FALSE(pq.p.z);
    EXPECT_EQ(pq.p.n, 1.0);
}

TEST(FamilyCalculators, DigitFieldsAreBlankAndOwnedByEachCalculator) {
    KalRuleOfProportion first, second;
    ASSERT_TRUE(first.a && second.a);
    EXPECT_FALSE(first.a->z());
    EXPECT_EQ(first.a->n(), 1.0);
    EXPECT_NE(first.a, first.b);
    first.a->setZ(3);
    EXPECT_FALSE(second.a->z());
}

TEST(FamilyCalculators, UnitCircleChartStartsWithEveryValuePresent) {
    KalUnitCircle circle;
    ASSERT_TRUE(circle.unitCircleChartData);
    const auto& chart = *circle.unitCircleChartData;
    EXPECT_EQ(chart.frameRatio, 2.0);
    EXPECT_EQ(chart.alpha, 0.0);
    EXPECT_EQ(chart.b, 0.0);
    EXPECT_EQ(chart.angle, 0.0);
    EXPECT_EQ(chart.fullCircles, 0);
    EXPECT_EQ(chart.quadrant, Quadrant::first);
    EXPECT_NE(KalUnitCircle().unitCircleChartData, circle.unitCircleChartData);
}
