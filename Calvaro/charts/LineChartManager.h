#pragma once

#include <memory>
#include <vector>

#include "Calvaro/charts/LineChartView.h"
#include "Calvaro/charts/data/DistributionFunctionChartData.h"
#include "Calvaro/charts/data/LineChartData.h"

// Builds line charts: a line in a square window around the origin, and the
// step graph of a cumulative distribution function.
class LineChartManager {
public:
    LineChartManager() = delete;

    // No view when the start or end point lacks an x or a y.
    static std::shared_ptr<LineChartView> makeLineChart(const LineChartData& chartData, const ui::Rect& frame);
    // No view for a distribution without points.
    static std::shared_ptr<LineChartView> makeDistributionChart(const DistributionFunctionChartData& chartData,
                                                                const ui::Rect& frame);
    // The data set with a point one unit before the first (height 0, or 1
    // when converse) and one after the last (height 1, or 0 when converse);
    // empty for an empty data set.
    static std::vector<ChartPoint> distributionPoints(const DistributionFunctionChartData& chartData);
};
