#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Calvaro/charts/AreaChartView.h"
#include "Calvaro/charts/data/HistogramChartData.h"

// Builds area charts of histograms: one stepped area per coloured data set.
class AreaChartManager {
public:
    AreaChartManager() = delete;

    static std::shared_ptr<AreaChartView> makeAreaChart(const HistogramChartData& chartData, const ui::Rect& frame);
    // Appends the data set as one area named after the description, padded
    // to zero one unit before its smallest and after its largest x; a data
    // set without points appends nothing.
    static void makeAreaSeries(const std::string& hexColor, const std::vector<ChartPoint>& dataValues,
                               const HistogramChartData& chartData, std::vector<chart::SeriesElement>& elements);
};
