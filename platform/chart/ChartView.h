#pragma once

#include <optional>
#include <string>

#include "platform/chart/ChartOptions.h"
#include "platform/ui/View.h"

namespace chart {

// Where a page finds the chart library: Debian's libjs-chart.js, read from the
// disk by a page written to a file, or served under /chart.js by `calvaro serve`.
inline constexpr const char* kChartLibraryFolder = "/usr/share/javascript/chart.js";

// A view that shows one chart. It keeps the options it was last asked to draw
// (as the library's option JSON too); the page draws them with the chart
// library, so screens and tests can read back exactly what a chart shows.
class ChartView : public ui::View {
  public:
    using ui::View::View;

    void drawChartWithChartOptions(const Options& options);
    const std::optional<Options>& options() const { return options_; }
    // The option JSON of the drawn chart; empty before the first drawing.
    const std::string& optionsJson() const { return json_; }

    // Whether the chart scrolls inside its view (never, for ours) and whether
    // the view's own background stays clear under the chart's.
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }
    bool isClearBackground() const { return clearBackground_; }
    void setClearBackground(bool clear) { clearBackground_ = clear; }

    // "chart spline \"Log\": Log (501 points), Inverse func (60 points)".
    std::string snapshotDescription() const override;

  private:
    std::optional<Options> options_;
    std::string json_;
    bool scrollEnabled_ = true;
    bool clearBackground_ = false;
};

// The page's part: draws every element `.chart[data-options]` of the page
// with the chart library (which must be loaded before it), marking each
// element `drawn`, or `chart-failed` with data-chart-error. Sets
// body[data-chart-failures].
const char* chartPageScript();

}  // namespace chart
