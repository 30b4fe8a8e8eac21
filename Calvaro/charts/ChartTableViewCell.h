#pragma once

#include <memory>
#include <vector>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/data/ChartData.h"
#include "platform/ui/TableView.h"

// A chart row of the Solution screen: turns the row's descriptions into one
// chart view.
class ChartTableViewCell : public ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "chartCell";
    static constexpr const char* nibName = "ChartTableViewCell";

    ChartTableViewCell();

    // Replaces the cell's chart: a single description through the factory,
    // otherwise (or when that gives no view) the list as one spline chart;
    // the row stays empty when neither applies. `view` is the screen's root
    // view, whose width sizes the chart.
    void configureChart(const ChartRow& chartData, const ui::View& view);
    // Restarts the animation of an animated chart (the unit circle).
    void restartAnimation();
    // The same after `delay` seconds on the main queue, as for a row that
    // comes into view; the row is drawing until then.
    void restartAnimationAfter(double delay);
    // Whether the row's chart is still to reach its final drawing: its
    // animation runs or is about to restart. A chart drawn at once never is.
    bool isDrawing();

    const ChartRow& chartData() const { return chartData_; }

private:
    // The chart restartAnimation starts, or none.
    AnimatedChartView* animatedChart();

    ChartRow chartData_;
    int pendingRestarts_ = 0;
};
