#include "Calvaro/charts/LineChartManager.h"

#include <cmath>

std::shared_ptr<LineChartView> LineChartManager::makeLineChart(const LineChartData& d, const ui::Rect& frame) {
    if (d.startPoint.size() < 2 || d.endPoint.size() < 2) return nullptr;
    const std::vector<ChartPoint> line = {{d.startPoint[0], d.startPoint[1]}, {d.endPoint[0], d.endPoint[1]}};
    const double a = std::fabs(d.axisLimit);
    auto view = std::make_shared<LineChartView>(frame);
    view->drawLineChart(line, d.markedPoints, d.dataName, d.chartTitle, d.chartColorHexCode, chart::ChartType::line,
                        0, -a, a, -a, a);
    return view;
}

std::vector<ChartPoint> LineChartManager::distributionPoints(const DistributionFunctionChartData& d) {
    if (d.dataSet.empty()) return {};
    const double start = d.isConverse ? 1.0 : 0.0;
    std::vector<ChartPoint> points;
    points.reserve(d.dataSet.size() + 2);
    points.push_back({d.dataSet.front()[0] - 1, start});
    points.insert(points.end(), d.dataSet.begin(), d.dataSet.end());
    points.push_back({d.dataSet.back()[0] + 1, 1.0 - start});
    return points;
}

std::shared_ptr<LineChartView> LineChartManager::makeDistributionChart(const DistributionFunctionChartData& d,
                                                                       const ui::Rect& frame) {
    const std::vector<ChartPoint> extended = distributionPoints(d);
    if (extended.empty()) return nullptr;
    auto view = std::make_shared<LineChartView>(frame);
    view->drawDistributionChart(d.dataSet, extended, d.dataName, d.chartTitle, d.xAxisName, d.chartColorHexCode,
                                chart::ChartType::line, std::nullopt, std::nullopt, 0);
    return view;
}
