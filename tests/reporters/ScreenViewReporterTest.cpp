#include "ReportersHarness.h"

#include "platform/kit/NavigationDrawerController.h"
#include "platform/kit/TabsController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Window.h"

namespace {

// A navigation stack as far as screen tracking sees it: the controller last
// pushed is shown in its place.
class NavigationController : public ui::ViewController, public ui::ContentContainer {
  public:
    explicit NavigationController(std::shared_ptr<ui::ViewController> root) { push(std::move(root)); }
    void push(std::shared_ptr<ui::ViewController> next) {
        transitionChild(top_, std::move(next), [this]() -> ui::View& { return *view(); }, {});
    }
    ui::ViewController* shownViewController() const override { return top_.get(); }

  private:
    std::shared_ptr<ui::ViewController> top_;
};

class ListViewController : public ui::ViewController {};
class DetailViewController : public ui::ViewController {};
class SettingsViewController : public ui::ViewController {};
class MenuViewController : public ui::ViewController {};
class ModalViewController : public ui::ViewController {};

// A drawer around tabs, the first tab a navigation stack.
struct Tree {
    std::shared_ptr<NavigationController> navigation =
        std::make_shared<NavigationController>(std::make_shared<ListViewController>());
    std::shared_ptr<SettingsViewController> settings = std::make_shared<SettingsViewController>();
    std::shared_ptr<kit::TabsController> tabs = std::make_shared<kit::TabsController>(
        std::vector<std::shared_ptr<ui::ViewController>>{navigation, settings});
    std::shared_ptr<kit::NavigationDrawerController> drawer =
        std::make_shared<kit::NavigationDrawerController>(tabs, std::make_shared<MenuViewController>());
    std::shared_ptr<ui::Window> window = std::make_shared<ui::Window>();

    void show() {
        window->setRootViewController(drawer);
        window->makeKeyAndVisible();
    }
};

TEST_F(ReportersTest, TheControllerOnTopOfTheTreeIsTheScreen) {
    startReporters();
    ui::Application::shared().becomeActive();
    Tree tree;
    auto modal = std::make_shared<ModalViewController>();
    modal->setModalPresentationStyle(ui::ModalPresentationStyle::fullScreen);
    struct Step {
        const char* what;
        std::function<void()> act;
        std::string screen, previous;
    };
    const std::vector<Step> steps = {
        {"launch: the drawer first, then what the tabs show", [&] { tree.show(); }, "ListViewController", ""},
        {"push on the stack", [&] { tree.navigation->push(std::make_shared<DetailViewController>()); },
         "DetailViewController", "ListViewController"},
        {"another tab", [&] { tree.tabs->select(1); }, "SettingsViewController", "DetailViewController"},
        {"a full-screen presentation", [&] { tree.drawer->present(modal, false); }, "ModalViewController",
         "SettingsViewController"},
        {"its dismissal", [&] { modal->dismiss(false); }, "SettingsViewController", "ModalViewController"},
    };
    std::optional<int64_t> previousID;
    for (const auto& step : steps) {
        forgetEvents();
        step.act();
        auto views = events({"_vs"});
        ASSERT_FALSE(views.empty()) << step.what;
        const auto& last = views.back();
        EXPECT_EQ(text(last, "_sc"), step.screen) << step.what;
        if (!previousID) {
            // The first screen of the run has no previous one.
            EXPECT_EQ(text(views.front(), "_sc"), "NavigationDrawerController");
            EXPECT_FALSE(integer(views.front(), "_pi"));
        } else {
            EXPECT_EQ(integer(views.front(), "_pi"), previousID) << step.what;
        }
        // The screen left is the first one's previous screen (a container can
        // be the screen for a moment while its children change).
        EXPECT_EQ(text(views.front(), "_pc"), step.previous) << step.what;
        EXPECT_EQ(last.origin, "auto");
        previousID = integer(last, "_si");
    }
    // Screens keep their id: coming back to a screen reports the id it had.
    tree.tabs->select(0);
    tree.tabs->select(1);
    auto views = events({"_vs"});
    EXPECT_EQ(integer(views.back(), "_si"), previousID);

    // Appearing again while on screen logs 31006 and no event.
    forgetEvents();
    takeCodes();
    MSRScreenViewReporter::sharedInstance()->viewControllerDidAppear(*tree.settings);
    EXPECT_TRUE(events({"_vs"}).empty());
    EXPECT_EQ(count(takeCodes(), 31006), 1u);
}

TEST_F(ReportersTest, TheSwitchReadsTheInfoPlistAsABoolean) {
    struct Case {
        std::optional<std::string> value;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {std::nullopt, true},
        {"<false/>", false},
        {"<true/>", true},
        {"<integer>0</integer>", false},
        {"<string>NO</string>", false},
        {"<string>no</string>", false},
        {"<string>0</string>", false},
        {"<string>YES</string>", true},
        {"<dict/>", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MSRIsScreenReportingEnabled(*bundleWithSwitch(c.value)), c.enabled)
            << c.value.value_or("none");
}

TEST_F(ReportersTest, SwitchedOffThereAreNoHooksAndScreenViewEventsStillCount) {
    startReporters("<string>NO</string>");
    ui::Application::shared().becomeActive();
    Tree tree;
    tree.show();
    EXPECT_TRUE(events({"_vs"}).empty()) << "no hooks";

    MSRAnalytics::setScreenName("Named", std::nullopt);
    EXPECT_EQ(count(takeCodes(), 31000), 1u);

    DEDIzurarove::logEventWithName("screen_view",
                                   DEDIzurarove::Parameters{{"screen_name", foundation::Value("Result")},
                                                            {"screen_class", foundation::Value("ResultView")},
                                                            {"level", foundation::Value(int64_t{3})}});
    auto views = events({"_vs"});
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].origin, "app");
    EXPECT_EQ(text(views[0], "_sn"), "Result");
    EXPECT_EQ(text(views[0], "_sc"), "ResultView");
    EXPECT_EQ(integer(views[0], "_mst"), 1);
    EXPECT_EQ(integer(views[0], "level"), 3);
    EXPECT_FALSE(views[0].parameters.count("screen_name"));

