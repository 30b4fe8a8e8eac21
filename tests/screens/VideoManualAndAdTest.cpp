#include <gtest/gtest.h>

#include <fstream>

#include "Calvaro/screens/SolutionRowCells.h"
#include "Calvaro/screens/VideoCollectionTableViewCell.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/KalAdsViewController.h"
#include "Calvaro/services/OnboardViewController.h"
#include "ScreenTestEnvironment.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"
#include "platform/ui/Storyboard.h"
#include "platform/web/Chromium.h"
#include "platform/web/HtmlPage.h"

namespace {

namespace fs = std::filesystem;

TEST(VideoCell, OnlyWellFormedAddressesReachThePlayer) {
    ScreenTestEnvironment environment;
    const std::string watch = VideoCollectionViewCell::watchPrefix;
    const std::string shorts = VideoCollectionViewCell::shortsPrefix;
    struct Case {
        std::optional<std::string> address;
        std::optional<ui::PlayerView::Load> load;  // none: the player is hidden
    } cases[] = {
        {watch + "calvaroEN01&t=90s", ui::PlayerView::Load{"calvaroEN01", {{"iv_load_policy", 1}, {"start", 90}}}},
        {watch + "calvaroEN01&t=-5s", ui::PlayerView::Load{"calvaroEN01", {{"iv_load_policy", 1}}}},
        {watch + "calvaroEN01&t=90", ui::PlayerView::Load{"calvaroEN01", {{"iv_load_policy", 1}}}},
        {watch + "calvaroEN01&t=s", ui::PlayerView::Load{"calvaroEN01", {{"iv_load_policy", 1}}}},
        {watch + "calvaroEN01&&list=PL1", ui::PlayerView::Load{"calvaroEN01", {{"iv_load_policy", 1}}}},
        {shorts + "a-b_C3d4E5f", ui::PlayerView::Load{"a-b_C3d4E5f", {{"iv_load_policy", 1}}}},
        {watch + "calvaroEN1", std::nullopt},
        {watch + "x\"><b>y</b>", std::nullopt},
        {watch + "calvaro\xC3\xA9" "01", std::nullopt},
        {shorts + "calvaroEN02?x=1", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto cell = std::make_shared<VideoCollectionViewCell>();
        cell->awakeFromNib();
        cell->loadVideo(c.address);
        environment.executor().runUntilIdle();
        SCOPED_TRACE(c.address.value_or("(none)"));
        EXPECT_EQ(cell->videoView()->isHidden(), !c.load);
        EXPECT_EQ(cell->videoView()->currentVideo(), c.load);
        EXPECT_EQ(cell->coveringView()->isHidden(), c.load.has_value()) << "the cover goes once the player is ready";
    }
}

class VideoRowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_->setRootViewController(root_);
        window_->makeKeyAndVisible();
    }

    std::shared_ptr<VideoCollectionTableViewCell> makeRow(std::optional<bool> consent) {
        if (consent) foundation::UserDefaults::standard().set(DsgvoManager::isYoutubeDsgvoAcceptedKey, *consent);
        registerSolutionRowNibs();
        auto row = std::static_pointer_cast<VideoCollectionTableViewCell>(
            ui::Nib::loadView(VideoCollectionTableViewCell::nibName));
        row->setFrame(ui::Rect(0, 100, 390, VideoCollectionTableViewCell::rowHeight()));
        root_->view()->addSubview(row);
        return row;
    }

    static bool locked(const VideoCollectionTableViewCell& row) {
        const bool covered = !row.lockingView()->isHidden();
        EXPECT_EQ(row.privacyButton()->image()->name(), covered ? "lock.fill" : "lock.open.fill");
        return covered;
    }

    bool introductionShown() {
        auto tour = std::dynamic_pointer_cast<OnboardViewController>(root_->presentedViewController());
        return tour && tour->modalPresentationStyle() == ui::ModalPresentationStyle::formSheet;
    }

    ScreenTestEnvironment environment_;
    std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    std::shared_ptr<ui::ViewController> root_ = std::make_shared<ui::ViewController>();
    ui::Driver driver_;
};

TEST_F(VideoRowTest, ConsentThroughEitherButtonLocksAndUnlocks) {
    EXPECT_TRUE(locked(*makeRow(std::nullopt)));
    EXPECT_FALSE(locked(*makeRow(true)));
    EXPECT_EQ(VideoCollectionTableViewCell::rowHeight(), 390) << "as high as the screen is wide";
    auto row = makeRow(false);
    // Through the cover: accepted, uncovered, the introduction shown.
    ASSERT_TRUE(driver_.tap("unlockVideosButton")) << driver_.lastError();
    ASSERT_TRUE(driver_.answerAlert("youtubeDsgvoAcceptButton")) << driver_.lastError();
    EXPECT_FALSE(locked(*row));
    EXPECT_TRUE(introductionShown());
    root_->dismiss(false);
    // Through the lock button: refused covers the row at once; accepted is
    // stored, and the row stays covered until a new row is set up.
    ASSERT_TRUE(driver_.tap("videoPrivacyButton")) << driver_.lastError();
    ASSERT_TRUE(driver_.answerAlert("youtubeDsgvoDeclineButton")) << driver_.lastError();
    EXPECT_TRUE(locked(*row));
    EXPECT_EQ(foundation::UserDefaults::standard().boolValue(DsgvoManager::isYoutubeDsgvoAcceptedKey), false);
    ASSERT_TRUE(driver_.tap("videoPrivacyButton")) << driver_.lastError();
    ASSERT_TRUE(driver_.answerAlert("youtubeDsgvoAcceptButton")) << driver_.lastError();
    EXPECT_EQ(foundation::UserDefaults::standard().boolValue(DsgvoManager::isYoutubeDsgvoAcceptedKey), true);
    EXPECT_TRUE(locked(*row));
    EXPECT_FALSE(introductionShown());
    EXPECT_FALSE(locked(*makeRow(std::nullopt)));
    ASSERT_TRUE(driver_.tap("videoManualButton")) << driver_.lastError();
    EXPECT_TRUE(introductionShown());
}

