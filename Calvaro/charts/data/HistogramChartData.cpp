#include "Calvaro/charts/data/HistogramChartData.h"

HistogramChartData::~HistogramChartData() = default;
