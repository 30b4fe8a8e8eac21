#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/HostedChartView.h"
#include "Calvaro/charts/data/ChartData.h"

// A straight line with marked points, or the step graph of a distribution.
class LineChartView : public HostedChartView {
public:
    explicit LineChartView(const ui::Rect& frame) : HostedChartView(frame, true) {}

    // The line without markers, the marked points with markers of radius 5,
    // both axes over the given window.
    void drawLineChart(const std::vector<ChartPoint>& line, const std::vector<ChartPoint>& markedPoints,
                       const std::string& seriesName, const std::string& chartTitle, const std::string& color,
                       chart::ChartType chartType, float markerRadius, double xMin, double xMax, double yMin,
                       double yMax);
    // `data` as dots on a left-continuous step line through `extendedData`.
    void drawDistributionChart(const std::vector<ChartPoint>& data, const std::vector<ChartPoint>& extendedData,
                               const std::string& seriesName, const std::string& chartTitle,
                               const std::string& xAxisName, const std::string& color, chart::ChartType chartType,
                               std::optional<double> yMax, std::optional<double> yMin, float markerRadius);
};
