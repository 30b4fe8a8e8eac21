// What the chart views draw from their descriptions: sampled graphs, padded
// series, the factory's routing and the chart row.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "Calvaro/charts/AreaChartManager.h"
#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/ChartTableViewCell.h"
#include "Calvaro/charts/LineChartManager.h"
#include "Calvaro/charts/SplineChartManager.h"
#include "Calvaro/charts/UnitCircleChartView.h"
#include "Calvaro/charts/SolutionImageRendering.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/graphics/ShapeLayer.h"
#include "tests/support/SharedState.h"

namespace {

constexpr double pi = std::numbers::pi;

class ChartViewsTest : public SharedStateTest {};

std::shared_ptr<TrigonometricChartData> trigonometric(std::optional<TrigonometricType> type,
                                                      std::optional<double> length, double offset = 0) {
    auto d = std::make_shared<TrigonometricChartData>();
    d->frameRatio = 2.0;
    d->type = type;
    d->lengthOfGraph = length;
    d->offset = offset;
    d->periodLength = 2 * pi;
    d->amplitude = 1;
    return d;
}

const std::vector<chart::SeriesElement>& seriesOf(const std::shared_ptr<ui::View>& view) {
    return dynamic_cast<HostedChartView&>(*view).chartView()->options()->series;
}

TEST_F(ChartViewsTest, TrigonometricSampling) {
    struct Case {
        TrigonometricType type;
        double length, offset;
        size_t points;
        double step;  // to 3 places
    } cases[] = {
        {TrigonometricType::cos, 2 * pi, 0, 65, 0.098},
        {TrigonometricType::sin, 0.3, 0, 5, 0.075},
        {TrigonometricType::sin, 0.5, 0, 7, 0.083},
        {TrigonometricType::cos, pi, -pi, 65, 0.098},
        // The tangent reaches the end of its length (a step rounded to 3
        // places ended it at 16.2)...
        {TrigonometricType::tan, 20, 0, 8107, 0.002},
        // ...and far out, where that step was 0, it is bounded and spread
        // over the whole length instead of piling up at the offset.
        {TrigonometricType::tan, 500, 0, SplineChartManager::maximumIntervals + 1, 0.025},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + " " + std::to_string(c.length));
        const auto points =
            SplineChartManager::sampleTrigonometricGraph(*trigonometric(c.type, c.length, c.offset));
        ASSERT_EQ(points.size(), c.points);
        EXPECT_EQ(points.front()[0], c.offset);
        EXPECT_NEAR(std::round((points[1][0] - points[0][0]) * 1000) / 1000, c.step, 1e-12);
        EXPECT_NEAR(points.back()[0], c.length, 1e-9);
    }
    const auto cosine =
        SplineChartManager::sampleTrigonometricGraph(*trigonometric(TrigonometricType::cos, 2 * pi));
    EXPECT_EQ(cosine[1][1], 0.995) << "y rounded to 3 places";

    // Nothing to sample: no length, no type, or a length that is not positive.
    for (const auto& d :
         {trigonometric(TrigonometricType::sin, std::nullopt), trigonometric(std::nullopt, 1.0),
          trigonometric(TrigonometricType::tan, -5), trigonometric(TrigonometricType::tan, 0)}) {
        EXPECT_TRUE(SplineChartManager::sampleTrigonometricGraph(*d).empty());
        EXPECT_FALSE(ChartManager::makeChartView(d, ui::View(ui::Rect(0, 0, 400, 800))));
    }
}

TEST_F(ChartViewsTest, DistributionAndAreaPadding) {
    using Points = std::vector<ChartPoint>;
    DistributionFunctionChartData cdf;
    cdf.dataSet = {{0, 0.25}, {1, 0.75}, {2, 1}};
    EXPECT_EQ(LineChartManager::distributionPoints(cdf),
              (Points{{-1, 0}, {0, 0.25}, {1, 0.75}, {2, 1}, {3, 1}}));
    cdf.isConverse = true;
    EXPECT_EQ(LineChartManager::distributionPoints(cdf),
              (Points{{-1, 1}, {0, 0.25}, {1, 0.75}, {2, 1}, {3, 0}}));
    // An empty data set has no first or last point to extend.
    cdf.dataSet.clear();
    EXPECT_FALSE(LineChartManager::makeDistributionChart(cdf, ui::Rect(0, 0, 300, 300)));

    HistogramChartData histogram;
    histogram.dataSetWithColorTheme = {
        {"#111111", {{4, 1}, {2, 5}}}, {"#222222", {}}, {"#333333", {{2, 5}, {3, 7}}}};
    const std::shared_ptr<ui::View> area =
        AreaChartManager::makeAreaChart(histogram, ui::Rect(0, 0, 300, 300));
    const auto& series = seriesOf(area);
    ASSERT_EQ(series.size(), 2u) << "a data set without points is skipped";
    EXPECT_EQ(series[0].data, (std::vector<chart::Point>{{1, 0}, {4, 1}, {2, 5}, {5, 0}}));
    EXPECT_EQ(series[1].data, (std::vector<chart::Point>{{1, 0}, {2, 5}, {3, 7}, {4, 0}}));
    EXPECT_EQ(series[1].color, "#333333");
}

// A drawn view that counts its animation starts.
struct CountingView : ui::View, AnimatedChartView {
    using ui::View::View;
    void startAnimation() override { ++starts; }
    int starts = 0;
};

