#include <gtest/gtest.h>

#include <sstream>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/AppNavigationDrawerController.h"
#include "Calvaro/screens/AppPageTabBarController.h"
#include "Calvaro/screens/AppToolbarController.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "ScreenTestEnvironment.h"
#include "app/CalvaroMain.h"
#include "app/Launcher.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/net/FakeNetwork.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"

namespace {

class StartupTest : public ::testing::Test {
protected:
    void launch() {
        ASSERT_TRUE(ui::Application::shared().launch(makeCalvaroAppDelegate()));
        driver_.settle();
    }

    AppNavigationDrawerController& drawer() {
        auto* drawer = dynamic_cast<AppNavigationDrawerController*>(
            ui::Application::shared().keyWindow()->rootViewController().get());
        EXPECT_NE(drawer, nullptr);
        return *drawer;
    }

    static std::optional<bool> flag(const char* key) { return foundation::UserDefaults::standard().boolValue(key); }
    // A start after the tour and, unless `consented` is false, the consent.
    void launchReturning(bool consented = true) {
        foundation::UserDefaults::standard().set(OnboardingManager::isOnboardingFinishedKey, true);
        if (consented) foundation::UserDefaults::standard().set(DsgvoManager::isDsgvoAcceptedKey, true);
        launch();
    }

    ScreenTestEnvironment environment_;
    ui::Driver driver_;
};

TEST_F(StartupTest, FirstStartShowsTheTourUnderTheConsentThenNeitherAgain) {
    launch();
    auto& root = drawer();
    auto tour = std::dynamic_pointer_cast<OnboardViewController>(root.presentedViewController());
    ASSERT_TRUE(tour && std::dynamic_pointer_cast<ui::AlertController>(tour->presentedViewController()));
    expectGolden("first_start", ui::Snapshot::ofKeyWindow());
    EXPECT_EQ(CalcManager::shared().calculations().size(), 1u) << "the example exercise is seeded";

    ASSERT_TRUE(driver_.answerAlert("Accept")) << driver_.lastError();
    EXPECT_EQ(flag(DsgvoManager::isDsgvoAcceptedKey), true);
    EXPECT_FALSE(flag(OnboardingManager::isOnboardingFinishedKey).value_or(false));
    for (int page = 0; page < 5; ++page)
        ASSERT_TRUE(driver_.tap(OnboardViewController::advanceButtonIdentifier)) << driver_.lastError();
    EXPECT_EQ(flag(OnboardingManager::isOnboardingFinishedKey), true);
    EXPECT_FALSE(root.presentedViewController());
    expectGolden("calculate", ui::Snapshot::ofKeyWindow());

    environment_.restart();
    launch();
    EXPECT_FALSE(drawer().presentedViewController());
    expectGolden("second_start", ui::Snapshot::ofKeyWindow());
}

TEST_F(StartupTest, ConsentAloneIsShownOverTheDrawer) {
    launchReturning(false);
    EXPECT_TRUE(std::dynamic_pointer_cast<ui::AlertController>(drawer().presentedViewController()));
}

TEST_F(StartupTest, MenuButtonLogsAndTogglesTheDrawer) {
    launchReturning();
    ASSERT_TRUE(driver_.tap(AppToolbarController::menuButtonIdentifier)) << driver_.lastError();
    EXPECT_TRUE(drawer().isLeftViewOpened());
    EXPECT_EQ(environment_.events(), std::vector<std::string>{"tapped_menu_button"});
    expectGolden("menu_open", ui::Snapshot::ofKeyWindow());

    auto toolbar = std::dynamic_pointer_cast<AppToolbarController>(drawer().rootViewController());
    ASSERT_TRUE(toolbar);
    toolbar->menuButton()->tap();
    EXPECT_FALSE(drawer().isLeftViewOpened());

    // While a calculation runs the tap is logged but the drawer stays.
    isCalculating = true;
    toolbar->menuButton()->tap();
    isCalculating = false;
    EXPECT_FALSE(drawer().isLeftViewOpened());
    EXPECT_EQ(environment_.events().size(), 3u);
}

TEST_F(StartupTest, EachDelegateBuildsItsOwnControllerTree) {
    launchReturning();
    auto toolbar = std::dynamic_pointer_cast<AppToolbarController>(drawer().rootViewController());
    ASSERT_TRUE(toolbar);
    auto tabs = std::dynamic_pointer_cast<AppPageTabBarController>(toolbar->rootViewController());
    ASSERT_TRUE(tabs);
    // A throw-away delegate builds a fresh tree; one delegate keeps its own.
    AppDelegate fresh;
    const auto& first = fresh.appToolbarController();
    EXPECT_EQ(fresh.appToolbarController(), first);
    EXPECT_NE(first, toolbar);
    EXPECT_NE(fresh.calculateViewController(), tabs->viewControllers()[0]);
    EXPECT_FALSE(fresh.window());
}

TEST_F(StartupTest, EveryActivationFetches) {
    host::DEDRemoteConfig::Configuration configuration;
    configuration.fetchURL = "http://127.0.0.1:1/remote-config";
    auto network = std::make_shared<net::FakeNetwork>();
    configuration.network = network;
    auto remote = std::make_shared<host::DEDRemoteConfig>(configuration);
    remote->setDefaultsFromPlistFileName("RemoteConfigDefaults");
    host::DEDRemoteConfig::setShared(remote);
    network->enqueueStatus(503);
    network->enqueueStatus(503);

    std::vector<std::string> menus;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        "didLoadMenu", [&](const foundation::Notification& n) { menus.push_back(n.name); });
    launch();
    EXPECT_EQ(network->requests().size(), 1u);
    // Launch loaded the defaults once; the failed fetch reloaded them.
    EXPECT_EQ(menus.size(), 2u);
    ui::Application::shared().resignActive();
    ui::Application::shared().becomeActive();
    driver_.settle();
    EXPECT_EQ(network->requests().size(), 2u);
}


