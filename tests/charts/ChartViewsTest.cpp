// What the chart views draw from their descriptions: sampled graphs, padded
// series, the factory's routing and the chart row.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "Calvaro/charts/AreaChartManager.h"
#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/ChartTableViewCell.h"
#include "Calvaro/charts/LineChartManager.h"
#include "Calvaro/charts/SplineChartManager.h"
#include "tests/support/SharedState.h"

namespace {

constexpr double pi = std::numbers::pi;

class ChartViewsTest : public ::testing::Test {
protected:
    void SetUp() override { resetSharedState(); }
    void TearDown() override { resetSharedState(); }
};

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
    auto* hosted = dynamic_cast<HostedChartView*>(view.get());
    EXPECT_TRUE(hosted && hosted->chartView()->options());
    return hosted->chartView()->options()->series;
}

TEST_F(ChartViewsTest, TrigonometricSampling) {
    struct Case {
        TrigonometricType type;
        double length, offset;
        size_t points;
        double step;   // to 3 places
        double lastX;
    } cases[] = {
        {TrigonometricType::cos, 2 * pi, 0, 65, 0.098, 2 * pi},
        {TrigonometricType::sin, 0.3, 0, 5, 0.075, 0.3},
        {TrigonometricType::sin, 0.5, 0, 7, 0.083, 0.5},
        {TrigonometricType::cos, pi, -pi, 65, 0.098, pi},
        // The tangent's dense sampling reaches the end of its length (a step
        // rounded to 3 places ended it at 16.2)...
        {TrigonometricType::tan, 20, 0, 8106 + 1, 0.002, 20},
        // ...and far out, where that step was 0, it is bounded but spread over
        // the whole length instead of piling up at the offset.
        {TrigonometricType::tan, 500, 0, SplineChartManager::maximumIntervals + 1, 0.025, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + " " + std::to_string(c.length));
        const auto points = SplineChartManager::sampleTrigonometricGraph(*trigonometric(c.type, c.length, c.offset));
        ASSERT_EQ(points.size(), c.points);
        EXPECT_EQ(points.front()[0], c.offset);
        EXPECT_NEAR(std::round((points[1][0] - points[0][0]) * 1000) / 1000, c.step, 1e-12);
        EXPECT_NEAR(points.back()[0], c.lastX, 1e-9);
        EXPECT_EQ(points.size() % 2, 1u) << "an even number of intervals";
    }
    // y is amplitude · f(2π/period · x), rounded to 3 places.
    const auto cosine = SplineChartManager::sampleTrigonometricGraph(*trigonometric(TrigonometricType::cos, 2 * pi));
    EXPECT_EQ(cosine[32][1], -1.0);
    EXPECT_EQ(cosine[1][1], 0.995);

    // Nothing to sample: no length, no type, or a length that is not positive.
    for (const auto& d : {trigonometric(TrigonometricType::sin, std::nullopt), trigonometric(std::nullopt, 1.0),
                          trigonometric(TrigonometricType::tan, -5), trigonometric(TrigonometricType::tan, 0)}) {
        EXPECT_TRUE(SplineChartManager::sampleTrigonometricGraph(*d).empty());
        EXPECT_FALSE(ChartManager::makeChartView(d, ui::View(ui::Rect(0, 0, 400, 800))));
    }
}

TEST_F(ChartViewsTest, SplineSeriesNamesAndColours) {
    ChartRow row;
    for (const char* name : {"Log", "Inverse function", "function of a function"}) {
        auto d = std::make_shared<CommonSplineChartData>();
        d->frameRatio = 1.0;
        d->chartTitle = row.empty() ? "Log" : "other";
        d->dataName = name;
        d->chartColorHexCode = row.empty() ? "#123456" : "#FF4442";
        d->dataSet = {{0, static_cast<double>(row.size())}};
        row.push_back(d);
    }
    const auto view = ChartManager::makeSplineChartView(row, ui::View(ui::Rect(0, 0, 400, 800)));
    ASSERT_TRUE(view);
    const auto& series = seriesOf(view);
    ASSERT_EQ(series.size(), 3u);
    EXPECT_EQ(series[0].name, "Log");
    EXPECT_EQ(series[1].name, "Inverse func");
    EXPECT_EQ(series[2].name, "func of a func");
    EXPECT_EQ(series[2].data.at(0)[1], 2.0);
    const auto& options = *static_cast<HostedChartView*>(view.get())->chartView()->options();
    EXPECT_EQ(options.title.text, "Log");
    EXPECT_EQ(options.colors, (std::vector<std::string>{"#123456", "#FF4442", "#FF4442"}));
}

