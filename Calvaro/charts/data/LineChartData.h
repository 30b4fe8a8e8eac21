#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"

// A straight line between two points with marked points on it.
class LineChartData : public ChartData {
public:
    ~LineChartData() override;

    std::string chartTitle;
    std::string dataName;
    std::string chartColorHexCode;
    std::vector<double> startPoint;
    std::vector<double> endPoint;
    std::vector<ChartPoint> markedPoints;
    double axisLimit = 0.0;
};
