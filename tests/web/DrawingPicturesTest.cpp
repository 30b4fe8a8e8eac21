// Custom-drawn views as pictures: recorded drawing, shape layers and the
// solution image, rendered in Chromium and read back.

#include <gtest/gtest.h>
#include "tests/support/TestPaths.h"

#include <sys/stat.h>

#include <climits>
#include <ctime>
#include <cmath>
#include <numbers>

#include "Calvaro/charts/DistributionFunctionPresentationView.h"
#include "Calvaro/charts/SolutionImageRendering.h"
#include "Calvaro/charts/TreeChartView.h"
#include "Calvaro/charts/UnitCircleChartView.h"
#include "Calvaro/charts/palette/Palette.h"
#include "Calvaro/screens/SolutionImageExport.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/graphics/Context.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/ui/Label.h"
#include "platform/web/ViewImage.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;
constexpr double pi = std::numbers::pi;

class DrawingTest : public ::testing::Test {
  protected:
    void SetUp() override { resetSharedState(); }
    void TearDown() override {
        isRenderingSolutionImage = false;
        resetSharedState();
    }
    // The view's picture at scale 2; returns the page's DOM.
    std::string picture(ui::View& view, const std::string& name) {
        auto image = web::ViewImage::ofView(view, view.bounds());
        const fs::path page = folder.path() / (name + ".html");
        writeFile(page, image->page());
        const fs::path png = folder.path() / (name + ".png");
        std::string dom = pictureOf(page, png, image->size().width, image->size().height, 2);
        EXPECT_EQ(pngSize(png), std::make_pair(static_cast<uint32_t>(std::lround(image->size().width * 2)),
                                               static_cast<uint32_t>(std::lround(image->size().height * 2))));
        return dom;
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
    TemporaryDataRoot folder{"drawing"};
};

TEST(PathTest, ArcsKeepTheirDirectionAndWholeTurns) {
    struct Case {
        double start, end;
        bool clockwise;
        size_t pieces;
        const char* sweepFlag;
    } cases[] = {
        {0, -2 * pi, false, 2, " 0 0 0 "},  // a whole turn against the clock
        {0, 2 * pi, true, 2, " 0 0 1 "},
        {0, pi / 2, true, 1, " 0 0 1 "},
        {0, -pi / 2, true, 2, " 0 0 1 "},  // clockwise the long way round
        {0, 5 * pi, true, 2, " 0 0 1 "},   // more than a turn is a turn
        {0, 0, true, 0, ""},
    };
    for (const auto& c : cases) {
        graphics::Path path;
        path.addArc({50, 50}, 10, c.start, c.end, c.clockwise);
        const std::string d = path.svgData();
        size_t arcs = 0;
        for (char ch : d) arcs += ch == 'A';
        EXPECT_EQ(arcs, c.pieces) << d;
        if (c.pieces) {
            EXPECT_NE(d.find(c.sweepFlag), std::string::npos) << d;
        }
    }
    graphics::Context context;
    context.restoreGState();  // nothing saved: nothing changes
    context.saveGState();
    context.translateBy(10, 20);
    context.rotateBy(pi / 2);
    context.drawText("x", ui::Rect(0, 0, 10, 10), ui::Font::system(12));
    context.restoreGState();
    context.drawText("y", ui::Rect(0, 0, 10, 10), ui::Font::system(12));
    ASSERT_EQ(context.marks().size(), 2u);
    EXPECT_NEAR(context.marks()[0].transform[4], 10, 1e-12);
    EXPECT_NEAR(context.marks()[0].transform[1], 1, 1e-12);
    EXPECT_EQ(context.marks()[1].transform, graphics::identityTransform);
}

TEST_F(DrawingTest, ProbabilityTrees) {
    struct Case {
        int64_t trials, hits;
        double p;
        ui::Size size;
        std::vector<std::string> highlightedLeaves, dimLeaves;
        std::string failureText, successText;
    } cases[] = {
        {2, 1, 0.5, {332, 260}, {"25%   01", "25%   10"}, {"25%   00", "25%   11"}, "0.5", "0.5"},
        {0, 0, 0.5, {233, 140}, {"100%   "}, {}, "0.5", "0.5"},
        {2, 3, 0.3, {332, 260}, {}, {"49%   00", "21%   01", "21%   10", "9%   11"}, "0.7", "0.3"},
        {1, INT64_MIN, 0.5, {266, 200}, {}, {"50%   0", "50%   1"}, "0.5", "0.5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trials);
        BernoulliDistributionTreeChartData data;
        data.chartTitle = "Tree";
        data.trials = c.trials;
        data.hits = c.hits;
        data.probabilityOfSuccess = c.p;
        auto container = TreeChartManager::makeTreeChart(data, ui::Rect(0, 0, 351, 300));
        ASSERT_TRUE(container);
        auto* tree = dynamic_cast<TreeChartView*>(container->subviews().at(0)->subviews().at(0).get());
        ASSERT_TRUE(tree);
        EXPECT_EQ(tree->frame().size, c.size);
        EXPECT_EQ(tree->probabilityFailure, c.failureText);
        EXPECT_EQ(tree->probabilitySuccess, c.successText);
        std::vector<std::string> highlighted, dim;
        for (const auto& mark : tree->drawing().marks())
            if (mark.kind == graphics::Mark::Kind::text && mark.text.find('%') != std::string::npos)
                (mark.color == appPink() ? highlighted : dim).push_back(mark.text);
        EXPECT_EQ(highlighted, c.highlightedLeaves);
        EXPECT_EQ(dim, c.dimLeaves);

        // The layout comes from the bounds, whatever part is redrawn.
        graphics::Context part;
        tree->drawRect(part, ui::Rect(10, 10, 50, 50));
        EXPECT_EQ(part.svgElements(), tree->drawing().svgElements());
    }
    BernoulliDistributionTreeChartData data;
    for (int64_t trials : {int64_t{-1}, TreeChartManager::maxTrials + 1, int64_t{62}}) {
        data.trials = trials;
        EXPECT_FALSE(TreeChartManager::makeTreeChart(data, ui::Rect(0, 0, 351, 300))) << trials;
    }
    TreeChartView::TreeNode leaf;
    TreeChartManager::buildChildren(leaf, 1, -3, 0.5, 0.5);
    EXPECT_TRUE(leaf.children.empty()) << "a negative depth is a leaf";

    // The 2-trial tree with the hit (2, 1) in the page.
    data.trials = 2;
    data.hits = 1;
    data.probabilityOfSuccess = 0.5;
    data.chartTitle = "Two trials, one hit";
    auto container = TreeChartManager::makeTreeChart(data, ui::Rect(0, 0, 351, 300));
    const std::string dom = picture(*container, "tree");
    const std::string pink = graphics::cssColor(appPink());
    // Root, both first-level nodes, leaves 01 and 10: 5 circles and 4 lines.
    EXPECT_EQ(count(dom, "fill=\"none\" stroke=\"" + pink + "\""), 9u);
    EXPECT_EQ(count(dom, ">25%   "), 4u);
    EXPECT_NE(dom.find("Two trials, one hit"), std::string::npos);
}

TEST_F(DrawingTest, UnitCircleFinalStates) {
    struct Case {
        double alpha, b;
        int64_t fullCircles;
        std::string alphaText, gammaText, turnsText, cosText, sinText;
        size_t arcs;
        double arrow;
    } cases[] = {
        {450, 2.5 * pi, 1, "450\u00B0", "90\u00B0", "1", "0.0", "1.0", 2, -pi / 2},
        {720, 4 * pi, 2, "720\u00B0", "360\u00B0", "2", "1.0", "0.0", 2, -2 * pi},
        {-450, -2.5 * pi, -1, "-450\u00B0", "-90\u00B0", "-1", "0.0", "-1.0", 2, pi / 2},
        {45, pi / 4, 0, "45\u00B0", "45\u00B0", "0", "0.71", "0.71", 1, -pi / 4},
        // The description's count of turns decides the laps, even where it
        // runs past the angle: the turns are drawn and the count shown.
        {450, 2.5 * pi, 7, "2520\u00B0", "360\u00B0", "7", "1.0", "0.0", 7, -2 * pi},
        {-90, -pi / 2, 3, "-1080\u00B0", "-360\u00B0", "-3", "1.0", "0.0", 3, 2 * pi},
        {450, 2.5 * pi, 0, "450\u00B0", "450\u00B0", "0", "0.0", "1.0", 1, -2.5 * pi},
        // Beyond the cap the last lap carries the remaining turns.
        {36090, 200.5 * pi, 100, "36090\u00B0", "28890\u00B0", "100", "0.0", "1.0", 21, -160.5 * pi},
    };
    isRenderingSolutionImage = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alpha);
        auto shared = std::make_shared<UnitCircleChartView>(ui::Rect(0, 0, 351, 175.5));
        UnitCircleChartView& view = *shared;
        view.unitCircleChartData =
            std::make_shared<UnitCircleChartData>(c.alpha, c.b, std::nullopt, c.fullCircles, Quadrant::second);
        view.startAnimation();
        EXPECT_FALSE(view.isAnimationRunning);
        EXPECT_EQ(view.alphaLabel->text(), c.alphaText);
        EXPECT_EQ(view.gammaLabel->text(), c.gammaText);
        EXPECT_EQ(view.fullCirclesLabel->text(), c.turnsText);
        EXPECT_EQ(view.pXLabel->text(), c.cosText);
        EXPECT_EQ(view.pYLabel->text(), c.sinText);
        EXPECT_EQ(view.animationView->layer().sublayers.size(), c.arcs + 2) << "an arc a lap and two segments";
        const ui::Layer& arrow = view.arrowImageView->layer();
        EXPECT_NEAR(arrow.presentationValue("transform.rotation.z", arrow.rotation), c.arrow, 1e-9);
        EXPECT_EQ(view.q2Label->alpha(), 1);
        EXPECT_EQ(view.q1Label->alpha(), 0);
    }

