#pragma once

#include <optional>
#include <string>

#include "platform/chart/ChartOptions.h"

// The one look of every chart drawn through the chart library: base model,
// axes, crosshair, tooltip, legend and language texts. Colours are read from
// the style in force when a builder runs, so a chart built in dark style
// gets the dark variants. Main thread only.

chart::ChartModel makeBaseChartModel();

// An explicit range is used only when both ends are present and max > min;
// it then gets nine tick positions, (max - min) / 8 apart, and minor ticks
// a fifth of that. Otherwise the library picks the range ("auto" minor ticks).
// `piLabels` labels the x axis in multiples of π/2 instead.
chart::XAxis makeXAxis(const std::string& title, std::optional<double> min, std::optional<double> max,
                       bool piLabels);
chart::YAxis makeYAxis(const std::string& title, std::optional<double> min, std::optional<double> max);

chart::Crosshair makeCrosshair();
chart::Tooltip makeTooltip(const std::string& xAxisTitle, const std::string& yAxisTitle);

chart::Options makeChartOptions(const chart::ChartModel& chartModel, const std::string& xAxisTitle,
                                std::optional<double> xMax, std::optional<double> xMin,
                                const std::string& yAxisTitle, std::optional<double> yMax,
                                std::optional<double> yMin, bool piLabels);

// The x-axis label formatter for multiples of π/2 ("0", "π/2", "-π", "3π/2").
extern const char* const kPiLabelFormatter;
