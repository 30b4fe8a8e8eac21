#include "Calvaro/charts/data/BernoulliDistributionTreeChartData.h"

BernoulliDistributionTreeChartData::~BernoulliDistributionTreeChartData() = default;
