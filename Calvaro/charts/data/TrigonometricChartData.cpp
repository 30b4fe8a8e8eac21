#include "Calvaro/charts/data/TrigonometricChartData.h"

TrigonometricChartData::~TrigonometricChartData() = default;
