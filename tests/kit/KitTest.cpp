#include <gtest/gtest.h>

#include <functional>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/kit/Buttons.h"
#include "platform/kit/NavigationDrawerController.h"
#include "platform/kit/TabsController.h"
#include "platform/kit/ToolbarController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "tests/support/SharedState.h"

namespace {

using Strings = std::vector<std::string>;

class Page : public ui::ViewController {
  public:
    Page(std::string name, std::shared_ptr<Strings> journal)
        : name_(std::move(name)), journal_(std::move(journal)) {}
    void viewDidLoad() override {
        auto label = std::make_shared<ui::Label>();
        label->setText(name_ + " page");
        view()->addSubview(label);
    }
    void viewWillAppear(bool) override { note("willAppear"); }
    void viewDidAppear(bool) override { note("didAppear"); }
    void viewWillDisappear(bool) override { note("willDisappear"); }
    void viewDidDisappear(bool) override { note("didDisappear"); }

  private:
    void note(const char* what) { journal_->push_back(name_ + "." + what); }
    std::string name_;
    std::shared_ptr<Strings> journal_;
};

// The frame the application builds: a drawer around a toolbar around tabs,
// with a menu on the left. The toolbar's menu button toggles the drawer.
class KitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetSharedState();
        calculate = std::make_shared<Page>("calc", journal);
        solution = std::make_shared<Page>("solution", journal);
        menu = std::make_shared<Page>("menu", journal);
        kit::tabItem(*calculate).setTitle("Input");
        kit::tabItem(*solution).setTitle("Result");
        kit::tabItem(*solution).setEnabled(false);
        tabs = std::make_shared<kit::TabsController>(
            std::vector<std::shared_ptr<ui::ViewController>>{calculate, solution}, 0);
        toolbar = std::make_shared<kit::ToolbarController>(tabs);
        drawer = std::make_shared<kit::NavigationDrawerController>(toolbar, menu);
        toolbar->loadViewIfNeeded();
        auto menuButton = std::make_shared<kit::IconButton>(kit::Icon::menu());
        menuButton->setAccessibilityIdentifier("menuButton");
        menuButton->addTarget(ui::ControlEvent::touchUpInside, [this](ui::Control&) {
            if (auto* d = kit::navigationDrawerController(*toolbar)) d->toggleLeftView(0);
        });
        toolbar->toolbar().setLeftViews({menuButton});
        toolbar->toolbar().setTitle("Calculate Title");
        window = std::make_shared<ui::Window>();
        window->setRootViewController(drawer);
        window->makeKeyAndVisible();
        journal->clear();
    }
    void TearDown() override { resetSharedState(); }

    dispatch::ManualExecutor executor;
    std::shared_ptr<Strings> journal = std::make_shared<Strings>();
    std::shared_ptr<Page> calculate, solution, menu;
    std::shared_ptr<kit::TabsController> tabs;
    std::shared_ptr<kit::ToolbarController> toolbar;
    std::shared_ptr<kit::NavigationDrawerController> drawer;
    std::shared_ptr<ui::Window> window;
    ui::Driver driver;
};

TEST_F(KitTest, OnlyTheSelectedTabAppearsAndSwitchingRunsBothSides) {
    // At launch the menu and the first page appeared, the second page did not.
    EXPECT_TRUE(calculate->isVisible() && menu->isVisible());
    EXPECT_FALSE(solution->isViewLoaded());
    EXPECT_EQ(kit::tabsController(*calculate), tabs.get());
    EXPECT_FALSE(driver.chooseTab("Result"));  // disabled
    tabs->select(1);  // programmatic selection ignores the enabled flag
    EXPECT_EQ(*journal, (Strings{"calc.willDisappear", "solution.willAppear", "calc.didDisappear",
                                 "solution.didAppear"}));
    EXPECT_TRUE(kit::tabItem(*solution).isSelected());
    EXPECT_FALSE(kit::tabItem(*calculate).isSelected());
    journal->clear();
    tabs->select(1);
    tabs->select(7);
    EXPECT_TRUE(journal->empty());
    EXPECT_TRUE(driver.chooseTab("0"));
    EXPECT_EQ(tabs->selectedIndex(), 0u);
}