TEST_F(ChartViewsTest, FactoryRoutesEveryDescriptionAndTheRowShowsOneChart) {
    std::string built;  // what the drawn builders were asked for
    auto view = [](const ui::Rect& frame) { return std::make_shared<CountingView>(frame); };
    ChartManager::setDrawnChartBuilders(
        {[&](const auto&, const ui::Rect& f) { return built = "unit circle", view(f); },
         [&](double value, const ui::Rect& f) {
             return built = "presentation " + std::to_string(value), view(f);
         },
         [&](const auto&, const ui::Rect& f) { return built = "tree", view(f); }});

    auto ratio = [](auto d, double r) {
        d->frameRatio = r;
        return std::shared_ptr<ChartData>(d);
    };
    auto line = std::make_shared<LineChartData>();
    line->startPoint = {0, 0};
    line->endPoint = {1, 1};
    auto cdf = std::make_shared<DistributionFunctionChartData>();
    cdf->dataSet = {{1, 0.5}};
    auto presentation = std::make_shared<DistributionFunctionChartData>(*cdf);
    presentation->isPresentationView = true;
    auto spline = std::make_shared<CommonSplineChartData>();
    spline->dataSet = {{0, 0}, {1, 1}};
    auto emptyPresentation = std::make_shared<DistributionFunctionChartData>();
    emptyPresentation->isPresentationView = true;
    const std::shared_ptr<ChartData> unitCircle =
        std::make_shared<UnitCircleChartData>(1, 1, 1, 0, std::nullopt);
    const auto tree = ratio(std::make_shared<BernoulliDistributionTreeChartData>(), 1.0);

    struct Case {
        std::shared_ptr<ChartData> description;
        std::string expected;  // the view's class or the drawn builder called; "" for no chart
        ui::Rect frame;
        bool byRow = false;  // made by the row's spline road, not the factory
    } cases[] = {
        {ratio(line, 1.0), typeid(LineChartView).name(), ui::Rect(20, 20, 360, 360)},
        {unitCircle, "unit circle", ui::Rect(20, 10, 360, 180)},
        {trigonometric(TrigonometricType::sin, pi), typeid(SplineChartView).name(),
         ui::Rect(20, 10, 360, 180)},
        {ratio(std::make_shared<HistogramChartData>(), 1.0), typeid(AreaChartView).name(),
         ui::Rect(20, 20, 360, 360)},
        {ratio(presentation, 4.0), "presentation 0.500000", ui::Rect(20, 5, 360, 90)},
        {ratio(cdf, 1.0), typeid(LineChartView).name(), ui::Rect(20, 20, 360, 360)},
        {tree, "tree", ui::Rect(20, 20, 360, 360)},
        // A lone spline description: no view from the factory, then the row's spline road.
        {ratio(spline, 1.0), typeid(SplineChartView).name(), ui::Rect(20, 20, 360, 360), true},
        {ratio(emptyPresentation, 1.0), "", {}},
        {ratio(std::make_shared<CommonSplineChartData>(*spline), 0.0), "", {}},
    };
    const ui::View screen(ui::Rect(0, 0, 400, 800));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        built.clear();
        EXPECT_EQ(!ChartManager::makeChartView(c.description, screen), c.expected.empty() || c.byRow);
        auto cell = std::make_shared<ChartTableViewCell>();
        cell->configureChart({c.description}, screen);
        const auto& shown = cell->contentView().subviews();
        ASSERT_EQ(shown.size(), c.expected.empty() ? 0u : 1u);
        if (shown.empty()) continue;
        const auto& view = *shown[0];
        EXPECT_EQ(built.empty() ? typeid(view).name() : built, c.expected);
        EXPECT_EQ(shown[0]->frame(), c.frame);
    }

    // A mixed list, or an empty one, shows no chart; a reused cell drops its old chart.
    auto cell = std::make_shared<ChartTableViewCell>();
    cell->configureChart({ratio(spline, 1.0)}, screen);
    EXPECT_EQ(seriesOf(cell->contentView().subviews().at(0)).size(), 1u);
    cell->configureChart({ratio(spline, 1.0), ratio(line, 1.0)}, screen);
    EXPECT_TRUE(cell->contentView().subviews().empty());
    cell->configureChart({}, screen);
    EXPECT_TRUE(cell->contentView().subviews().empty());

    // Only a row of unit circles restarts its animation.
    for (const auto& [row, starts] : {std::pair{unitCircle, 1}, {tree, 0}}) {
        cell->configureChart({row}, screen);
        cell->restartAnimation();
        EXPECT_EQ(dynamic_cast<CountingView&>(*cell->contentView().subviews().at(0)).starts, starts);
    }
}

// The unit circle's cosine is the blue line along the x axis, its sine the
// red line up to the point on the circle.
TEST_F(ChartViewsTest, UnitCircleDrawsTheCosineBlueAndTheSineRed) {
    dispatch::ManualExecutor executor;
    isRenderingSolutionImage = true;
    UnitCircleChartView view(ui::Rect(0, 0, 360, 360));
    view.unitCircleChartData = std::make_shared<UnitCircleChartData>(60.0, pi / 3, 60.0, 0, Quadrant::first);
    view.startAnimation();
    executor.runUntilIdle();
    executor.advanceBy(60);
    isRenderingSolutionImage = false;
    int checked = 0;
    for (const auto& layer : view.animationView->layer().sublayers) {
        auto* segment = dynamic_cast<graphics::ShapeLayer*>(layer.get());
        if (!segment || segment->lineWidth != 5.0 || !segment->strokeColor) continue;
        double x0, y0, x1, y1;
        if (std::sscanf(segment->path.svgData().c_str(), "M%lf %lf L%lf %lf", &x0, &y0, &x1, &y1) != 4) continue;
        const bool alongTheAxis = std::fabs(y0 - y1) < 1e-9;
        EXPECT_EQ(*segment->strokeColor, alongTheAxis ? ui::Color::blue() : ui::Color::red()) << segment->path.svgData();
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

}  // namespace