TEST_F(ChartViewsTest, DistributionAndAreaPadding) {
    using Points = std::vector<ChartPoint>;
    DistributionFunctionChartData distribution;
    distribution.dataSet = {{0, 0.25}, {1, 0.75}, {2, 1}};
    EXPECT_EQ(LineChartManager::distributionPoints(distribution),
              (Points{{-1, 0}, {0, 0.25}, {1, 0.75}, {2, 1}, {3, 1}}));
    distribution.isConverse = true;
    EXPECT_EQ(LineChartManager::distributionPoints(distribution).front(), (ChartPoint{-1, 1}));
    EXPECT_EQ(LineChartManager::distributionPoints(distribution).back(), (ChartPoint{3, 0}));
    const auto drawn = LineChartManager::makeDistributionChart(distribution, ui::Rect(0, 0, 300, 300));
    ASSERT_TRUE(drawn);
    EXPECT_EQ(seriesOf(drawn)[0].step, "left");
    // An empty data set has no first or last point to extend.
    distribution.dataSet.clear();
    EXPECT_TRUE(LineChartManager::distributionPoints(distribution).empty());
    EXPECT_FALSE(LineChartManager::makeDistributionChart(distribution, ui::Rect(0, 0, 300, 300)));

    HistogramChartData histogram;
    histogram.dataName = "P";
    histogram.dataSetWithColorTheme = {{"#111111", {{4, 1}, {2, 5}}}, {"#222222", {}}, {"#333333", {{2, 5}, {3, 7}}}};
    const auto area = AreaChartManager::makeAreaChart(histogram, ui::Rect(0, 0, 300, 300));
    const auto& series = seriesOf(area);
    ASSERT_EQ(series.size(), 2u) << "a data set without points is skipped";
    EXPECT_EQ(series[0].data, (std::vector<chart::Point>{{1, 0}, {4, 1}, {2, 5}, {5, 0}}));
    EXPECT_EQ(series[1].data, (std::vector<chart::Point>{{1, 0}, {2, 5}, {3, 7}, {4, 0}}));
    EXPECT_EQ(series[1].color, "#333333");
    EXPECT_EQ(series[1].name, "P");
    EXPECT_EQ(series[1].step, "center");
}

// A drawn view that counts its animation starts.
class CountingView : public ui::View, public AnimatedChartView {
public:
    using ui::View::View;
    void startAnimation() override { ++starts; }
    int starts = 0;
    double value = NAN;
};

