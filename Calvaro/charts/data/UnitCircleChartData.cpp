#include "Calvaro/charts/data/UnitCircleChartData.h"

UnitCircleChartData::UnitCircleChartData(std::optional<double> alpha, std::optional<double> b,
                                         std::optional<double> angle, std::optional<int64_t> fullCircles,
                                         std::optional<Quadrant> quadrant)
    : alpha(alpha), b(b), angle(angle), fullCircles(fullCircles), quadrant(quadrant) {
    frameRatio = 2.0;
}

UnitCircleChartData::~UnitCircleChartData() = default;
