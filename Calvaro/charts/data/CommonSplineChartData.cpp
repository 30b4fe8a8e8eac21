#include "Calvaro/charts/data/CommonSplineChartData.h"

CommonSplineChartData::~CommonSplineChartData() = default;
