#pragma once

#include <cstdint>
#include <optional>

#include "Calvaro/charts/data/ChartData.h"
#include "Calvaro/charts/data/Quadrant.h"

// An angle drawn on the unit circle. The view is always twice as wide as high.
class UnitCircleChartData : public ChartData {
public:
    UnitCircleChartData(std::optional<double> alpha, std::optional<double> b, std::optional<double> angle,
                        std::optional<int64_t> fullCircles, std::optional<Quadrant> quadrant);
    ~UnitCircleChartData() override;

    std::optional<double> alpha;
    std::optional<double> b;
    std::optional<double> angle;
    std::optional<int64_t> fullCircles;
    std::optional<Quadrant> quadrant;
};
