#pragma once

#include "Calvaro/charts/HostedChartView.h"

// Stepped, filled areas of a histogram; the chart view is the card itself.
class AreaChartView : public HostedChartView {
public:
    explicit AreaChartView(const ui::Rect& frame) : HostedChartView(frame, false) {}
    void drawAreaChart(const chart::Options& options) { draw(options); }
};
