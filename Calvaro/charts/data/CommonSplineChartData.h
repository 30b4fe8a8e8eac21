#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"

// A spline series; the calculator's chart of a function and its inverse is two of them.
class CommonSplineChartData : public ChartData {
public:
    ~CommonSplineChartData() override;

    std::string chartTitle;
    std::string dataName;           // name of the series
    std::string chartColorHexCode;  // "#" and six hexadecimal digits
    std::vector<ChartPoint> dataSet;
    std::optional<double> lengthOfGraph;
};
