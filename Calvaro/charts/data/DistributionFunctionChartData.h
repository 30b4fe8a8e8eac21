#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"

// A cumulative distribution function.
class DistributionFunctionChartData : public ChartData {
public:
    ~DistributionFunctionChartData() override;

    std::string chartTitle;
    std::string dataName;
    std::string xAxisName;
    std::string chartColorHexCode;
    std::vector<ChartPoint> dataSet;
    bool isPresentationView = false;
    bool isConverse = false;
};
