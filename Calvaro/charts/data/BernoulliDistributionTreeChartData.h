#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"

// The probability tree of a Bernoulli chain.
class BernoulliDistributionTreeChartData : public ChartData {
public:
    ~BernoulliDistributionTreeChartData() override;

    std::string chartTitle;
    std::string chartColorHexCode;
    double probabilityOfSuccess = 0.0;
    int64_t hits = 0;
    int64_t trials = 0;
};
