// The share path of the Solution screen in virtual time, and the selection
// popup.

#include <gtest/gtest.h>

#include "Calvaro/charts/ChartManager.h"
#include "Calvaro/charts/ChartTableViewCell.h"
#include "Calvaro/charts/data/CommonSplineChartData.h"
#include "Calvaro/charts/data/UnitCircleChartData.h"
#include "Calvaro/screens/InputTableViewCells.h"
#include "Calvaro/screens/SelectionPopupTableViewController.h"
#include "Calvaro/screens/SolutionImageExport.h"
#include "Calvaro/screens/SolutionViewController.h"
#include "Calvaro/screens/ViewManager.h"
#include "ScreenTestEnvironment.h"
#include "platform/math/MathLabel.h"
#include "platform/ui/Traits.h"
#include "platform/web/ViewImage.h"
#include "platform/ui/Driver.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Window.h"

namespace {

class SharingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ui::ActivityViewController::setImageSaver([this](const ui::Image& image, std::string& where) {
            saved_.push_back(image.size());
            auto* picture = dynamic_cast<const web::ViewImage*>(&image);
            chartsShown_ = picture && picture->html().find("class=\"chart") != std::string::npos;
            where = "saved";
            return true;
        });
        window_ = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
        window_->setRootViewController(screen_);
        window_->makeKeyAndVisible();
        std::vector<SolutionViewController::Step> steps(3, {{"title", "t"}, {"latexString", "x = 1"}});
        screen_->setSolutionSteps(steps);
        auto chart = std::make_shared<CommonSplineChartData>();
        chart->frameRatio = 1.0;
        screen_->setChartSteps({{chart}});
        screen_->tableView()->setRowHeight(100);
        screen_->setVideoUrlStrings({});
        screen_->tableView()->reloadData();
        screen_->tableView()->setContentOffset({0, 120});
    }
    void TearDown() override {
        ui::ActivityViewController::setImageSaver({});
        ui::ActivityViewController::setSavesInBackground(false);
    }

    ui::AlertController* alert() { return dynamic_cast<ui::AlertController*>(screen_->presentedViewController().get()); }
    ui::ActivityViewController* sheet() {
        return dynamic_cast<ui::ActivityViewController*>(screen_->presentedViewController().get());
    }

    ScreenTestEnvironment environment_;
    std::shared_ptr<SolutionViewController> screen_ = std::make_shared<SolutionViewController>();
    std::shared_ptr<ui::Window> window_;
    std::vector<ui::Size> saved_;
    bool chartsShown_ = false;
};

// Whether "OK" comes before or after the picture is ready, the sheet shows
// exactly once, with one picture of every row; the screen is left as it was.
TEST_F(SharingTest, ShareSheetShowsOnceWhicheverComesFirst) {
    for (bool okFirst : {true, false}) {
        SCOPED_TRACE(okFirst ? "OK before the picture" : "OK after the picture");
        // Saving in the background (the live page) one time, before the sheet shows the other.
        ui::ActivityViewController::setSavesInBackground(okFirst);
        saved_.clear();
        if (screen_->presentedViewController()) screen_->dismiss(false);
        screen_->shareSolution();
        ASSERT_TRUE(environment_.lastParameters("kal_tapped_share"));
        EXPECT_EQ((*environment_.lastParameters("kal_tapped_share"))["solutionStepsCount"].integerValue(), 3);
        environment_.executor().runUntilIdle();
        ASSERT_TRUE(alert());
        EXPECT_TRUE(isRenderingSolutionImage);
        EXPECT_TRUE(window_->viewWithTag(ViewManager::loadingOverlayTag));
        if (okFirst) {
            ASSERT_TRUE(alert()->choose("OK"));
            EXPECT_FALSE(screen_->presentedViewController()) << "no picture yet: nothing to share";
            ui::Driver driver;
            EXPECT_FALSE(driver.tap("shareButton")) << "the loading overlay takes every tap while it shows";
            EXPECT_EQ(driver.lastError(), "nothing on the screen is called \"shareButton\": the screen is covered while it is busy");
        }
        environment_.executor().advanceBy(chartRowDrawingTime);
        EXPECT_FALSE(isRenderingSolutionImage);
        EXPECT_FALSE(window_->viewWithTag(ViewManager::loadingOverlayTag));
        if (!okFirst) {
            EXPECT_TRUE(alert()) << "the alert stays until confirmed";
            ASSERT_TRUE(alert()->choose("OK"));
        }
        environment_.executor().advanceBy(5);
        ASSERT_TRUE(sheet());
        sheet()->view();
        environment_.executor().runUntilIdle();
        ASSERT_EQ(saved_.size(), 1u);
        EXPECT_EQ(saved_[0], (ui::Size{390, 690})) << "three rows of 100 and a chart row of 390";
        EXPECT_TRUE(chartsShown_) << "the chart row is drawn in the picture";
        EXPECT_EQ(sheet()->itemTexts(), std::vector<std::string>{"Image saved: saved"});
        EXPECT_EQ(screen_->tableView()->contentOffset().y, 120) << "the scroll offset is put back";
    }
}

