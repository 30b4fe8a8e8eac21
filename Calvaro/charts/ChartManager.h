#pragma once

#include <functional>
#include <memory>

#include "Calvaro/charts/data/BernoulliDistributionTreeChartData.h"
#include "Calvaro/charts/data/ChartData.h"
#include "Calvaro/charts/data/UnitCircleChartData.h"
#include "platform/ui/View.h"

// A chart view that animates; a chart row restarts it when shown again.
class AnimatedChartView {
public:
    virtual ~AnimatedChartView() = default;
    virtual void startAnimation() = 0;
    // Whether an animation runs now: a picture taken meanwhile catches it halfway.
    virtual bool isAnimating() const { return false; }
};

// The builders of the chart views that are drawn without the chart library
// (unit circle, distribution presentation, probability tree): the drawn
// views of this target unless others are set (tests set stand-ins).
struct DrawnChartBuilders {
    std::function<std::shared_ptr<ui::View>(const std::shared_ptr<UnitCircleChartData>&, const ui::Rect&)> unitCircle;
    // Gets the last number of the distribution's first point.
    std::function<std::shared_ptr<ui::View>(double value, const ui::Rect&)> distributionPresentation;
    std::function<std::shared_ptr<ui::View>(const BernoulliDistributionTreeChartData&, const ui::Rect&)> tree;
};

// Turns chart descriptions into chart views by their type.
class ChartManager {
public:
    ChartManager() = delete;

    // The view for one description, framed by the width of `view`; none for
    // a spline description (see makeSplineChartView) or one that cannot be drawn.
    static std::shared_ptr<ui::View> makeChartView(const std::shared_ptr<ChartData>& chartData, const ui::View& view);
    // One spline chart of a list of spline descriptions; none for an empty
    // list or one holding any other type.
    static std::shared_ptr<ui::View> makeSplineChartView(const ChartRow& chartData, const ui::View& view);

    // 5 % margins of the view's width W beside the chart, width 0.9·W, height
    // 0.9·W / frameRatio; none for a ratio that is not positive.
    static std::optional<ui::Rect> chartFrame(double frameRatio, const ui::View& view);

    static void setDrawnChartBuilders(DrawnChartBuilders builders);
};
