#include <gtest/gtest.h>

#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "ScreenTestEnvironment.h"
#include "platform/kit/TabsController.h"
#include "platform/net/FakeNetwork.h"
#include "platform/ui/Application.h"

namespace {

class ScreenUtilitiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = std::make_shared<ui::Window>();
        controller_ = std::make_shared<ui::ViewController>();
        window_->setRootViewController(controller_);
        window_->makeKeyAndVisible();
        setInternetCheckNetwork(network_);
    }
    void TearDown() override { setInternetCheckNetwork(nullptr); }

    std::shared_ptr<ui::AlertController> alert() const {
        return std::dynamic_pointer_cast<ui::AlertController>(controller_->presentedViewController());
    }
    std::vector<std::string> actionTitles() const {
        std::vector<std::string> titles;
        if (auto shown = alert())
            for (const auto& action : shown->actions()) titles.push_back(action->title());
        return titles;
    }

    ScreenTestEnvironment environment_;
    std::shared_ptr<net::FakeNetwork> network_ = std::make_shared<net::FakeNetwork>();
    std::shared_ptr<ui::Window> window_;
    std::shared_ptr<ui::ViewController> controller_;
};

TEST_F(ScreenUtilitiesTest, AlertsGetOKOnlyWithoutActions) {
    presentAlert(*controller_, "Title", std::nullopt, {}, ui::AlertControllerStyle::alert);
    EXPECT_EQ(actionTitles(), std::vector<std::string>{"OK"});
    ASSERT_TRUE(alert()->choose("OK"));
    environment_.executor().runUntilIdle();

    presentAlert(*controller_, std::nullopt, "Message",
                 {std::make_shared<ui::AlertAction>("Low", ui::AlertActionStyle::defaultStyle),
                  std::make_shared<ui::AlertAction>("High", ui::AlertActionStyle::cancel)},
                 ui::AlertControllerStyle::actionSheet);
    EXPECT_EQ(actionTitles(), (std::vector<std::string>{"Low", "High"}));
}

TEST_F(ScreenUtilitiesTest, InternetCheckCountsAnyHttpAnswer) {
    struct Case {
        const char* name;
        int status;
        bool transportError;
        bool withFailure;
        bool succeeds;
    } cases[] = {
        {"ok", 200, false, true, true},
        {"server error", 500, false, false, true},
        {"refused, with failure action", 0, true, true, false},
        {"refused, without failure action", 0, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        net::FakeNetwork::Reply reply;
        reply.statusCode = c.status;
        if (c.transportError) reply.error = net::Error{net::Error::kCannotConnect, "refused"};
        network_->enqueueReply(reply);
        int successes = 0, failures = 0;
        checkInternetConnection(
            *controller_, [&] { ++successes; },
            c.withFailure ? std::function<void()>([&] { ++failures; }) : std::function<void()>());
        environment_.executor().runUntilIdle();
        EXPECT_EQ(successes, c.succeeds ? 1 : 0);
        if (c.succeeds) {
            EXPECT_FALSE(alert());
            continue;
        }
        ASSERT_TRUE(alert());
        EXPECT_EQ(alert()->alertTitle(), "No internet connection");
        EXPECT_EQ(actionTitles(), std::vector<std::string>{"OK"});
        ASSERT_TRUE(alert()->choose("OK"));
        environment_.executor().runUntilIdle();
        EXPECT_EQ(failures, c.withFailure ? 1 : 0);
    }
    ASSERT_EQ(network_->requests().size(), 4u);
    EXPECT_EQ(network_->requests()[0].url, internetCheckAddress());
}

TEST_F(ScreenUtilitiesTest, RateAppOpensTheRunningApplicationsPage) {
    // Before the application list is loaded there is no record: the alert.
    rateApp(*controller_);
    EXPECT_EQ(actionTitles(), std::vector<std::string>{"OK"});
    ASSERT_TRUE(alert()->choose("OK"));
    environment_.executor().runUntilIdle();
    EXPECT_TRUE(ui::Application::shared().openedURLs().empty());

    RemoteConfigManager::shared().loadApps(*environment_.remoteConfig());
    rateApp(*controller_);
    EXPECT_FALSE(alert());
    EXPECT_EQ(ui::Application::shared().openedURLs(),
              std::vector<std::string>{"https://apps.example.org/calvaro-pro/rate"});
    EXPECT_EQ(environment_.events(), std::vector<std::string>{"Tapped Rating in Menu"});
}

}  // namespace