TEST_F(ChartViewsTest, FactoryRoutesEveryDescriptionAndTheRowShowsOneChart) {
    std::vector<std::string> built;
    DrawnChartBuilders drawn;
    drawn.unitCircle = [&](const std::shared_ptr<UnitCircleChartData>&, const ui::Rect& frame) {
        built.push_back("unit circle");
        return std::make_shared<CountingView>(frame);
    };
    drawn.distributionPresentation = [&](double value, const ui::Rect& frame) {
        built.push_back("presentation " + std::to_string(value));
        return std::make_shared<CountingView>(frame);
    };
    drawn.tree = [&](const BernoulliDistributionTreeChartData&, const ui::Rect& frame) {
        built.push_back("tree");
        return std::make_shared<CountingView>(frame);
    };
    ChartManager::setDrawnChartBuilders(drawn);

    auto with = [](auto d, double ratio) {
        d->frameRatio = ratio;
        return std::shared_ptr<ChartData>(d);
    };
    auto line = std::make_shared<LineChartData>();
    line->startPoint = {0, 0};
    line->endPoint = {1, 1};
    line->axisLimit = 2;
    auto histogram = std::make_shared<HistogramChartData>();
    auto cdf = std::make_shared<DistributionFunctionChartData>();
    cdf->dataSet = {{1, 0.5}};
    auto presentation = std::make_shared<DistributionFunctionChartData>(*cdf);
    presentation->isPresentationView = true;
    auto emptyPresentation = std::make_shared<DistributionFunctionChartData>();
    emptyPresentation->isPresentationView = true;
    auto spline = std::make_shared<CommonSplineChartData>();
    spline->dataSet = {{0, 0}, {1, 1}};
    const auto unitCircle = std::make_shared<UnitCircleChartData>(1, 1, 1, 0, std::nullopt);

    struct Case {
        std::shared_ptr<ChartData> description;
        const char* expected;  // the view's kind, or the drawn builder called
        ui::Rect frame;
    } cases[] = {
        {with(line, 1.0), "line", ui::Rect(20, 20, 360, 360)},
        {unitCircle, "unit circle", ui::Rect(20, 10, 360, 180)},
        {trigonometric(TrigonometricType::sin, pi), "spline", ui::Rect(20, 10, 360, 180)},
        {with(histogram, 1.0), "area", ui::Rect(20, 20, 360, 360)},
        {with(presentation, 4.0), "presentation 0.500000", ui::Rect(20, 5, 360, 90)},
        {with(cdf, 1.0), "line", ui::Rect(20, 20, 360, 360)},
        {with(std::make_shared<BernoulliDistributionTreeChartData>(), 1.0), "tree", ui::Rect(20, 20, 360, 360)},
        // A lone spline description goes to the spline road of the row.
        {with(spline, 1.0), "row spline", ui::Rect(20, 20, 360, 360)},
        {with(emptyPresentation, 1.0), nullptr, {}},
        {with(std::make_shared<CommonSplineChartData>(*spline), 0.0), nullptr, {}},
    };
    const ui::View screen(ui::Rect(0, 0, 400, 800));
    auto kind = [](const ui::View* v) -> std::string {
        if (dynamic_cast<const LineChartView*>(v)) return "line";
        if (dynamic_cast<const SplineChartView*>(v)) return "spline";
        if (dynamic_cast<const AreaChartView*>(v)) return "area";
        return "";
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected ? c.expected : "none");
        built.clear();
        const auto view = ChartManager::makeChartView(c.description, screen);
        auto cell = std::make_shared<ChartTableViewCell>();
        cell->configureChart({c.description}, screen);
        const auto& shown = cell->contentView().subviews();
        if (!c.expected) {
            EXPECT_FALSE(view);
            EXPECT_TRUE(shown.empty());
            continue;
        }
        const std::string expected = c.expected;
        if (expected.rfind("row ", 0) == 0) {
            EXPECT_FALSE(view);
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(kind(shown[0].get()), expected.substr(4));
            EXPECT_EQ(seriesOf(shown[0]).size(), 1u);
        } else {
            ASSERT_TRUE(view);
            EXPECT_EQ(built.empty() ? kind(view.get()) : built.front(), expected);
            ASSERT_EQ(shown.size(), 1u);
        }
        EXPECT_EQ(shown[0]->frame(), c.frame);
    }

    // A mixed list, or an empty one, shows no chart; a reused cell drops its old chart.
    auto cell = std::make_shared<ChartTableViewCell>();
    cell->configureChart({with(spline, 1.0)}, screen);
    ASSERT_EQ(cell->contentView().subviews().size(), 1u);
    cell->configureChart({with(spline, 1.0), with(line, 1.0)}, screen);
    EXPECT_TRUE(cell->contentView().subviews().empty());
    cell->configureChart({}, screen);
    EXPECT_TRUE(cell->contentView().subviews().empty());
    cell->restartAnimation();

    // Only a row of unit circles restarts its animation.
    cell->configureChart({unitCircle}, screen);
    auto* circle = dynamic_cast<CountingView*>(cell->contentView().subviews().at(0).get());
    ASSERT_TRUE(circle);
    cell->restartAnimation();
    EXPECT_EQ(circle->starts, 1);
    cell->configureChart({with(std::make_shared<BernoulliDistributionTreeChartData>(), 1.0)}, screen);
    cell->restartAnimation();
    EXPECT_EQ(dynamic_cast<CountingView*>(cell->contentView().subviews().at(0).get())->starts, 0);
}

}  // namespace
