// The options the chart views hand to the chart library: the calculator's
// chart against reviewed golden JSON, and the axes' ticks.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Calvaro/charts/ChartOptionBuilders.h"
#include "Calvaro/charts/LineChartManager.h"
#include "Calvaro/charts/SplineChartManager.h"
#include "Calvaro/engine/FunctionChartDescription.h"
#include "platform/ui/Traits.h"
#include "tests/support/SharedState.h"

namespace {

using json = nlohmann::ordered_json;

class ChartOptionsTest : public SharedStateTest {};

// The calculator's chart of f(x) = 2·log_3(2x - 1) + 1 or 2·3^(2x - 1) + 1.
std::vector<std::shared_ptr<CommonSplineChartData>> calculatorChart(int64_t mode) {
    std::vector<DigitPtr> inputs;
    for (const double value : {3.0, 2.0, -1.0, 1.0}) inputs.push_back(Digit::make(value, 1.0));
    inputs.push_back(Digit::make(std::nullopt, 1.0));
    inputs.push_back(Digit::make(2.0, 1.0));
    return FunctionChartDescription(inputs).makeChartData(mode).at(0);
}

json optionsOf(const HostedChartView& view) {
    return json::parse(view.chartView()->optionsJson());
}

// The golden files name each series' point count and its ends (the web
// tests compare every point as the page plots it).
std::string goldenText(json options) {
    for (auto& series : options["series"]) {
        const json data = series["data"];
        series["data"] =
            std::to_string(data.size()) + " points, " + data.front().dump() + " to " + data.back().dump();
    }
    return options.dump(2) + "\n";
}

void expectGolden(const std::string& name, const std::string& text) {
    const auto path = std::filesystem::path(CALVARO_GOLDEN_DIR) / "charts" / (name + ".json");
    if (std::getenv("CALVARO_UPDATE_GOLDEN")) std::ofstream(path) << text;
    std::stringstream expected;
    expected << std::ifstream(path).rdbuf();
    EXPECT_EQ(text, expected.str()) << "differs from " << path << " (CALVARO_UPDATE_GOLDEN=1 rewrites it)";
}

TEST_F(ChartOptionsTest, CalculatorChartOfEachFormInBothStyles) {
    for (const auto& [mode, form] : {std::pair<int64_t, const char*>{0, "log"}, {1, "exp"}}) {
        for (const auto style : {ui::InterfaceStyle::light, ui::InterfaceStyle::dark}) {
            const std::string name =
                std::string("calculator_") + form + (style == ui::InterfaceStyle::dark ? "_dark" : "_light");
            SCOPED_TRACE(name);
            ui::TraitCollection::setUserInterfaceStyle(style);
            const auto descriptions = calculatorChart(mode);
            expectGolden(name, goldenText(optionsOf(
                                   *SplineChartManager::makeChart(descriptions, ui::Rect(0, 0, 360, 360)))));
        }
    }
}

TEST_F(ChartOptionsTest, AxisTicksForExplicitRanges) {
    struct Case {
        std::optional<double> min, max;
        std::vector<double> ticks;  // empty: the library's own range ("auto" minor ticks)
        double minor;
    } cases[] = {
        {-4, 4, {-4, -3, -2, -1, 0, 1, 2, 3, 4}, 0.2},
        {-8, 8, {-8, -6, -4, -2, 0, 2, 4, 6, 8}, 0.4},
        // The last tick is the maximum itself, not a sum that misses it.
        {-0.6, 0.6, {-0.6, -0.45, -0.3, -0.15, 0, 0.15, 0.3, 0.45, 0.6}, 0.03},
        // A quarter of the maximum is the step, whatever the minimum.
        {-1, 4, {-1, 0, 1, 2, 3, 4}, 0.2},
        {1, 2, {1, 1.5, 2}, 0.1},
        {3, 5, {3, 4.25}, 0.25},
        {std::nullopt, 4, {}, 0},
        {-4, std::nullopt, {}, 0},
        // Without a span (max 0, or a reversed range) there is no step: the
        // tick loop would never end.
        {0, 0, {}, 0},
        {2, -2, {}, 0},
        {-4, -1, {}, 0},
        // Four trillion ticks would never be listed.
        {-1e12, 1, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.min.value_or(NAN)) + ".." + std::to_string(c.max.value_or(NAN)));
        const chart::YAxis axis = makeYAxis("y", c.min, c.max);
        ASSERT_TRUE(axis.minorTickInterval);
        ASSERT_EQ(axis.tickPositions.size(), c.ticks.size());
        for (size_t i = 0; i < c.ticks.size(); ++i) EXPECT_NEAR(axis.tickPositions[i], c.ticks[i], 1e-12);
        if (c.ticks.empty()) {
            EXPECT_TRUE(axis.minorTickInterval->automatic);
            EXPECT_FALSE(axis.min || axis.max);
        } else {
            if (c.ticks.back() == *c.max) {
                EXPECT_EQ(axis.tickPositions.back(), *c.max);
            }
            EXPECT_EQ(axis.minorTickInterval->value, c.minor);
        }
    }
    // The line chart's window (axisLimit -8) and the tangent's range (a
    // negative amplitude) run the right way round.
    LineChartData line;
    line.startPoint = {-1, -1};
    line.endPoint = {1, 1};
    line.axisLimit = -8;
    const json lineOptions = optionsOf(*LineChartManager::makeLineChart(line, ui::Rect(0, 0, 300, 300)));
    EXPECT_EQ(lineOptions["xAxis"]["tickPositions"], json::parse("[-8,-6,-4,-2,0,2,4,6,8]"));
    EXPECT_EQ(lineOptions["yAxis"]["minorTickInterval"], 0.4);
    TrigonometricChartData tangent;
    tangent.lengthOfGraph = 2 * M_PI;
    tangent.periodLength = M_PI;
    tangent.type = TrigonometricType::tan;
    tangent.amplitude = -1;
    const json tangentOptions =
        optionsOf(*SplineChartManager::makeTrigonometricChart(tangent, ui::Rect(0, 0, 300, 150)));
    EXPECT_EQ(tangentOptions["yAxis"]["tickPositions"], json::parse("[-2,-1.5,-1,-0.5,0,0.5,1,1.5,2]"));
    EXPECT_EQ(tangentOptions["yAxis"]["minorTickInterval"], 0.1);
}

}  // namespace
