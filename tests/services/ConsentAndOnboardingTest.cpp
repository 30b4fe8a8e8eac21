#include <gtest/gtest.h>

#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "TemporaryHome.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/AlertController.h"

namespace {

class ServicesUiTest : public ::testing::Test {
protected:
    void SetUp() override { presenter_ = std::make_shared<ui::ViewController>(); }
    void TearDown() override { executor_.runUntilIdle(); }

    std::shared_ptr<ui::AlertController> presentedAlert() const {
        return std::dynamic_pointer_cast<ui::AlertController>(presenter_->presentedViewController());
    }

    static std::optional<bool> stored(const char* key) {
        return foundation::UserDefaults::standard().boolValue(key);
    }

    TemporaryHome home_{"services"};
    dispatch::ManualExecutor executor_;
    std::shared_ptr<ui::ViewController> presenter_;
};

TEST_F(ServicesUiTest, PrivacyConsentIsQueuedAndStoredBeforeTheCompletion) {
    std::optional<bool> seenByCompletion;
    DsgvoManager::showPrivacyConsent(presenter_, [&] { seenByCompletion = stored(DsgvoManager::isDsgvoAcceptedKey); });
    EXPECT_FALSE(presentedAlert()) << "the dialog is queued, not shown on the caller's stack";
    executor_.runUntilIdle();
    auto alert = presentedAlert();
    ASSERT_TRUE(alert && alert->choose("Accept"));
    executor_.runUntilIdle();
    EXPECT_EQ(seenByCompletion, true);
    EXPECT_FALSE(presenter_->presentedViewController());

    // Accepted already: shown again on request.
    DsgvoManager::showPrivacyConsent(presenter_);
    executor_.runUntilIdle();
    EXPECT_TRUE(presentedAlert());
}

TEST_F(ServicesUiTest, PageItemsTitlesAndPlaceholders) {
    OnboardingManager manager;
    EXPECT_TRUE(manager.pageItems({}).empty());

    auto two = manager.pageItems({{"", "a", "", "§appname and §appname"}, {"", "b", "", "end"}});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].description, "\"Calvaro\" and \"Calvaro\"");
    EXPECT_EQ(two[0].advanceButtonTitle, "Next");
    EXPECT_EQ(two[1].advanceButtonTitle, "Let's start");
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

}  // namespace
