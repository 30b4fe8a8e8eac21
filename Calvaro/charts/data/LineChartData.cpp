#include "Calvaro/charts/data/LineChartData.h"

LineChartData::~LineChartData() = default;
