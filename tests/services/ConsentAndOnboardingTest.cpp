#include <gtest/gtest.h>

#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/KalAdData.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/URLOpening.h"
#include "TemporaryHome.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Traits.h"

namespace {

class ServicesUiTest : public ::testing::Test {
protected:
    void SetUp() override { presenter_ = std::make_shared<ui::ViewController>(); }
    void TearDown() override { executor_.runUntilIdle(); }

    std::shared_ptr<ui::AlertController> presentedAlert() const {
        return std::dynamic_pointer_cast<ui::AlertController>(presenter_->presentedViewController());
    }

    static std::vector<std::string> titles(const ui::AlertController& alert) {
        std::vector<std::string> result;
        for (const auto& action : alert.actions()) result.push_back(action->title());
        return result;
    }

    static std::optional<bool> stored(const char* key) {
        return foundation::UserDefaults::standard().boolValue(key);
    }

    TemporaryHome home_{"calvaro-services-"};
    dispatch::ManualExecutor executor_;
    std::shared_ptr<ui::ViewController> presenter_;
};

TEST_F(ServicesUiTest, PrivacyConsentIsQueuedAndStoredBeforeTheCompletion) {
    std::optional<bool> seenByCompletion;
    DsgvoManager::showPrivacyConsent(presenter_, [&] { seenByCompletion = stored(DsgvoManager::isDsgvoAcceptedKey); });
    EXPECT_FALSE(presentedAlert()) << "the dialog is queued, not shown on the caller's stack";
    executor_.runUntilIdle();
    auto alert = presentedAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->alertTitle(), "Privacy Policy");
    EXPECT_EQ(titles(*alert), std::vector<std::string>{"Accept"});
    ASSERT_TRUE(alert->choose("Accept"));
    executor_.runUntilIdle();
    EXPECT_EQ(seenByCompletion, true);
    EXPECT_FALSE(presenter_->presentedViewController());

    // Accepted already: shown again on request.
    DsgvoManager::showPrivacyConsent(presenter_);
    executor_.runUntilIdle();
    EXPECT_TRUE(presentedAlert());
}

TEST_F(ServicesUiTest, VideoConsentStoresEachAnswer) {
    struct Case {
        const char* answer;
        bool stored;
        const char* continuation;
    } cases[] = {{"Accept", true, "accepted"}, {"Decline", false, "declined"}, {"Accept", true, "accepted"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        std::string ran;
        std::optional<bool> seen;
        DsgvoManager::showYoutubeConsent(
            presenter_,
            [&] {
                ran = "accepted";
                seen = stored(DsgvoManager::isYoutubeDsgvoAcceptedKey);
            },
            [&] {
                ran = "declined";
                seen = stored(DsgvoManager::isYoutubeDsgvoAcceptedKey);
            });
        executor_.runUntilIdle();
        auto alert = presentedAlert();
        ASSERT_TRUE(alert);
        EXPECT_EQ(titles(*alert), (std::vector<std::string>{"Accept", "Decline"}));
        ASSERT_TRUE(alert->choose(c.answer));
        executor_.runUntilIdle();
        EXPECT_EQ(ran, c.continuation);
        EXPECT_EQ(seen, c.stored);
    }
}

TEST_F(ServicesUiTest, PageItemsTitlesAndPlaceholders) {
    OnboardingManager manager;
    EXPECT_TRUE(manager.pageItems({}).empty());

    auto one = manager.pageItems({{"", "img", "", "plain text"}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].advanceButtonTitle, "Let's start");
    EXPECT_EQ(one[0].description, "plain text");

    auto two = manager.pageItems({{"", "a", "", "§appname and §appname"}, {"", "b", "", "end"}});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].description, "\"Calvaro\" and \"Calvaro\"");
    EXPECT_EQ(two[0].advanceButtonTitle, "Next");
    EXPECT_EQ(two[1].advanceButtonTitle, "Let's start");

    const auto& main = OnboardingManager::mainTourPages();
    ASSERT_EQ(main.size(), 5u);
    EXPECT_EQ(main[4].imageName, "main_onboarding_4");
    EXPECT_EQ(OnboardingManager::videoTourPages()[2].imageName, "onboarding_youtube_3");
}

TEST_F(ServicesUiTest, AdvanceButtonStyleFollowsTheInterfaceStyle) {
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        ui::TraitCollection::setUserInterfaceStyle(dark ? ui::InterfaceStyle::dark : ui::InterfaceStyle::light);
        auto appearance = OnboardingManager().appearanceConfiguration();
        ui::Button button;
        appearance.advanceButtonStyling(button);
        EXPECT_EQ(button.titleColor(), dark ? ui::Color::rgb(1.0, 0.63, 0.25) : ui::Color::rgb(0.77, 0.24, 0.0));
        EXPECT_EQ(button.layer().shadowOpacity, dark ? 0.0 : 0.7);
    }
    ui::TraitCollection::reset();
}

TEST_F(ServicesUiTest, TourWalksItsPagesThenFinishes) {
    OnboardingManager manager;
    int completions = 0;
    auto tour = std::make_shared<OnboardViewController>(
        manager.pageItems(OnboardingManager::mainTourPages()), manager.appearanceConfiguration(),
        [&] { OnboardingManager::finishOnboarding([&] { ++completions; }); });
    tour->presentFrom(*presenter_, false);
    ASSERT_EQ(presenter_->presentedViewController(), tour);
    for (int i = 0; i < 4; ++i) tour->advance();
    EXPECT_EQ(tour->currentPageIndex(), 4u);
    EXPECT_FALSE(stored(OnboardingManager::isOnboardingFinishedKey).has_value());
    tour->advance();
    tour->advance();  // a late second tap finishes nothing twice
    executor_.runUntilIdle();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(stored(OnboardingManager::isOnboardingFinishedKey), true);
    EXPECT_FALSE(presenter_->presentedViewController());
}

TEST_F(ServicesUiTest, AdLinksOpenOnlyValidURLsOnTheMainQueue) {
    struct Case {
        const char* link;
        bool valid;
    } cases[] = {{"https://apps.example.org/x", true}, {"calvaro://open", true}, {"not a url", false},
                 {"", false}, {"://missing-scheme", false}, {"https://with space", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        EXPECT_EQ(services::isValidURL(c.link), c.valid);
        ui::Application::reset();
        ui::Application::shared().registerURLScheme("calvaro");
        KalAdData{"img", c.link, "10"}.openLink();
        EXPECT_TRUE(ui::Application::shared().openedURLs().empty());
        executor_.runUntilIdle();
        EXPECT_EQ(ui::Application::shared().openedURLs().size(), c.valid ? 1u : 0u);
    }
}

}  // namespace
