#include "Calvaro/charts/SplineChartManager.h"

#include <cmath>
#include <numbers>

#include "Calvaro/engine/KalMathOperation.h"

namespace {

// The smallest even interval count from 6 up whose spacing L / N is at most t.
int64_t evenCountFor(double length, double spacing) {
    const double wanted = std::ceil(length / spacing);
    if (!(wanted < static_cast<double>(SplineChartManager::maximumIntervals))) return SplineChartManager::maximumIntervals;
    int64_t n = std::max<int64_t>(6, static_cast<int64_t>(wanted));
    n += n % 2;
    while (length / static_cast<double>(n) > spacing) n += 2;
    while (n - 2 >= 6 && length / static_cast<double>(n - 2) <= spacing) n -= 2;
    return n;
}

}  // namespace

std::shared_ptr<SplineChartView> SplineChartManager::makeChart(
    const std::vector<std::shared_ptr<CommonSplineChartData>>& chartData, const ui::Rect& frame) {
    if (chartData.empty()) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    std::vector<std::string> colors;
    std::vector<ChartSeries> series;
    for (const auto& d : chartData) {
        colors.push_back(d->chartColorHexCode);
        series.push_back({d->dataName, d->dataSet});
    }
    view->drawChart(series, "y", chartData.front()->chartTitle, colors, chart::ChartType::spline, std::nullopt, 0,
                    std::nullopt);
    return view;
}

std::vector<ChartPoint> SplineChartManager::sampleTrigonometricGraph(const TrigonometricChartData& d) {
    if (!d.lengthOfGraph || !d.type) return {};
    const double length = *d.lengthOfGraph + std::fabs(d.offset);
    // A length of zero or less has nothing to draw, and no count of points
    // would reach the tangent's (then negative) spacing.
    if (!(length > 0) || !std::isfinite(length)) return {};
    const double pi = std::numbers::pi;
    const double spacing = *d.type == TrigonometricType::tan ? pi / ((length / pi) * 200) : pi / 32;
    const int64_t n = spacing >= length / 4 ? 4 : evenCountFor(length, spacing);
    // The step stays exact: rounded to 3 places it would end a dense graph
    // short of its length, or put every point at the offset.
    const double step = length / static_cast<double>(n);
    const double k = 2 * pi / d.periodLength;
    std::vector<ChartPoint> points;
    points.reserve(static_cast<size_t>(n) + 1);
    for (int64_t i = 0; i <= n; ++i) {
        const double x = step * static_cast<double>(i) + d.offset;
        const double angle = k * x;
        const double f = *d.type == TrigonometricType::sin   ? std::sin(angle)
                         : *d.type == TrigonometricType::cos ? std::cos(angle)
                                                             : std::tan(angle);
        points.push_back({x, KalMathOperation::roundedToPlaces(3, d.amplitude * f).rounded});
    }
    return points;
}

std::shared_ptr<SplineChartView> SplineChartManager::makeTrigonometricChart(const TrigonometricChartData& d,
                                                                            const ui::Rect& frame) {
    std::vector<ChartPoint> points = sampleTrigonometricGraph(d);
    if (points.empty()) return nullptr;
    auto view = std::make_shared<SplineChartView>(frame);
    switch (*d.type) {
        case TrigonometricType::sin:
            view->drawTrigonometricChart(points, "sin(x)", "Sin", "#FF0000", chart::ChartType::spline, 0,
                                         std::nullopt, std::nullopt, true);
            break;
        case TrigonometricType::cos:
            view->drawTrigonometricChart(points, "cos(x)", "Cos", "#000CFF", chart::ChartType::spline, 0,
                                         std::nullopt, std::nullopt, true);
            break;
        case TrigonometricType::tan: {
            // The range is symmetric whatever the amplitude's sign.
            const double bound = 2 * std::fabs(d.amplitude);
            view->drawTrigonometricChart(points, "tan(x)", "Tan", "#00E13A", chart::ChartType::scatter, 1.0, bound,
                                         -bound, true);
            break;
        }
    }
    return view;
}
