#include "Calvaro/charts/ChartManager.h"

#include <cmath>

#include "Calvaro/charts/AreaChartManager.h"
#include "Calvaro/charts/DistributionFunctionPresentationView.h"
#include "Calvaro/charts/LineChartManager.h"
#include "Calvaro/charts/SplineChartManager.h"
#include "Calvaro/charts/TreeChartView.h"
#include "Calvaro/charts/UnitCircleChartView.h"
#include "Calvaro/charts/data/DistributionFunctionChartData.h"
#include "Calvaro/charts/data/HistogramChartData.h"
#include "Calvaro/charts/data/LineChartData.h"
#include "Calvaro/charts/data/TrigonometricChartData.h"
#include "platform/foundation/SharedSlot.h"

namespace {

foundation::SharedSlot<DrawnChartBuilders>& drawnBuildersSlot() {
    static foundation::SharedSlot<DrawnChartBuilders> slot;
    return slot;
}

// The drawn views of this target, unless others were set.
std::shared_ptr<DrawnChartBuilders> drawnBuilders() {
    return drawnBuildersSlot().getOrMake([] {
        DrawnChartBuilders views;
        views.unitCircle = [](const std::shared_ptr<UnitCircleChartData>& data, const ui::Rect& frame) {
            auto view = std::make_shared<UnitCircleChartView>(frame);
            view->unitCircleChartData = data;
            return std::shared_ptr<ui::View>(view);
        };
        views.distributionPresentation = [](double value, const ui::Rect& frame) {
            return std::shared_ptr<ui::View>(std::make_shared<DistributionFunctionPresentationView>(frame, value));
        };
        views.tree = TreeChartManager::makeTreeChart;
        return std::make_shared<DrawnChartBuilders>(std::move(views));
    });
}

}  // namespace

void ChartManager::setDrawnChartBuilders(DrawnChartBuilders builders) {
    drawnBuildersSlot().set(std::make_shared<DrawnChartBuilders>(std::move(builders)));
}

std::optional<ui::Rect> ChartManager::chartFrame(double frameRatio, const ui::View& view) {
    if (!(frameRatio > 0) || !std::isfinite(frameRatio)) return std::nullopt;
    const double w = view.frame().width();
    return ui::Rect(0.05 * w, 0.05 * w / frameRatio, 0.9 * w, 0.9 * w / frameRatio);
}

std::shared_ptr<ui::View> ChartManager::makeChartView(const std::shared_ptr<ChartData>& chartData,
                                                      const ui::View& view) {
    if (!chartData) return nullptr;
    const auto frame = chartFrame(chartData->frameRatio, view);
    if (!frame) return nullptr;
    const auto drawn = drawnBuilders();
    ChartData* d = chartData.get();
    if (auto* line = dynamic_cast<LineChartData*>(d)) return LineChartManager::makeLineChart(*line, *frame);
    if (auto circle = std::dynamic_pointer_cast<UnitCircleChartData>(chartData))
        return drawn && drawn->unitCircle ? drawn->unitCircle(circle, *frame) : nullptr;
    if (auto* trig = dynamic_cast<TrigonometricChartData*>(d))
        return SplineChartManager::makeTrigonometricChart(*trig, *frame);
    if (auto* histogram = dynamic_cast<HistogramChartData*>(d)) return AreaChartManager::makeAreaChart(*histogram, *frame);
    if (auto* distribution = dynamic_cast<DistributionFunctionChartData*>(d)) {
        if (!distribution->isPresentationView) return LineChartManager::makeDistributionChart(*distribution, *frame);
        // The presentation shows one value: the last number of the first point.
        if (distribution->dataSet.empty() || !drawn || !drawn->distributionPresentation) return nullptr;
        return drawn->distributionPresentation(distribution->dataSet.front().back(), *frame);
    }
    if (auto* tree = dynamic_cast<BernoulliDistributionTreeChartData*>(d))
        return drawn && drawn->tree ? drawn->tree(*tree, *frame) : nullptr;
    return nullptr;
}

std::shared_ptr<ui::View> ChartManager::makeSplineChartView(const ChartRow& chartData, const ui::View& view) {
    if (chartData.empty() || !chartData.front()) return nullptr;
    const auto frame = chartFrame(chartData.front()->frameRatio, view);
    if (!frame) return nullptr;
    std::vector<std::shared_ptr<CommonSplineChartData>> splines;
    for (const auto& d : chartData) {
        auto spline = std::dynamic_pointer_cast<CommonSplineChartData>(d);
        if (!spline) return nullptr;
        splines.push_back(std::move(spline));
    }
    return SplineChartManager::makeChart(splines, *frame);
}