// The launcher's demonstration must play on a fresh data root and again on the
// same one, where neither the consent nor the tour is shown any more.
TEST(Demonstration, PlaysOnAFreshAndOnAUsedDataRoot) {
    ScreenTestEnvironment environment;
    auto play = [&](std::ostringstream& out, std::ostringstream& err) {
        std::vector<std::string> args{"calvaro", "--home", environment.home().string()};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        app::LaunchHooks hooks{makeCalvaroAppDelegate, calvaroDemoScript, {}};
        return app::runCalvaro(static_cast<int>(argv.size()), argv.data(), hooks, out, err);
    };
    std::ostringstream first, second, err;
    ASSERT_EQ(play(first, err), 0) << err.str();
    EXPECT_NE(first.str().find("alert \"Privacy Policy\""), std::string::npos) << first.str();
    EXPECT_NE(first.str().find("drawer open"), std::string::npos) << first.str();

    EXPECT_NE(first.str().find("math \"f\\left(x\\right) = 2 \\cdot \\log_{3}\\left(2 x -1\\right) + 1\""),
              std::string::npos)
        << first.str();

    environment.restart();
    ASSERT_EQ(play(second, err), 0) << err.str();
    EXPECT_EQ(second.str().find("presented"), std::string::npos) << second.str();
    EXPECT_NE(second.str().find("drawer open"), std::string::npos) << second.str();

    // The fifth start shows the rating prompt, which the demonstration puts off.
    for (int start = 3; start <= 5; ++start) {
        std::ostringstream out;
        environment.restart();
        ASSERT_EQ(play(out, err), 0) << "start " << start << ": " << err.str();
        EXPECT_EQ(out.str().find("[RatingViewController]") != std::string::npos, start == 5) << out.str();
        EXPECT_NE(out.str().find("tab \"Result\" selected"), std::string::npos) << out.str();
    }
    EXPECT_EQ(CalcManager::shared().calculations().size(), 6u) << "the example and one exercise per start";
}

}  // namespace
