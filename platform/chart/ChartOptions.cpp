#include "platform/chart/ChartOptions.h"

#include <nlohmann/json.hpp>

namespace chart {
namespace {

// The library reads a JSON null as a gap; the writer writes every number that
// is not finite (JSON has no infinities or NaN) as null.
using Json = nlohmann::ordered_json;

template <class T>
void put(Json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

Json style(const Style& s) {
    Json out = Json::object();
    put(out, "color", s.color);
    put(out, "fontSize", s.fontSize);
    put(out, "fontWeight", s.fontWeight);
    return out;
}

Json title(const Title& t) {
    Json out = {{"text", t.text}};
    if (t.style) out["style"] = style(*t.style);
    return out;
}

Json axis(const Axis& a) {
    Json out = Json::object();
    put(out, "gridLineWidth", a.gridLineWidth);
    put(out, "lineWidth", a.lineWidth);
    put(out, "lineColor", a.lineColor);
    put(out, "minorGridLineColor", a.minorGridLineColor);
    put(out, "minorGridLineWidth", a.minorGridLineWidth);
    if (a.title) out["title"] = title(*a.title);
    if (a.labels) {
        Json labels = Json::object();
        if (a.labels->formatter) labels["formatter"] = a.labels->formatter->source;
        if (a.labels->style) labels["style"] = style(*a.labels->style);
        out["labels"] = labels;
    }
    put(out, "tickInterval", a.tickInterval);
    if (a.minorTickInterval)
        out["minorTickInterval"] =
            a.minorTickInterval->automatic ? Json("auto") : Json(a.minorTickInterval->value);
    put(out, "min", a.min);
    put(out, "max", a.max);
    if (!a.tickPositions.empty()) {
        Json positions = Json::array();
        for (double p : a.tickPositions) positions.push_back(p);
        out["tickPositions"] = positions;
    }
    if (a.crosshair)
        out["crosshair"] = {{"color", a.crosshair->color},
                            {"dashStyle", a.crosshair->dashStyle},
                            {"width", a.crosshair->width}};
    return out;
}

Json marker(const Marker& m) {
    Json out = Json::object();
    put(out, "radius", m.radius);
    put(out, "lineWidth", m.lineWidth);
    return out;
}

Json series(const SeriesElement& s) {
    Json data = Json::array();
    for (const Point& p : s.data) data.push_back(Json::array({p[0], p[1]}));
    Json out = {{"name", s.name}, {"data", std::move(data)}};
    put(out, "step", s.step);
    put(out, "color", s.color);
    if (s.marker) out["marker"] = marker(*s.marker);
    return out;
}

Json legend(const Legend& l) {
    Json out = {{"enabled", l.enabled}};
    put(out, "layout", l.layout);
    put(out, "align", l.align);
    put(out, "verticalAlign", l.verticalAlign);
    put(out, "x", l.x);
    put(out, "y", l.y);
    put(out, "itemMarginTop", l.itemMarginTop);
    put(out, "itemMarginBottom", l.itemMarginBottom);
    if (l.itemStyle) out["itemStyle"] = style(*l.itemStyle);
    return out;
}

Json tooltip(const Tooltip& t) {
    Json out = {{"enabled", t.enabled}};
    put(out, "backgroundColor", t.backgroundColor);
    put(out, "borderColor", t.borderColor);
    put(out, "borderWidth", t.borderWidth);
    if (t.style) out["style"] = style(*t.style);
    put(out, "shadow", t.shadow);
    out["headerFormat"] = t.headerFormat;
    out["pointFormat"] = t.pointFormat;
    return out;
}

}  // namespace

const char* chartTypeName(ChartType type) {
    switch (type) {
        case ChartType::area:
            return "area";
        case ChartType::spline:
            return "spline";
        case ChartType::scatter:
            return "scatter";
        case ChartType::line:
            break;
    }
    return "line";
}

Options Options::configureChartOptions(const ChartModel& model) {
    Options options;
    options.chartType = model.chartType;
    options.backgroundColor = model.backgroundColor;
    options.title = {model.title, model.titleStyle};
    options.colors = model.colorsTheme;
    options.series = model.series;
    options.legend.enabled = model.legendEnabled;
    options.tooltip.enabled = model.tooltipEnabled;
    SeriesPlotOptions plot;
    plot.animationDuration = model.animationDuration;
    if (model.markerRadius) plot.marker = Marker{model.markerRadius, std::nullopt};
    options.seriesPlotOptions = plot;
    return options;
}

std::string Options::toJson(int indent) const {
    Json out;
    out["chart"] = {{"type", chartTypeName(chartType)}};
    put(out["chart"], "backgroundColor", backgroundColor);
    out["title"] = chart::title(title);
    out["colors"] = colors;
    Json all = Json::array();
    for (const auto& s : series) all.push_back(chart::series(s));
    out["series"] = std::move(all);
    if (xAxis) out["xAxis"] = axis(*xAxis);
    if (yAxis) out["yAxis"] = axis(*yAxis);
    out["legend"] = chart::legend(legend);
    if (seriesPlotOptions) {
        Json plot = {{"animation", {{"duration", seriesPlotOptions->animationDuration}}}};
        if (seriesPlotOptions->marker) plot["marker"] = marker(*seriesPlotOptions->marker);
        if (seriesPlotOptions->events && seriesPlotOptions->events->legendItemClick)
            plot["events"] = {{"legendItemClick", seriesPlotOptions->events->legendItemClick->source}};
        out["plotOptions"] = {{"series", std::move(plot)}};
    }
    if (lang) out["lang"] = {{"resetZoom", lang->resetZoom}, {"thousandsSep", lang->thousandsSep}};
    out["tooltip"] = chart::tooltip(tooltip);
    return out.dump(indent);
}

}  // namespace chart
