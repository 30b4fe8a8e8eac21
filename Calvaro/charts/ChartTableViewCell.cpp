#include "Calvaro/charts/ChartTableViewCell.h"

#include <algorithm>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/data/LineChartData.h"
#include "Calvaro/charts/data/UnitCircleChartData.h"
#include "platform/dispatch/MainQueue.h"

ChartTableViewCell::ChartTableViewCell() : ui::TableViewCell(reuseIdentifier) {}

void ChartTableViewCell::configureChart(const ChartRow& chartData, const ui::View& view) {
    chartData_ = chartData;
    ui::View& content = contentView();
    for (const auto& old : std::vector<std::shared_ptr<ui::View>>(content.subviews())) old->removeFromSuperview();
    std::shared_ptr<ui::View> chart;
    if (chartData.size() == 1) chart = ChartManager::makeChartView(chartData.front(), view);
    if (!chart) chart = ChartManager::makeSplineChartView(chartData, view);
    if (chart) content.addSubview(chart);
}

AnimatedChartView* ChartTableViewCell::animatedChart() {
    const auto& subviews = contentView().subviews();
    auto is = [this](auto test) { return std::all_of(chartData_.begin(), chartData_.end(), test); };
    if (is([](const auto& d) { return dynamic_cast<LineChartData*>(d.get()) != nullptr; })) return nullptr;
    if (subviews.empty() || !is([](const auto& d) { return dynamic_cast<UnitCircleChartData*>(d.get()) != nullptr; }))
        return nullptr;
    return dynamic_cast<AnimatedChartView*>(subviews.front().get());
}

void ChartTableViewCell::restartAnimation() {
    if (auto* animated = animatedChart()) animated->startAnimation();
}

void ChartTableViewCell::restartAnimationAfter(double delay) {
    ++pendingRestarts_;
    std::weak_ptr<ui::View> weak = weak_from_this();
    dispatch::MainQueue::shared()->asyncAfter(delay, [weak] {
        if (auto alive = std::static_pointer_cast<ChartTableViewCell>(weak.lock())) {
            --alive->pendingRestarts_;
            alive->restartAnimation();
        }
    });
}

bool ChartTableViewCell::isDrawing() {
    AnimatedChartView* animated = animatedChart();
    return animated && (pendingRestarts_ > 0 || animated->isAnimating());
}
