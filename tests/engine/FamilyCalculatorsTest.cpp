#include <gtest/gtest.h>

#include "Calvaro/engine/KalFamilyCalculators.h"

// Each record owns its Digits: a value typed into one calculator must never
// show in another.
TEST(FamilyCalculators, DigitFieldsAreBlankAndOwnedByEachCalculator) {
    KalRuleOfProportion first, second;
    ASSERT_TRUE(first.a && second.a && first.a != first.b);
    EXPECT_FALSE(first.a->z());
    first.a->setZ(3);
    EXPECT_FALSE(second.a->z());
    EXPECT_NE(KalUnitCircle().unitCircleChartData, KalUnitCircle().unitCircleChartData);
}
