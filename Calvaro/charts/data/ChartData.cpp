#include "Calvaro/charts/data/ChartData.h"

// Out of line so that the vtable has one home.
ChartData::~ChartData() = default;
