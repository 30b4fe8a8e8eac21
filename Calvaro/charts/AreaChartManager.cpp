#include "Calvaro/charts/AreaChartManager.h"

#include "Calvaro/charts/ChartOptionBuilders.h"

void AreaChartManager::makeAreaSeries(const std::string& hexColor, const std::vector<ChartPoint>& dataValues,
                                      const HistogramChartData& chartData,
                                      std::vector<chart::SeriesElement>& elements) {
    if (dataValues.empty()) return;
    double lo = dataValues.front()[0];
    double hi = lo;
    for (const auto& p : dataValues) {
        if (p[0] < lo) lo = p[0];
        if (hi < p[0]) hi = p[0];
    }
    chart::SeriesElement e;
    e.name = chartData.dataName;
    e.data.reserve(dataValues.size() + 2);
    e.data.push_back({lo - 1.0, 0.0});
    e.data.insert(e.data.end(), dataValues.begin(), dataValues.end());
    e.data.push_back({hi + 1.0, 0.0});
    e.step = "center";
    e.color = hexColor;
    elements.push_back(std::move(e));
}

std::shared_ptr<AreaChartView> AreaChartManager::makeAreaChart(const HistogramChartData& d, const ui::Rect& frame) {
    std::vector<chart::SeriesElement> elements;
    for (const auto& set : d.dataSetWithColorTheme) makeAreaSeries(set.hexColor, set.dataValues, d, elements);
    auto view = std::make_shared<AreaChartView>(frame);
    chart::ChartModel model = makeBaseChartModel();
    model.chartType = chart::ChartType::area;
    model.title = d.chartTitle;
    model.series = std::move(elements);
    model.markerRadius = 0;
    view->drawAreaChart(
        makeChartOptions(model, d.xAxisName, std::nullopt, std::nullopt, d.dataName, std::nullopt, std::nullopt, false));
    return view;
}