TEST_F(SharingTest, TableWalkPiecesAndEmptyTables) {
    ui::TableView& table = *screen_->tableView();
    table.setTableHeaderView(std::make_shared<ui::View>(ui::Rect(0, 0, 390, 50)));
    ViewImagePointer image;
    bool done = false;
    tableScreenshot(table, std::nullopt, std::nullopt, [&](ViewImagePointer result) {
        image = result;
        done = true;
    });
    EXPECT_FALSE(done) << "the chart row is given its drawing time";
    environment_.executor().advanceBy(chartRowDrawingTime);
    ASSERT_TRUE(done && image);
    EXPECT_EQ(image->size(), (ui::Size{390, 740}));
    EXPECT_LT(image->html().find("data-row=\"0.0\""), image->html().find("data-row=\"1.0\"")) << "rows in order";

    EXPECT_EQ(stackImages({}), nullptr) << "an empty list makes no image";
    screen_->clearSolution();
    table.setTableHeaderView(nullptr);
    done = false;
    tableScreenshot(table, std::nullopt, std::nullopt, [&](ViewImagePointer result) {
        image = result;
        done = true;
    });
    EXPECT_TRUE(done);
    EXPECT_EQ(image, nullptr);
}

// A chart row is snapped at the first frame at which it has finished drawing
// (a chart the page draws needs no more), at the latest after its drawing
// time, and a row about to restart its animation waits for the restart.
TEST_F(SharingTest, AChartRowIsSnappedOnceItHasFinishedDrawing) {
    struct AnimatedStandIn : ui::View, AnimatedChartView {
        explicit AnimatedStandIn(std::shared_ptr<bool> running) : running(std::move(running)) {}
        void startAnimation() override {}
        bool isAnimating() const override { return *running; }
        std::shared_ptr<bool> running;
    };
    // One chart row and nothing that restarts it behind the test's back.
    struct OneChartRow : ui::TableViewDataSource {
        std::shared_ptr<ChartTableViewCell> cell = std::make_shared<ChartTableViewCell>();
        int64_t numberOfRowsInSection(ui::TableView&, int64_t) override { return 1; }
        std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView&, const ui::IndexPath&) override { return cell; }
    };
    auto running = std::make_shared<bool>(false);
    ChartManager::setDrawnChartBuilders(
        {[running](const auto&, const ui::Rect&) { return std::make_shared<AnimatedStandIn>(running); }, {}, {}});
    struct ChartDrawingCase {
        const char* name;
        bool animated;
        double animationEnds;  // 0: ended before, negative: never
        double restartIn;      // 0: none due
        double snappedBy;
    };
    // Ends between two frames: the next frame snaps the row.
    const ChartDrawingCase cases[] = {
        {"a chart the page draws", false, 0, 0, chartRowFrameTime},
        {"an animation that has ended", true, 0, 0, chartRowFrameTime},
        {"an animation that ends", true, 0.51, 0, 31 * chartRowFrameTime},
        {"a restart that is due", true, 0, 0.51, 31 * chartRowFrameTime},
        {"an animation that never ends", true, -1, 0, chartRowDrawingTime},
    };
    auto& executor = environment_.executor();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OneChartRow source;
        ChartRow row;
        if (c.animated) row.push_back(std::make_shared<UnitCircleChartData>(1, 1, 1, 0, std::nullopt));
        else row.push_back(std::make_shared<CommonSplineChartData>());
        row.front()->frameRatio = 1.0;
        source.cell->configureChart(row, *screen_->view());
        auto table = std::make_shared<ui::TableView>(ui::Rect(0, 0, 390, 844));
        table->setRowHeight(390);
        table->setDataSource(&source);
        table->reloadData();
        *running = c.animationEnds != 0;
        if (c.restartIn > 0) source.cell->restartAnimationAfter(c.restartIn);
        const double start = executor.clock().uptime();
        bool done = false;
        tableScreenshot(*table, std::nullopt, std::nullopt, [&](ViewImagePointer image) { done = image != nullptr; });
        executor.runUntilIdle();
        EXPECT_FALSE(done) << "a chart row is looked at on the next frame, not at once";
        if (c.animationEnds > 0) {
            executor.advanceBy(c.animationEnds);
            EXPECT_FALSE(done) << "snapped while its animation ran";
            *running = false;
        }
        executor.advanceBy(start + c.snappedBy - executor.clock().uptime() - 1e-6);
        EXPECT_FALSE(done) << "snapped too early";
        executor.advanceBy(2e-6);
        EXPECT_TRUE(done) << "snapped too late";
        executor.advanceBy(chartRowDrawingTime);
        table->setDataSource(nullptr);
    }
}

