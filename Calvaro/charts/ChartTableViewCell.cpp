#include "Calvaro/charts/ChartTableViewCell.h"

#include <algorithm>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/data/LineChartData.h"
#include "Calvaro/charts/data/UnitCircleChartData.h"

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

void ChartTableViewCell::restartAnimation() {
    const auto& subviews = contentView().subviews();
    auto is = [this](auto test) { return std::all_of(chartData_.begin(), chartData_.end(), test); };
    if (is([](const auto& d) { return dynamic_cast<LineChartData*>(d.get()) != nullptr; })) return;
    if (subviews.empty() || !is([](const auto& d) { return dynamic_cast<UnitCircleChartData*>(d.get()) != nullptr; }))
        return;
    if (auto* animated = dynamic_cast<AnimatedChartView*>(subviews.front().get())) animated->startAnimation();
}
