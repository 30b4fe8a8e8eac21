#include "Calvaro/charts/ChartOptionBuilders.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "Calvaro/charts/palette/Palette.h"
#include "platform/ui/Traits.h"

const char* const kPiLabelFormatter =
    "function () {\n"
    "  var h = Math.round(2 * this.value / Math.PI);\n"
    "  if (h === 0) return \"0\";\n"
    "  if (h === 1) return \"\u03c0/2\";\n"
    "  if (h === -1) return \"-\u03c0/2\";\n"
    "  if (h === 2) return \"\u03c0\";\n"
    "  if (h === -2) return \"-\u03c0\";\n"
    "  return h % 2 === 0 ? (h / 2) + \"\u03c0\" : h + \"\u03c0/2\";\n"
    "}";

namespace {

constexpr double maxTickPositions = 1000;

std::string colorText(const ui::Color& color) {
    return hexString(color).value_or("#000000");
}

// The library takes these settings as 32-bit floats; the JSON carries the
// float's shortest decimal text (0.2, not 0.20000000298023224).
double float32(double value) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text - 1, static_cast<float>(value)).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

chart::Axis makeAxis(const std::string& title, std::optional<double> min, std::optional<double> max) {
    const std::string grey = colorText(ui::Color::systemGray());
    chart::Axis axis;
    axis.gridLineWidth = 0;
    axis.lineWidth = 0.5;
    axis.lineColor = grey;
    axis.minorGridLineColor = grey;
    axis.minorGridLineWidth = 0.25;
    axis.title = chart::Title{title, std::nullopt};
    // The step is a quarter of the maximum. A maximum of 0 or below has no
    // step to climb by, and a range of more ticks than any chart can show
    // would take for ever to list: both leave the range to the library.
    const double step = max ? *max * 0.25 : 0;
    const double stepsInRange = min && step > 0 ? (*max - *min) / step : 0;
    if (!min || !max || !(step > 0) || !(*max > *min) || !(stepsInRange <= maxTickPositions)) {
        axis.minorTickInterval = chart::MinorTickInterval{true, 0};
    } else {
        axis.min = *min;
        axis.max = *max;
        // A sum that lands on the maximum but for rounding is the maximum itself.
        const double slack = step * 1e-9;
        for (int64_t i = 0;; ++i) {
            const double position = *min + static_cast<double>(i) * step;
            if (position > *max + slack) break;
            axis.tickPositions.push_back(std::fabs(position - *max) <= slack ? *max : position);
        }
        axis.minorTickInterval = chart::MinorTickInterval{false, float32(step / 5)};
    }
    axis.labels = chart::Labels{std::nullopt, chart::Style{grey, std::nullopt, std::nullopt}};
    return axis;
}

}  // namespace

chart::ChartModel makeBaseChartModel() {
    chart::ChartModel model;
    model.animationDuration = 0;
    model.titleStyle = chart::Style{colorText(ui::Color::systemGray()), std::nullopt, std::nullopt};
    model.tooltipEnabled = true;
    model.legendEnabled = false;
    model.backgroundColor = colorText(ui::Color::systemBackground());
    return model;
}

chart::XAxis makeXAxis(const std::string& title, std::optional<double> min, std::optional<double> max,
                       bool piLabels) {
    if (!piLabels) return makeAxis(title, min, max);
    chart::XAxis axis = makeAxis(title, std::nullopt, std::nullopt);
    axis.minorTickInterval.reset();
    axis.tickInterval = float32(1.5705);
    axis.labels->formatter = chart::JSFunction{kPiLabelFormatter};
    return axis;
}

chart::YAxis makeYAxis(const std::string& title, std::optional<double> min, std::optional<double> max) {
    return makeAxis(title, min, max);
}

chart::Crosshair makeCrosshair() {
    return chart::Crosshair{colorText(ui::Color::label()), "longDashDotDot", 1.5};
}

chart::Tooltip makeTooltip(const std::string& xAxisTitle, const std::string& yAxisTitle) {
    chart::Tooltip tooltip;
    // In light style the library's own tooltip colours stay.
    if (ui::TraitCollection::userInterfaceStyle() == ui::InterfaceStyle::dark) {
        tooltip.backgroundColor = colorText(ui::Color::systemBackground());
        tooltip.borderColor = colorText(ui::Color::label());
        tooltip.borderWidth = 0.5;
        tooltip.style = chart::Style{colorText(ui::Color::label()), std::nullopt, std::nullopt};
        tooltip.shadow = false;
    }
    tooltip.headerFormat = xAxisTitle + ": {point.key}<br/>";
    tooltip.pointFormat = yAxisTitle + ": {point.y}<br/>";
    return tooltip;
}

chart::Options makeChartOptions(const chart::ChartModel& chartModel, const std::string& xAxisTitle,
                                std::optional<double> xMax, std::optional<double> xMin,
                                const std::string& yAxisTitle, std::optional<double> yMax,
                                std::optional<double> yMin, bool piLabels) {
    chart::Options options = chart::Options::configureChartOptions(chartModel);
    options.xAxis = makeXAxis(xAxisTitle, xMin, xMax, piLabels);
    options.yAxis = makeYAxis(yAxisTitle, yMin, yMax);
    const chart::Crosshair crosshair = makeCrosshair();
    options.xAxis->crosshair = crosshair;
    options.yAxis->crosshair = crosshair;

    chart::Legend& legend = options.legend;
    legend.layout = "vertical";
    legend.align = "right";
    legend.verticalAlign = "top";
    legend.x = 20;
    legend.y = 20;
    legend.itemMarginTop = 10;
    legend.itemMarginBottom = 20;
    legend.itemStyle = chart::ItemStyle{"red", 20.0, "bold"};

    // A click on a legend entry never hides a series.
    if (options.seriesPlotOptions)
        options.seriesPlotOptions->events = chart::SeriesEvents{chart::JSFunction{"function () { return false; }"}};
    options.lang = chart::Lang{"\u91cd\u7f6e\u7f29\u653e\u6bd4\u4f8b", ","};
    options.tooltip = makeTooltip(xAxisTitle, yAxisTitle);
    options.tooltip.enabled = chartModel.tooltipEnabled;
    return options;
}