// Each video tile is a square of 0.95 of the row's height of tiles.
TEST_F(VideoRowTest, VideoTilesAreSquaresOfTheRowsHeight) {
    auto row = makeRow(true);
    row->videoUrlStringArray = {std::string(VideoCollectionViewCell::watchPrefix) + "calvaroEN01",
                                std::string(VideoCollectionViewCell::watchPrefix) + "calvaroEN02"};
    row->reloadData();
    ui::CollectionView& tiles = *row->videoCollectionView();
    for (double height : {200.0, 300.0}) {
        tiles.setFrame(ui::Rect(0, 0, 390, height));
        EXPECT_EQ(row->sizeForItemAt(tiles, {0, 1}), (ui::Size{0.95 * height, 0.95 * height}));
    }
}

TEST(HouseAd, CountsEachAppearanceAndOpensOnlyWebLinks) {
    ScreenTestEnvironment environment;
    auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    auto root = std::make_shared<ui::ViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    auto show = [&](std::optional<KalAdData> ad) {
        auto screen = std::make_shared<KalAdsViewController>();
        screen->currentAd = std::move(ad);
        root->present(screen, false);
        environment.executor().runUntilIdle();
        return screen;
    };
    const KalAdData offer{"ad_math_suite", "https://apps.example.org/mathsuite", "30"};
    show(offer)->discountButtonPressed();
    environment.executor().runUntilIdle();
    EXPECT_EQ(environment.lastParameters("kalAds_presented")->at("countKalAdsPresented"), foundation::Value(int64_t{1}))
        << "the showing is counted before it is logged";
    EXPECT_EQ(ui::Application::shared().openedURLs(), std::vector<std::string>{offer.linkingString});
    EXPECT_EQ(*environment.lastParameters("kalAds_openedAdProduct"),
              (DEDIzurarove::Parameters{{"sendingApp", "org.calvaro.Calvaro"}, {"kalAdId", "ad_math_suite"},
                                        {"countKalAdsPresented", int64_t{1}}}));

    for (const char* link : {"calvaro://open", "javascript:alert(1)", "http://apps.example.org/x"}) {
        show(KalAdData{"x", link, "5"})->discountButtonPressed();
        environment.executor().runUntilIdle();
    }
    EXPECT_EQ(ui::Application::shared().openedURLs().size(), 1u);

    show(std::nullopt)->closeButtonPressed();
    EXPECT_EQ(*environment.lastParameters("kalAds_closedAds"),
              (DEDIzurarove::Parameters{{"sendingApp", "org.calvaro.Calvaro"}, {"kalAdId", "unknown"},
                                        {"countKalAdsPresented", int64_t{5}}}));
    EXPECT_EQ(std::count(environment.events().begin(), environment.events().end(), "kalAds_presented"), 5);
}

// Pages and pictures of the video row and of the house ad, through the
// renderer the launcher uses; the pictures land in CALVARO_PAGES_DIR when
// it names a folder, for a look by eye.
TEST(NewScreenPictures, VideoRowAndHouseAdRenderAtDeviceSize) {
    ScreenTestEnvironment environment;
    foundation::UserDefaults::standard().set(DsgvoManager::isYoutubeDsgvoAcceptedKey, true);
    const char* keep = std::getenv("CALVARO_PAGES_DIR");
    const fs::path folder = keep && *keep ? fs::path(keep) : environment.home() / "pages";
    fs::create_directories(folder);
    auto window = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    auto root = std::make_shared<ui::ViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    registerSolutionRowNibs();
    auto row = std::static_pointer_cast<VideoCollectionTableViewCell>(ui::Nib::loadView(VideoCollectionTableViewCell::nibName));
    row->setFrame(ui::Rect(0, 80, 390, VideoCollectionTableViewCell::rowHeight()));
    row->videoUrlStringArray = {std::string(VideoCollectionViewCell::watchPrefix) + "calvaroEN01&t=90s",
                                std::string(VideoCollectionViewCell::shortsPrefix) + "calvaroEN02"};
    row->reloadData();
    root->view()->addSubview(row);
    row->videoCollectionView()->visibleCells();
    environment.executor().runUntilIdle();  // the players report ready
    auto picture = [&](const std::string& name) {
        const fs::path page = folder / (name + ".html");
        std::ofstream(page) << web::HtmlPage::ofWindow(*window);
        std::string error;
        ASSERT_TRUE(web::Chromium::screenshot(web::Chromium::fileUrl(page), folder / (name + ".png"), 390, 844, 2.0, error))
            << error;
        EXPECT_GT(fs::file_size(folder / (name + ".png")), 4000u);
    };
    picture("video_row");
    EXPECT_NE(web::HtmlPage::ofWindow(*window).find("data-video=\"calvaroEN01\""), std::string::npos);
    row->lockVideos();
    picture("video_row_locked");
    auto ad = std::make_shared<KalAdsViewController>();
    ad->currentAd = KalAdData{"ad_math_suite", "https://apps.example.org/mathsuite", "30"};
    root->present(ad, false);
    environment.executor().runUntilIdle();
    EXPECT_EQ(ad->discountButton()->title(), "Grab your 30% discount now");
    EXPECT_EQ(ad->adImageView()->image()->name(), "ad_math_suite_en");
    picture("house_ad");
}

}  // namespace
