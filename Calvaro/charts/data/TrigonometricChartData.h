#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/data/ChartData.h"
#include "Calvaro/charts/data/TrigonometricType.h"

// The graph of a sine, cosine or tangent.
class TrigonometricChartData : public ChartData {
public:
    ~TrigonometricChartData() override;

    std::optional<double> lengthOfGraph;
    double offset = 0.0;
    double periodLength = 0.0;
    double amplitude = 0.0;
    std::optional<TrigonometricType> type;
};