    auto shared = std::make_shared<UnitCircleChartView>(ui::Rect(0, 0, 351, 175.5));
    UnitCircleChartView& view = *shared;
    view.unitCircleChartData = std::make_shared<UnitCircleChartData>(-450, -2.5 * pi, std::nullopt, -1, Quadrant::third);
    view.startAnimation();
    const std::string dom = picture(view, "unit-circle");
    EXPECT_NE(dom.find("-450\u00B0"), std::string::npos);
    EXPECT_EQ(count(dom, "data-layer=\"animation\""), 4u);
    EXPECT_NE(dom.find("transform:rotate(1.571rad)"), std::string::npos) << "the arrow points straight down";

    view.unitCircleChartData = std::make_shared<UnitCircleChartData>(720, 4 * pi, std::nullopt, 2, std::nullopt);
    view.startAnimation();
    const std::string twoLaps = picture(view, "unit-circle-720");
    EXPECT_NE(twoLaps.find(">720\u00B0<"), std::string::npos);
    EXPECT_EQ(count(twoLaps, "data-layer=\"animation\""), 4u) << "two laps and the two segments";
}

// The demonstration's exercise shared: one PNG in the data root, the table's
// 390 points wide at scale 3, its path shown on the share sheet.
TEST_F(DrawingTest, DemonstrationExerciseSharedAsOnePicture) {
    const fs::path script = folder.path() / "share.txt";
    writeFile(script,
              "alert #dsgvoAcceptButton\n"
              "tap onboardAdvanceButton\ntap onboardAdvanceButton\ntap onboardAdvanceButton\n"
              "tap onboardAdvanceButton\ntap onboardAdvanceButton\n"
              "tap aTextField\ntype 3\ntap bTextField\ntype 2\ntap cTextField\ntype 1-\n"
              "tap dTextField\ntype 1\ntap zTextField\ntype 2\ntap calculateButton\n"
              "tap shareButton\nwait 3\nalert OK\nsnapshot shared\n");
    const fs::path home = folder.path() / "home";
    const std::string command = std::string("'") + CALVARO_EXECUTABLE + "' --home '" + home.string() +
                                "' --script '" + script.string() + "' > '" + (folder.path() / "out.txt").string() +
                                "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(folder.path() / "out.txt");
    std::vector<fs::path> pictures;
    for (const auto& entry : fs::directory_iterator(home / "Shared")) pictures.push_back(entry.path());
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NE(readFile(folder.path() / "out.txt").find("Image saved: " + pictures[0].filename().string()),
              std::string::npos);
    const auto [width, height] = pngSize(pictures[0]);
    EXPECT_EQ(width, 1170u);
    EXPECT_GT(height, 3000u);
    EXPECT_EQ(fs::status(pictures[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    if (const char* keep = std::getenv("CALVARO_TEST_PICTURES"); keep && *keep) {
        std::error_code ec;
        fs::copy_file(pictures[0], fs::path(keep) / "shared-solution.png", fs::copy_options::overwrite_existing, ec);
    }
}

// Without the rendering flag the counts and laps step on the virtual clock.
TEST_F(DrawingTest, UnitCircleAnimationStepsOnTheClock) {
    dispatch::ManualExecutor executor;
    auto shared = std::make_shared<UnitCircleChartView>(ui::Rect(0, 0, 351, 175.5));
    UnitCircleChartView& view = *shared;
    view.unitCircleChartData = std::make_shared<UnitCircleChartData>(720, 4 * pi, std::nullopt, 2, Quadrant::first);
    view.startAnimation();
    view.startAnimation();  // a start while running is ignored
    executor.runUntilIdle();
    EXPECT_EQ(view.alphaLabel->text(), "0\u00B0");
    EXPECT_FALSE(view.animateAgainButton->isEnabled());
    executor.advanceBy(0.5);
    EXPECT_EQ(view.alphaLabel->text(), "180\u00B0");
    auto& arc = *view.animationView->layer().sublayers.at(0);
    EXPECT_NEAR(arc.presentationValue("strokeEnd", 1), 0.5, 1e-9);
    executor.advanceBy(0.6);
    EXPECT_EQ(view.fullCirclesLabel->text(), "1") << "the second lap has begun";
    EXPECT_EQ(view.alphaLabel->text(), "396\u00B0");
    executor.advanceBy(1.0);
    EXPECT_FALSE(view.isAnimationRunning) << "720 degrees end after two laps";
    EXPECT_EQ(view.alphaLabel->text(), "720\u00B0");
    EXPECT_EQ(view.fullCirclesLabel->text(), "2");
    EXPECT_EQ(view.animationView->layer().sublayers.size(), 4u);
    EXPECT_TRUE(view.animateAgainButton->isEnabled());
    executor.advanceBy(2);
    view.startAnimation();
    EXPECT_EQ(view.animationView->layer().sublayers.size(), 1u) << "a restart drops the old arcs";
}

TEST_F(DrawingTest, DistributionFormulaTypesets) {
    // A label at ten fraction digits: 0 below 1e-10, infinity beyond 1e12.
    const std::pair<double, const char*> cases[] = {
        {0.5, "0.5;"},          {1.0 / 3, "0.3333333333;"},   {0, "0;"},
        {1e-11, "0;"},          {-1e-11, "0;"},               {1e-10, "0.0000000001;"},
        {1e12, "1000000000000;"}, {1.0000001e12, "\\infty;"}, {-2e12, "-\\infty;"}};
    for (const auto& [value, latex] : cases)
        EXPECT_EQ(DistributionFunctionPresentationView(ui::Rect(0, 0, 351, 175.5), value).label2->latex(), latex);
    DistributionFunctionPresentationView view(ui::Rect(0, 0, 351, 175.5), 0.25);
    EXPECT_EQ(view.labelMid->fontSize(), 46.0);
    const std::string dom = picture(view, "distribution");
    size_t typeset = 0;
    for (const auto& e : elements(dom)) typeset += e.hasClass("typeset");
    EXPECT_EQ(typeset, 8u);
    EXPECT_NE(dom.find("data-katex-failures=\"0\""), std::string::npos);
}

// The picture of a table of three 100-point rows and a 390-point row at the
// shared image's scale, the crop of a rectangle and the size limit.
TEST_F(DrawingTest, SolutionImageSizesCropAndLimit) {
    ui::View table(ui::Rect(0, 0, 390, 690));
    std::vector<ViewImagePointer> pieces;
    for (double y : {0.0, 100.0, 200.0, 300.0}) {
        auto row = std::make_shared<ui::Label>(ui::Rect(0, y, 390, y < 300 ? 100 : 390));
        row->setText("row at " + std::to_string(static_cast<int>(y)));
        table.addSubview(row);
        pieces.push_back(screenshot(*row));
    }
    auto image = stackImages(pieces);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (ui::Size{390, 690}));
    const fs::path png = folder.path() / "solution.png";
    std::string error;
    ASSERT_TRUE(image->writePng(png, sharedImageScale, error)) << error;
    EXPECT_EQ(pngSize(png), std::make_pair(1170u, 2070u));

    // The rectangle's own origin: the row at 100 is the crop's top.
    auto crop = screenshotForCroppingRect(table, ui::Rect(0, 100, 390, 100));
    const fs::path page = folder.path() / "crop.html";
    writeFile(page, crop->page());
    bool found = false;
    for (const auto& e : elements(domOf(page, true)))
        if (e.hasClass("label") && e.get("data-box").rfind("0 0 390 100", 0) == 0) found = true;
    EXPECT_TRUE(found) << "the label at y = 100 shows at the top of the crop";

    const std::pair<double, double> limits[] = {{690, 3}, {6333, 16384.0 / 6333}, {20000, 16384.0 / 20000}};
    for (const auto& [height, scale] : limits) {
        web::ViewImage tall("", {390, height});
        EXPECT_NEAR(tall.pixelScale(3), scale, 1e-3) << height;
        EXPECT_LE(std::lround(height * tall.pixelScale(3)), 16384) << height;
    }
}

// A picture to share goes into the data root's own Shared folder and
// nowhere else: not through a Shared/ that is a link, not through a link
// planted at the picture's name or at the name of the page it is made from,
// and never readable by others, whatever the umask.
TEST_F(DrawingTest, SharingWritesNoPictureThroughPlantedLinks) {
    dispatch::ManualExecutor executor;  // the picture's name comes from its clock
    const fs::path home = folder.useAsHome("home");
    const fs::path victim = folder.path() / "victim";
    fs::create_directories(victim);
    writeFile(victim / "kept.txt", "kept");
    const auto image = web::ViewImage::blank({40, 30});
    std::string where;

    fs::create_symlink(victim, home / "Shared");
    EXPECT_FALSE(saveSharedImage(*image, where));
    EXPECT_NE(where.find("is not a folder"), std::string::npos) << where;
    fs::remove(home / "Shared");

    fs::create_directories(home / "Shared");
    const std::time_t now = static_cast<std::time_t>(dispatch::Clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "Solution-%Y%m%d-%H%M%S", &utc);
    const std::string name = stamp;
    fs::create_symlink(victim / "kept.txt", home / "Shared" / (name + ".png"));
    fs::create_symlink(victim / "kept.txt", home / "Shared" / (name + ".png.html"));
    fs::create_symlink(victim / "new.png", home / "Shared" / (name + "-2.png"));  // leads nowhere yet
    const mode_t umask = ::umask(0);
    const bool saved = saveSharedImage(*image, where);
    ::umask(umask);
    ASSERT_TRUE(saved) << where;
    EXPECT_EQ(fs::path(where).filename(), name + "-3.png");
    EXPECT_EQ(pngSize(where), std::make_pair(120u, 90u));
    EXPECT_EQ(fs::status(where).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(victim / "kept.txt"), "kept");
    EXPECT_FALSE(fs::exists(victim / "new.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(home / "Shared"), fs::directory_iterator()), 4)
        << "the three links and the picture, no folder left over";
}

}  // namespace
