#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Calvaro/charts/SplineChartView.h"
#include "Calvaro/charts/data/CommonSplineChartData.h"
#include "Calvaro/charts/data/TrigonometricChartData.h"

// Builds spline charts: the calculator's function and inverse, and single
// trigonometric graphs.
class SplineChartManager {
public:
    SplineChartManager() = delete;

    // Above this many intervals a trigonometric graph is sampled more coarsely
    // over the same length.
    static constexpr int64_t maximumIntervals = 20000;

    // One series per description, in list order; title from the first. No
    // view for an empty list.
    static std::shared_ptr<SplineChartView> makeChart(
        const std::vector<std::shared_ptr<CommonSplineChartData>>& chartData, const ui::Rect& frame);
    // No view for a description that cannot be sampled.
    static std::shared_ptr<SplineChartView> makeTrigonometricChart(const TrigonometricChartData& chartData,
                                                                   const ui::Rect& frame);
    // N + 1 points from the offset over L = lengthOfGraph + |offset|, spaced
    // about π/32 apart (sine, cosine) or densely enough for the tangent's
    // steep branches, at least 4 intervals and an even number of them. Empty
    // without a length or type, or when L is not positive.
    static std::vector<ChartPoint> sampleTrigonometricGraph(const TrigonometricChartData& chartData);
};
