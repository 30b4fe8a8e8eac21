#pragma once

#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"

// One coloured group of bars of a histogram.
struct HistogramDataSet {
    std::string hexColor;
    std::vector<ChartPoint> dataValues;
};

// Bars of a distribution, grouped by colour.
class HistogramChartData : public ChartData {
public:
    ~HistogramChartData() override;

    std::string chartTitle;
    std::string dataName;
    std::string xAxisName;
    std::vector<HistogramDataSet> dataSetWithColorTheme;
};
