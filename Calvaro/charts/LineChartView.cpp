#include "Calvaro/charts/LineChartView.h"

#include "Calvaro/charts/ChartOptionBuilders.h"

namespace {

chart::SeriesElement element(const std::string& name, const std::vector<ChartPoint>& data,
                             std::optional<chart::Marker> marker, std::optional<std::string> step = std::nullopt) {
    chart::SeriesElement e;
    e.name = name;
    e.data.assign(data.begin(), data.end());
    e.marker = std::move(marker);
    e.step = std::move(step);
    return e;
}

chart::ChartModel model(const std::string& chartTitle, const std::string& color, chart::ChartType chartType) {
    chart::ChartModel m = makeBaseChartModel();
    m.chartType = chartType;
    m.title = chartTitle;
    m.colorsTheme = {color};
    return m;
}

}  // namespace

void LineChartView::drawLineChart(const std::vector<ChartPoint>& line, const std::vector<ChartPoint>& markedPoints,
                                  const std::string& seriesName, const std::string& chartTitle,
                                  const std::string& color, chart::ChartType chartType, float markerRadius,
                                  double xMin, double xMax, double yMin, double yMax) {
    chart::ChartModel m = model(chartTitle, color, chartType);
    m.series = {element(seriesName, line, std::nullopt),
                element(seriesName, markedPoints, chart::Marker{5.0, 0.0})};
    m.markerRadius = markerRadius;
    draw(makeChartOptions(m, "x", xMax, xMin, seriesName, yMax, yMin, false));
}

void LineChartView::drawDistributionChart(const std::vector<ChartPoint>& data,
                                          const std::vector<ChartPoint>& extendedData, const std::string& seriesName,
                                          const std::string& chartTitle, const std::string& xAxisName,
                                          const std::string& color, chart::ChartType chartType,
                                          std::optional<double> yMax, std::optional<double> yMin,
                                          float markerRadius) {
    chart::ChartModel m = model(chartTitle, color, chartType);
    m.series = {element(seriesName, data, chart::Marker{5.0, std::nullopt}, "left"),
                element(seriesName, extendedData, std::nullopt, "left")};
    m.markerRadius = markerRadius;
    draw(makeChartOptions(m, xAxisName, std::nullopt, std::nullopt, seriesName, yMax, yMin, false));
}
