#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/HostedChartView.h"
#include "Calvaro/charts/data/ChartData.h"

// One named series of points.
struct ChartSeries {
    std::string name;
    std::vector<ChartPoint> data;
};

// Smooth curves (the function and its inverse) or one trigonometric graph.
class SplineChartView : public HostedChartView {
public:
    explicit SplineChartView(const ui::Rect& frame) : HostedChartView(frame, true) {}

    // "function" in a series name is shortened to "func"; the n-th colour
    // colours the n-th series; automatic x range, x-axis title "x".
    void drawChart(const std::vector<ChartSeries>& series, const std::string& yAxisTitle,
                   const std::string& chartTitle, const std::vector<std::string>& colors,
                   chart::ChartType chartType, std::optional<double> yMax, float markerRadius,
                   std::optional<double> yMin);
    // One series, its name also the y-axis title.
    void drawTrigonometricChart(const std::vector<ChartPoint>& data, const std::string& seriesName,
                                const std::string& chartTitle, const std::string& color,
                                chart::ChartType chartType, float markerRadius, std::optional<double> yMax,
                                std::optional<double> yMin, bool piLabels);
};
