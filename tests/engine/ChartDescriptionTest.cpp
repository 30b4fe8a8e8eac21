#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "Calvaro/engine/FunctionChartDescription.h"

namespace {

struct Inputs {
    std::vector<DigitPtr> digits;
    Inputs(double a, double b, double c, double d, double z) {
        for (const double value : {a, b, c, d}) digits.push_back(Digit::make(value, 1.0));
        digits.push_back(Digit::make(std::nullopt, 1.0));
        digits.push_back(Digit::make(z, 1.0));
    }
};

using Chart = std::vector<std::vector<std::shared_ptr<CommonSplineChartData>>>;

Chart chart(int64_t mode, double a, double b, double c, double d, double z) {
    const Inputs inputs(a, b, c, d, z);
    return FunctionChartDescription(inputs.digits).makeChartData(mode);
}

// The calculator refuses such bases before any chart; called directly, the
// description still gives its rows, empty.
TEST(ChartDescription, InvalidBaseGivesEmptySeries) {
    const Chart invalid = chart(0, 1, 1, 0, 0, 1);
    ASSERT_EQ(invalid.size(), 1u);
    ASSERT_EQ(invalid[0].size(), 2u);
    EXPECT_TRUE(invalid[0][0]->dataSet.empty());
}

TEST(ChartDescription, HugeShiftsStayBoundedAndSmallOnesKeepEveryPoint) {
    // d = -95 stays within the bound: every sample of 0.01 is there.
    const auto inverse = chart(1, 2, 1, 0, -95, 1)[0][1]->dataSet;
    ASSERT_GE(inverse.size(), 1000u);
    for (size_t i = 2; i < inverse.size(); ++i) ASSERT_NEAR(inverse[i][0] - inverse[i - 1][0], 0.01, 1e-9);
    // d = -200: [-199.99, 3) would be 20299 samples; it is sampled more coarsely.
    const auto coarse = chart(1, 2, 1, 0, -200, 1)[0][1]->dataSet;
    ASSERT_GE(coarse.size(), 100u);
    EXPECT_NEAR(coarse[2][0] - coarse[1][0], 202.99 / 10000, 1e-9);

    for (const double shift : {1e6, 1e9, -1e9, 1e15}) {
        for (const int64_t mode : {0, 1}) {
            const Chart result = chart(mode, 2, 1, shift, shift, 1);
            ASSERT_EQ(result.size(), 1u);
            size_t points = 0;
            for (const auto& series : result[0]) points += series->dataSet.size();
            EXPECT_LE(points, 20002u) << shift;
        }
    }
}

// A sample that lands on a vertical asymptote within rounding (b·x + c or
// x − d coming out as 2e-16) must not become a point far down the curve.
TEST(ChartDescription, AsymptotesAreNeverSampled) {
    const struct {
        int64_t mode;
        double b, c, d, z;
        size_t series;
        double asymptote;
    } cases[] = {
        {1, 1, -50, 0.4, -1, 1, 0.4}, {1, 1, -50, 2.1, -1, 1, 2.1}, {1, 1, 0, 9, -1, 1, 9},
        {0, -1, -1.64, 40, 1, 0, -1.64}, {0, -1, -1.41, 40, 1, 0, -1.41},
    };
    for (const auto& c : cases) {
        const auto points = chart(c.mode, 2, c.b, c.c, c.d, c.z)[0][c.series]->dataSet;
        ASSERT_FALSE(points.empty());
        for (const auto& point : points) {
            EXPECT_GT(std::fabs(point[0] - c.asymptote), 1e-6) << "y " << point[1] << " at the asymptote " << c.asymptote;
        }
    }
}

}  // namespace