class PopupTest : public ::testing::Test {
protected:
    ScreenTestEnvironment environment_;
};

TEST_F(PopupTest, SizeHighlightSelectionAndRangeChecks) {
    auto host = std::make_shared<ui::ViewController>();
    auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    window->setRootViewController(host);
    window->makeKeyAndVisible();
    for (int64_t selected : {1, 3, -1}) {
        SCOPED_TRACE(selected);
        auto popup = std::make_shared<SelectionPopupTableViewController>();
        popup->data = {"a", "b", "c"};
        popup->selectedIndex = selected;
        std::vector<int64_t> picked;
        popup->completion = [&](int64_t row) { picked.push_back(row); };
        EXPECT_EQ(popup->preferredContentSize(), (ui::Size{80, 120}));
        ASSERT_TRUE(host->present(popup, false)) << "an index beyond the list is not scrolled to";
        ui::TableView& table = popup->tableView();
        if (selected == 1) {
            EXPECT_EQ(table.cellForRow({0, 1})->backgroundColor(), popup->cellHighlightColor);
        }
        EXPECT_EQ(table.cellForRow({0, 0})->backgroundColor(), popup->cellBgColor);
        popup->didSelectRowAt(table, {0, 3});
        EXPECT_TRUE(picked.empty()) << "a pick beyond the list is refused";
        EXPECT_TRUE(host->presentedViewController());
        EXPECT_TRUE(table.userSelectRow({0, 2}));
        EXPECT_EQ(picked, std::vector<int64_t>{2});
        EXPECT_FALSE(host->presentedViewController());
    }
}

