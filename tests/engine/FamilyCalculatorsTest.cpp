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

TEST(FamilyCalculators, DigitFieldsAreBlankAndOwnedByEachCalculator) {
    KalRuleOfProportion first, second;
    ASSERT_TRUE(first.a && second.a && first.a != first.b);
    first.a->setZ(3);
    EXPECT_FALSE(second.a->z());
    EXPECT_NE(KalUnitCircle().unitCircleChartData, KalUnitCircle().unitCircleChartData);
}
