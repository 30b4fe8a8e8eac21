#include "Calvaro/charts/data/DistributionFunctionChartData.h"

DistributionFunctionChartData::~DistributionFunctionChartData() = default;