TEST_F(PopupTest, BorderIsDrawnOncePerContainer) {
    auto popup = std::make_shared<SelectionPopupTableViewController>();
    auto container = std::make_shared<ui::View>(ui::Rect(0, 0, 80, 120));
    auto mask = std::make_shared<graphics::ShapeLayer>();
    mask->path.addRoundedRect(ui::Rect(0, 0, 80, 120), 13);
    container->setMaskView(std::make_shared<ui::View>(ui::Rect(0, 0, 80, 120), mask));
    auto middle = std::make_shared<ui::View>(ui::Rect(0, 0, 80, 120));
    container->addSubview(middle);
    middle->addSubview(popup->view());
    popup->viewWillLayoutSubviews();
    popup->viewWillLayoutSubviews();
    ASSERT_EQ(container->layer().sublayers.size(), 1u);
    auto* border = dynamic_cast<graphics::ShapeLayer*>(container->layer().sublayers[0].get());
    ASSERT_TRUE(border);
    EXPECT_EQ(border->name, "border");
    EXPECT_EQ(border->path.svgData(), mask->path.svgData());
    EXPECT_EQ(border->lineWidth, 4.0);
    EXPECT_EQ(border->strokeColor, popup->cellHighlightColor);
}

TEST(InputCellsTest, FieldsAreReadyForTheKeypadAndMissingOutletsAreErrors) {
    EnumeratedInputTableViewCell cell;
    EXPECT_THROW(cell.awakeFromNib(), std::logic_error);
    cell.enumeratingLabel = std::make_shared<ui::Label>();
    cell.integerTextField = std::make_shared<ui::TextField>();
    cell.doubleTextField = std::make_shared<ui::TextField>();
    cell.awakeFromNib();
    for (const auto& field : {cell.integerTextField, cell.doubleTextField}) {
        EXPECT_TRUE(field->inputView());
        EXPECT_FALSE(field->autocorrection());
        EXPECT_EQ(field->textAlignment(), ui::TextAlignment::center);
    }
}

// Every field of the input rows takes the application's keypad, never the
// platform keyboard: the value row's field as the enumerated row's.
TEST(InputRows, ValueRowFieldTakesTheKeypad) {
    ScreenTestEnvironment environment;
    ValueInputTableViewCell cell;
    EXPECT_THROW(cell.awakeFromNib(), std::logic_error);
    cell.titleLabel = std::make_shared<ui::Label>();
    cell.mathLabel = std::make_shared<math::MathLabel>();
    cell.inputTextField = std::make_shared<ui::TextField>();
    cell.unitLabel = std::make_shared<math::MathLabel>();
    cell.inputTextField->setAutocorrection(true);
    cell.awakeFromNib();
    ASSERT_TRUE(cell.inputTextField->inputView());
    EXPECT_EQ(cell.inputTextField->inputView()->frame(), ui::Rect()) << "an empty input view: no keyboard";
    EXPECT_FALSE(cell.inputTextField->autocorrection());
    EXPECT_FALSE(cell.inputTextField->showsShortcutBar());
}

// On a tablet the share sheet is a popover from a band 50 points high just
// below the Solution screen, as wide as the screen; on a phone a sheet.
TEST_F(SharingTest, ShareSheetIsAPopoverBelowTheScreenOnATablet) {
    const ui::DeviceProfile phone = ui::TraitCollection::device();
    auto picture = web::ViewImage::blank({10, 10});
    for (bool pad : {false, true}) {
        SCOPED_TRACE(pad ? "tablet" : "phone");
        ui::TraitCollection::setDevice(pad ? ui::DeviceProfile::pad() : phone);
        if (screen_->presentedViewController()) screen_->dismiss(false);
        screen_->view()->setFrame(ui::Rect(0, 0, 390, 700));
        screen_->presentShareSheet({picture});
        ASSERT_TRUE(sheet());
        if (!pad) {
            EXPECT_NE(sheet()->modalPresentationStyle(), ui::ModalPresentationStyle::popover);
            continue;
        }
        EXPECT_EQ(sheet()->modalPresentationStyle(), ui::ModalPresentationStyle::popover);
        EXPECT_EQ(sheet()->popoverPresentationController().sourceView, screen_->view().get());
        EXPECT_EQ(sheet()->popoverPresentationController().sourceRect, ui::Rect(0, 700, 390, 50));
    }
    ui::TraitCollection::setDevice(phone);
    environment_.executor().runUntilIdle();
}

}  // namespace
