#include "Calvaro/charts/SplineChartView.h"

#include "Calvaro/charts/ChartOptionBuilders.h"

namespace {

std::string shortened(std::string name) {
    static const std::string word = "function";
    for (size_t at = name.find(word); at != std::string::npos; at = name.find(word, at + 4))
        name.replace(at, word.size(), "func");
    return name;
}

chart::SeriesElement element(const std::string& name, const std::vector<ChartPoint>& data) {
    chart::SeriesElement e;
    e.name = name;
    e.data.assign(data.begin(), data.end());
    return e;
}

}  // namespace

void SplineChartView::drawChart(const std::vector<ChartSeries>& series, const std::string& yAxisTitle,
                                const std::string& chartTitle, const std::vector<std::string>& colors,
                                chart::ChartType chartType, std::optional<double> yMax, float markerRadius,
                                std::optional<double> yMin) {
    chart::ChartModel model = makeBaseChartModel();
    model.chartType = chartType;
    model.title = chartTitle;
    model.colorsTheme = colors;
    for (const auto& s : series) model.series.push_back(element(shortened(s.name), s.data));
    model.markerRadius = markerRadius;
    draw(makeChartOptions(model, "x", std::nullopt, std::nullopt, yAxisTitle, yMax, yMin, false));
}

void SplineChartView::drawTrigonometricChart(const std::vector<ChartPoint>& data, const std::string& seriesName,
                                             const std::string& chartTitle, const std::string& color,
                                             chart::ChartType chartType, float markerRadius,
                                             std::optional<double> yMax, std::optional<double> yMin, bool piLabels) {
    chart::ChartModel model = makeBaseChartModel();
    model.chartType = chartType;
    model.title = chartTitle;
    model.colorsTheme = {color};
    model.series = {element(seriesName, data)};
    model.markerRadius = markerRadius;
    draw(makeChartOptions(model, "x", std::nullopt, std::nullopt, seriesName, yMax, yMin, piLabels));
}
