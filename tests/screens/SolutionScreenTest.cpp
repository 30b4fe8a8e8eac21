#include <gtest/gtest.h>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/data/CommonSplineChartData.h"
#include "Calvaro/screens/SolutionRowCells.h"
#include "Calvaro/screens/SolutionStepTableViewCell.h"
#include "Calvaro/screens/SolutionViewController.h"
#include "ScreenTestEnvironment.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Window.h"

namespace {

TEST(NormalizeLatexStepTest, TidiesWhatTheStepWritersProduce) {
    const std::pair<const char*, const char*> cases[] = {
        {"f(x) = 2.0 \\cdot x", "f\\left(x\\right) = 2 \\cdot x"},
        {"2.05 + 1.0", "2.05 + 1"},
        {"x.0.0", "x"},
        {"1.05 + 2.0 x", "1.05 + 2.0 x"},
        {"2.0 x + 1.05", "2 x + 1.05"},
        {"a - -2", "a +2"},
        {"a*b", "a\\cdot b"},
        {"g(x) = 1x+3", "g\\left(x\\right) =x+3"},
        {"y = 1x + 0x", "y =x +"},
        {"II) D = \\mathbb{R}", "II) D = \\mathbb{R}"},
        {"\\quad x", "\\quad  x"},
        {"x=1\\quad\\quad y", "x=1\\quad  \\quad  y"},
        {"f(x) = 0x + 3", "f\\left(x\\right) = 3"},
        {"IV) (a)", "IV) \\left(a\\right)"},
        {"x \\left( 1 \\right)", "x \\left( 1 \\right)"},
        {"\\color{#ff3333}{x}", "\\;\\color{#ff3333}{x}"},
        {"\\;\\color{#ff3333}{x}", "\\;\\;\\color{#ff3333}{x}"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(normalizeLatexStep(input), expected) << input;
}

TEST(SolutionStepCellTest, TitleFontFollowsTheBoldMarkerAndReuseDropsOldContent) {
    auto cell = std::make_shared<SolutionStepTableViewCell>();
    cell->awakeFromNib();
    cell->setStepTitle("Step 1    Domain#bold");
    EXPECT_EQ(cell->stepTitleLabel()->text(), "Step 1    Domain");
    EXPECT_EQ(cell->stepTitleLabel()->font(), ui::Font::named("Avenir-Heavy", 14));
    cell->setStepTitle("Step 2    Zero");
    EXPECT_EQ(cell->stepTitleLabel()->font(), ui::Font::named("Avenir-Book", 14));

    cell->setStep({{"title", "t"}, {"latexString", "x = 3.0"}});
    EXPECT_EQ(cell->mathLabel()->latex(), "x = 3");
    cell->setStep({{"title", "t"}, {"messageString", "No zero"}, {"latexString", "x"}});
    EXPECT_EQ(cell->messageLabel()->text(), "No zero");
    EXPECT_EQ(cell->mathLabel()->latex(), "");
    cell->setStep({{"title", "t"}});
    EXPECT_EQ(cell->messageLabel()->text(), "");
}

class SolutionScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
        window_->setRootViewController(screen_);
        window_->makeKeyAndVisible();
    }

    static SolutionViewController::ChartRows chartRow(double frameRatio) {
        auto chart = std::make_shared<CommonSplineChartData>();
        chart->frameRatio = frameRatio;
        chart->chartTitle = "Log";
        return {{chart}};
    }

    int64_t sections() { return screen_->numberOfSections(*screen_->tableView()); }

    ScreenTestEnvironment environment_;
    std::shared_ptr<SolutionViewController> screen_ = std::make_shared<SolutionViewController>();
    std::shared_ptr<ui::Window> window_;
};

TEST_F(SolutionScreenTest, SectionsFollowStepsChartsAndVideos) {
    const std::vector<SolutionViewController::Step> steps = {{{"title", "a"}, {"latexString", "x"}}};
    struct Case {
        bool steps, charts, videos;
        int64_t sections;
    } cases[] = {{true, true, true, 3}, {true, false, true, 2}, {false, false, true, 1}, {true, true, false, 2}};
    for (const Case& c : cases) {
        screen_->setSolutionSteps(c.steps ? steps : std::vector<SolutionViewController::Step>{});
        screen_->setChartSteps(c.charts ? chartRow(1.0) : SolutionViewController::ChartRows{});
        screen_->setVideoUrlStrings(c.videos ? std::vector<std::string>{"https://v/1"} : std::vector<std::string>{});
        EXPECT_EQ(sections(), c.sections) << c.steps << c.charts << c.videos;
        EXPECT_EQ(screen_->numberOfRowsInSection(*screen_->tableView(), c.sections - 1), c.videos && c.steps ? 1 : int64_t(c.steps));
    }
}

TEST_F(SolutionScreenTest, RowHeightsAndTheDelayedChartRestart) {
    ui::TableView& table = *screen_->tableView();
    screen_->setChartSteps(chartRow(2.0));
    screen_->setConfiguredRowHeight(std::map<int64_t, double>{{0, 60}});
    table.setRowHeight(100);
    screen_->setSolutionSteps({{{"title", "a"}}, {{"title", "b"}}});
    EXPECT_EQ(screen_->heightForRowAt(table, {0, 0}), 60);
    EXPECT_EQ(screen_->heightForRowAt(table, {0, 1}), 100);
    EXPECT_EQ(screen_->heightForRowAt(table, {1, 0}), 195);
    screen_->setChartSteps(chartRow(1.0));
    EXPECT_EQ(screen_->heightForRowAt(table, {1, 0}), 390);

    // Rows of unit circles restart their animation.
    struct Circle : ui::View, AnimatedChartView {
        void startAnimation() override { ++starts; }
        int starts = 0;
    };
    ChartManager::setDrawnChartBuilders({[](const auto&, const ui::Rect&) { return std::make_shared<Circle>(); }, {}, {}});
    auto chart = std::make_shared<ChartTableViewCell>();
    auto step = std::make_shared<ChartTableViewCell>();
    for (const auto& cell : {chart, step})
        cell->configureChart({std::make_shared<UnitCircleChartData>(1, 1, 1, 0, std::nullopt)}, *screen_->view());
    auto starts = [](ChartTableViewCell& cell) { return static_cast<Circle&>(*cell.contentView().subviews().at(0)).starts; };
    environment_.executor().runUntilIdle();
    screen_->willDisplayCell(table, *chart, {1, 0});
    screen_->willDisplayCell(table, *step, {0, 0});
    environment_.executor().advanceBy(0.4);
    EXPECT_EQ(starts(*chart), 0);
    environment_.executor().advanceBy(0.2);
    EXPECT_EQ(starts(*chart), 1);
    EXPECT_EQ(starts(*step), 0) << "only chart rows of the chart section restart";
}

TEST_F(SolutionScreenTest, ClearNotificationEmptiesTheScreenButKeepsTheVideos) {
    screen_->setSolutionSteps({{{"title", "a"}, {"latexString", "x"}}});
    screen_->setChartSteps(chartRow(1.0));
    screen_->setManualImageName("clv_info");
    screen_->viewWillAppear(false);
    const auto videos = screen_->videoUrlStrings();
    EXPECT_FALSE(screen_->shareButton()->isHidden());
    foundation::NotificationCenter::defaultCenter().post(SolutionViewController::clearNotification);
    EXPECT_TRUE(screen_->solutionSteps().empty());
    EXPECT_TRUE(screen_->chartSteps().empty());
    EXPECT_FALSE(screen_->manualImageName());
    EXPECT_EQ(screen_->videoUrlStrings(), videos);
    screen_->viewWillAppear(false);
    EXPECT_TRUE(screen_->shareButton()->isHidden());
    EXPECT_TRUE(screen_->manualButton()->isHidden());
    EXPECT_EQ(sections(), 1);
}

}  // namespace
