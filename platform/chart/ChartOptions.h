#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace chart {

// The chart library's option model: what a chart shows, written as the
// library's option JSON and drawn by the page. Only the settings our charts
// make exist here; an absent optional is left out of the JSON so that the
// library's default applies.

// A JavaScript function carried as its source text. The JSON holds the text;
// the page turns it back into a function (label formatters, event handlers).
struct JSFunction {
    std::string source;
};

// The library's chart types, by its own enumeration values.
enum class ChartType { area = 2, line = 4, spline = 5, scatter = 6 };
// "area", "line", "spline" or "scatter": the type as the JSON names it.
const char* chartTypeName(ChartType type);

// Text style. The legend's item style is the same record.
struct Style {
    std::optional<std::string> color;
    std::optional<double> fontSize;
    std::optional<std::string> fontWeight;
};
using ItemStyle = Style;

struct Title {
    std::string text;
    std::optional<Style> style;
};

struct Labels {
    std::optional<JSFunction> formatter;  // called with `this.value`, returns the label
    std::optional<Style> style;
};

struct Crosshair {
    std::string color;
    std::string dashStyle;  // e.g. "longDashDotDot"
    double width = 1;
};

// "auto" or a number: the spacing of the minor grid lines.
struct MinorTickInterval {
    bool automatic = true;
    double value = 0;
};

// One axis; the x and y axes have the same settings.
struct Axis {
    std::optional<double> gridLineWidth;
    std::optional<double> lineWidth;
    std::optional<std::string> lineColor;
    std::optional<std::string> minorGridLineColor;
    std::optional<double> minorGridLineWidth;
    std::optional<Title> title;
    std::optional<Labels> labels;
    std::optional<double> tickInterval;
    std::optional<MinorTickInterval> minorTickInterval;
    std::optional<double> min;
    std::optional<double> max;
    std::vector<double> tickPositions;  // empty: the library places the ticks
    std::optional<Crosshair> crosshair;
};
using XAxis = Axis;
using YAxis = Axis;

struct Marker {
    std::optional<double> radius;
    std::optional<double> lineWidth;
};

struct SeriesEvents {
    std::optional<JSFunction> legendItemClick;  // returning false keeps the series shown
};

using Point = std::array<double, 2>;

struct SeriesElement {
    std::string name;
    std::vector<Point> data;
    std::optional<std::string> step;  // "left", "center" or "right"
    std::optional<std::string> color;
    std::optional<Marker> marker;
};

struct Tooltip {
    bool enabled = true;
    std::optional<std::string> backgroundColor;
    std::optional<std::string> borderColor;
    std::optional<double> borderWidth;
    std::optional<Style> style;
    std::optional<bool> shadow;
    // "{point.key}" and "{point.y}" stand for the point's x and y.
    std::string headerFormat;
    std::string pointFormat;
};

struct Legend {
    bool enabled = true;
    std::optional<std::string> layout;         // "horizontal", "vertical"
    std::optional<std::string> align;          // "left", "center", "right"
    std::optional<std::string> verticalAlign;  // "top", "middle", "bottom"
    std::optional<double> x;
    std::optional<double> y;
    std::optional<double> itemMarginTop;
    std::optional<double> itemMarginBottom;
    std::optional<ItemStyle> itemStyle;
};

struct Lang {
    std::string resetZoom;
    std::string thousandsSep;
};

// What a chart view's owner sets; configureChartOptions turns it into Options.
struct ChartModel {
    ChartType chartType = ChartType::line;
    double animationDuration = 500;  // milliseconds; 0 draws the final state at once
    std::string title;
    std::optional<Style> titleStyle;
    bool tooltipEnabled = true;
    bool legendEnabled = true;
    std::optional<std::string> backgroundColor;
    std::vector<std::string> colorsTheme;  // the n-th colour colours the n-th series
    std::vector<SeriesElement> series;
    std::optional<double> markerRadius;
};

struct SeriesPlotOptions {
    double animationDuration = 500;
    std::optional<Marker> marker;
    std::optional<SeriesEvents> events;
};

struct Options {
    ChartType chartType = ChartType::line;
    std::optional<std::string> backgroundColor;
    Title title;
    std::vector<std::string> colors;
    std::vector<SeriesElement> series;
    std::optional<XAxis> xAxis;
    std::optional<YAxis> yAxis;
    Legend legend;
    std::optional<SeriesPlotOptions> seriesPlotOptions;
    std::optional<Lang> lang;
    Tooltip tooltip;

    // The options of a model: its type, title, colours, series, legend switch
    // and the plot options of every series; always with a legend and series
    // plot options.
    static Options configureChartOptions(const ChartModel& model);
    // The library's option JSON; `indent` < 0 writes it on one line.
    std::string toJson(int indent = -1) const;
};

}  // namespace chart