    // The decoration logs one "screen_view" per appearance.
    auto decorated = std::make_shared<DetailViewController>();
    logScreenOnAppear(
        *decorated, "Decorated", "DecoratedView",
        {{"screen_name", foundation::Value("overridden")}, {"from", foundation::Value("card")}});
    tree.drawer->present(decorated, false);
    decorated->dismiss(false);
    tree.drawer->present(decorated, false);
    views = events({"_vs"});
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(text(views[2], "_sn"), "Decorated");
    EXPECT_EQ(text(views[2], "from"), "card");
    EXPECT_EQ(integer(views[2], "_mst"), 1);
}

}  // namespace

namespace {

// Another window made key over the tree, then the tree's window again: that
// window's controllers do not appear again, so only the resignation of the
// other window brings their screen back.
TEST_F(ReportersTest, KeyWindowChangesAndTheObserverFollowTheScreens) {
    startReporters();
    ui::Application::shared().becomeActive();
    auto reporter = MSRScreenViewReporter::sharedInstance();
    std::vector<std::string> told;
    auto observer = std::make_shared<MSRScreenViewReporterDelegate>();
    observer->viewControllerDidAppear = [&](ui::ViewController& controller, bool tracked) {
        told.push_back("appear " + MSRScreenViewReporter::MSRShortClassName(controller) + (tracked ? " tracked" : ""));
    };
    observer->viewControllerDidDisappear = [&](ui::ViewController& controller) {
        told.push_back("disappear " + MSRScreenViewReporter::MSRShortClassName(controller));
    };
    reporter->setVuzedezoPerfDelegate(observer);
    auto other = std::make_shared<MSRScreenViewReporterDelegate>(*observer);
    auto lacking = std::make_shared<MSRScreenViewReporterDelegate>();
    lacking->viewControllerDidAppear = observer->viewControllerDidAppear;
    takeCodes();
    reporter->setVuzedezoPerfDelegate(other);
    reporter->setVuzedezoPerfDelegate(lacking);
    EXPECT_EQ(takeCodes(), (std::vector<int64_t>{31016, 31019}));
    EXPECT_EQ(reporter->vuzedezoPerfDelegate(), observer);

    Tree tree;
    tree.show();
    auto modal = std::make_shared<ModalViewController>();
    auto overlay = std::make_shared<ui::Window>();
    overlay->setRootViewController(modal);
    overlay->makeKeyAndVisible();
    forgetEvents();
    tree.window->makeKeyAndVisible();
    auto views = events({"_vs"});
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(text(views[0], "_sc"), "ListViewController");
    EXPECT_EQ(text(views[0], "_pc"), "ModalViewController");
    EXPECT_NE(std::find(told.begin(), told.end(), "appear ModalViewController tracked"), told.end());

    // Cleared, the observer hears nothing more.
    reporter->setVuzedezoPerfDelegate(nullptr);
    told.clear();
    tree.navigation->push(std::make_shared<DetailViewController>());
    EXPECT_TRUE(told.empty());
    EXPECT_EQ(reporter->vuzedezoPerfDelegate(), nullptr);
}

// What another party left under the reporter's keys is reported, dropped and
// replaced: the screens are tracked as if it had never been there.
TEST_F(ReportersTest, ForeignAssociatedObjectsAreReportedAndReplaced) {
    startReporters();
    ui::Application::shared().becomeActive();
    Tree tree;
    tree.window->associatedObject("msrStack") = std::make_shared<int>(1);
    tree.navigation->associatedObject("msrScreen") = std::make_shared<std::string>("not a screen");
    takeCodes();
    tree.show();
    const auto codes = takeCodes();
    EXPECT_GE(count(codes, 38000), 1u);
    EXPECT_GE(count(codes, 36000), 1u);
    auto views = events({"_vs"});
    ASSERT_FALSE(views.empty());
    EXPECT_EQ(text(views.back(), "_sc"), "ListViewController");
    // Once replaced, nothing more is found.
    tree.navigation->push(std::make_shared<DetailViewController>());
    const auto later = takeCodes();
    EXPECT_EQ(count(later, 36000) + count(later, 38000), 0u);
}

}  // namespace
