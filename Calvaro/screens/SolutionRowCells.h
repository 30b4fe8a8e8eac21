#pragma once

#include "Calvaro/charts/ChartTableViewCell.h"
#include "Calvaro/screens/VideoCollectionTableViewCell.h"

// Registers the chart and video rows' nibs unless something else already provides them.
void registerSolutionRowNibs();