// A disabled tab whose application says what makes it available is refused
// to the person in those words, by its name or by a tap on it; the script
// still reads the plain reason.
TEST_F(KitTest, ADisabledTabIsRefusedWithWhatMakesItAvailable) {
    EXPECT_FALSE(driver.chooseTab("Result"));
    EXPECT_EQ(driver.lastRefusal(), "the tab \"Result\" is disabled");
    kit::tabItem(*solution).setAccessibilityHint("Calculate first");
    const std::pair<const char*, std::function<bool()>> roads[] = {
        {"by name", [&] { return driver.chooseTab("Result"); }},
        {"by a tap", [&] { return driver.tap("Result"); }},
    };
    for (const auto& [road, refused] : roads) {
        SCOPED_TRACE(road);
        EXPECT_FALSE(refused());
        EXPECT_EQ(driver.lastRefusal(), "Calculate first");
        EXPECT_NE(driver.lastError().find("is disabled"), std::string::npos) << driver.lastError();
    }
}

TEST_F(KitTest, TabsDelegateMayRefuseAUserChoice) {
    struct Gate : kit::TabsControllerDelegate {
        bool allow = false;
        Strings calls;
        bool tabsControllerShouldSelect(kit::TabsController&, ui::ViewController&) override { return allow; }
        void tabsControllerDidSelect(kit::TabsController& tabs, ui::ViewController&) override {
            calls.push_back("did " + std::to_string(tabs.selectedIndex()));
        }
    } gate;
    tabs->setDelegate(&gate);
    kit::tabItem(*solution).setEnabled(true);
    EXPECT_TRUE(driver.tap("Result"));  // the tab item is a button
    EXPECT_EQ(tabs->selectedIndex(), 0u);
    gate.allow = true;
    EXPECT_TRUE(driver.tap("Result"));
    EXPECT_EQ(tabs->selectedIndex(), 1u);
    EXPECT_EQ(gate.calls, Strings{"did 1"});
    tabs->setDelegate(nullptr);
}

TEST_F(KitTest, MenuButtonTogglesTheDrawerAndTheDriverOpensIt) {
    struct Observer : kit::NavigationDrawerControllerDelegate {
        Strings calls;
        void navigationDrawerWillOpen(kit::NavigationDrawerController&) override { calls.push_back("willOpen"); }
        void navigationDrawerDidOpen(kit::NavigationDrawerController&) override { calls.push_back("didOpen"); }
        void navigationDrawerWillClose(kit::NavigationDrawerController&) override { calls.push_back("willClose"); }
        void navigationDrawerDidClose(kit::NavigationDrawerController&) override { calls.push_back("didClose"); }
    } observer;
    drawer->setDelegate(&observer);
    EXPECT_EQ(kit::navigationDrawerController(*menu), drawer.get());
    EXPECT_FALSE(driver.tap("menu page"));  // hidden while closed
    EXPECT_TRUE(driver.tap("menuButton"));
    EXPECT_TRUE(drawer->isLeftViewOpened());
    EXPECT_TRUE(driver.tap("menuButton"));
    EXPECT_TRUE(driver.openDrawer());
    EXPECT_TRUE(driver.openDrawer());  // already open: nothing more
    EXPECT_TRUE(driver.closeDrawer());
    EXPECT_EQ(observer.calls, (Strings{"willOpen", "didOpen", "willClose", "didClose", "willOpen", "didOpen",
                                       "willClose", "didClose"}));
    // A tap beside the open drawer closes it; the menu keeps to the drawer's width.
    EXPECT_FALSE(driver.tap(std::string("#") + kit::NavigationDrawerController::closeAreaIdentifier)) << "closed: nothing beside";
    ASSERT_TRUE(driver.openDrawer());
    ui::View* panel = menu->view()->superview();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->frame(), ui::Rect(0, 0, 280, window->frame().height()));
    EXPECT_TRUE(panel->clipsToBounds());
    EXPECT_EQ(menu->view()->frame().width(), 280);
    EXPECT_TRUE(driver.tap(std::string("#") + kit::NavigationDrawerController::closeAreaIdentifier)) << driver.lastError();
    EXPECT_FALSE(drawer->isLeftViewOpened());
    drawer->setDelegate(nullptr);
}

TEST_F(KitTest, DrawerTransitionReplacesTheRootTree) {
    auto fresh = std::make_shared<Page>("fresh", journal);
    std::weak_ptr<kit::ToolbarController> oldToolbar = toolbar;
    std::weak_ptr<Page> oldCalculate = calculate;
    bool done = false;
    drawer->transition(fresh, [&](bool finished) { done = finished; });
    EXPECT_TRUE(done);
    EXPECT_EQ(*journal,
              (Strings{"calc.willDisappear", "fresh.willAppear", "calc.didDisappear", "fresh.didAppear"}));
    EXPECT_EQ(kit::navigationDrawerController(*calculate), nullptr);
    // Once the test lets go, the old tree is gone.
    calculate.reset();
    solution.reset();
    tabs.reset();
    toolbar.reset();
    EXPECT_TRUE(oldToolbar.expired());
    EXPECT_TRUE(oldCalculate.expired());
}

}  // namespace
