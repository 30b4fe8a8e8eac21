#include "platform/chart/ChartView.h"

namespace chart {

void ChartView::drawChartWithChartOptions(const Options& options) {
    options_ = options;
    json_ = options.toJson();
}

std::string ChartView::snapshotDescription() const {
    if (!options_) return "chart (not drawn)";
    std::string text = std::string("chart ") + chartTypeName(options_->chartType) + " \"" + options_->title.text + "\":";
    const char* separator = " ";
    for (const auto& s : options_->series) {
        text += separator + s.name + " (" + std::to_string(s.data.size()) + " points)";
        separator = ", ";
    }
    return text;
}

}  // namespace chart
