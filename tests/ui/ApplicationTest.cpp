#include <thread>

#include "UiTestSupport.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Snapshot.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

namespace {

using Strings = std::vector<std::string>;

class RecordingDelegate : public ui::ApplicationDelegate {
  public:
    explicit RecordingDelegate(Strings& calls) : calls_(calls) {}
    bool didFinishLaunching(ui::Application&, const foundation::Value::Dictionary&) override {
        calls_.push_back("launch");
        return true;
    }
    void applicationDidBecomeActive(ui::Application&) override { calls_.push_back("active"); }
    void applicationWillResignActive(ui::Application&) override { calls_.push_back("resign"); }
    void applicationDidEnterBackground(ui::Application&) override { calls_.push_back("background"); }
    void applicationWillEnterForeground(ui::Application&) override { calls_.push_back("foreground"); }
    void applicationWillTerminate(ui::Application&) override { calls_.push_back("terminate"); }

  private:
    Strings& calls_;
};

TEST_F(UiTest, LifeCycleCallsTheDelegateThenPostsEachNotificationOnce) {
    Strings calls;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        "", [&](const foundation::Notification& n) {
            if (n.name.rfind("UIApplication", 0) == 0 && n.object == &ui::Application::shared())
                calls.push_back(n.name.substr(13, n.name.size() - 13 - 12));
        });
    auto& app = ui::Application::shared();
    EXPECT_TRUE(app.launch(std::make_shared<RecordingDelegate>(calls)));
    app.becomeActive();  // already active: nothing
    app.enterBackground();
    app.becomeActive();
    app.terminate();
    EXPECT_EQ(calls, (Strings{"launch", "DidFinishLaunching", "active", "DidBecomeActive", "resign",
                              "WillResignActive", "background", "DidEnterBackground", "foreground",
                              "WillEnterForeground", "active", "DidBecomeActive", "resign",
                              "WillResignActive", "terminate", "WillTerminate"}));
}

// An application that declares scenes connects its main scene after the
// launch, from the main queue (an observer the launch's work adds hears of
// it), and becomes active after that; one without scenes connects none.
TEST_F(UiTest, TheLaunchConnectsTheMainSceneOfAnApplicationWithScenes) {
    for (const bool declares : {false, true}) {
        SCOPED_TRACE(declares ? "with scenes" : "without scenes");
        resetSharedState();
        auto& app = ui::Application::shared();
        Strings seen;
        auto token = foundation::NotificationCenter::defaultCenter().addObserver(
            "", [&](const foundation::Notification& n) {
                if (n.name == ui::Scene::willConnectNotification)
                    seen.push_back(n.object == &app.mainScene() ? "main scene" : "another scene");
                if (n.name == ui::Application::didFinishLaunchingNotification) seen.push_back("launched");
                if (n.name == ui::Application::didBecomeActiveNotification) seen.push_back("active");
            });
        app.setDeclaresScenes(declares);
        EXPECT_TRUE(app.launch(std::make_shared<ui::ApplicationDelegate>()));
        EXPECT_EQ(seen, declares ? (Strings{"launched"}) : (Strings{"launched", "active"}));
        executor.runUntilIdle();
        EXPECT_EQ(seen,
                  declares ? (Strings{"launched", "main scene", "active"}) : (Strings{"launched", "active"}));
    }
}

TEST_F(UiTest, UrlsOpenOnlyForKnownSchemes) {
    auto& app = ui::Application::shared();
    const std::pair<std::string, bool> cases[] = {
        {"HTTPS://example.com", true}, {"http://example.com", false}, {"calvaro://open", false},
        {"no scheme", false},          {":broken", false},
    };
    for (const auto& [url, expected] : cases) EXPECT_EQ(app.canOpenURL(url), expected) << url;
    app.registerURLScheme("Calvaro");
    EXPECT_TRUE(app.open("calvaro://open"));
    EXPECT_FALSE(app.open("itms-apps://x"));
    EXPECT_EQ(app.openedURLs(), Strings{"calvaro://open"});
    EXPECT_NE(ui::Snapshot::ofKeyWindow().find("opened \"calvaro://open\""), std::string::npos);
}

TEST_F(UiTest, KeyWindowIsTheFirstSceneWindowMadeKey) {
    auto& app = ui::Application::shared();
    EXPECT_EQ(app.keyWindow(), nullptr);
    EXPECT_EQ(ui::Snapshot::ofKeyWindow(), "no key window\n");
    auto first = std::make_shared<ui::Window>();
    auto second = std::make_shared<ui::Window>();
    first->makeKeyAndVisible();
    second->makeKeyAndVisible();
    EXPECT_EQ(app.keyWindow(), second.get());
    EXPECT_FALSE(first->isKeyWindow());
    EXPECT_EQ(app.mainScene().windows().front(), first);
}

TEST_F(UiTest, SnapshotLeavesOutHiddenAndTransparentViews) {
    auto root = std::make_shared<ui::ViewController>();
    auto window = showInWindow(root);
    auto panel = std::make_shared<ui::View>();
    auto inside = std::make_shared<ui::Label>();
    inside->setText("inside");
    panel->addSubview(inside);
    root->view()->addSubview(panel);
    auto faded = std::make_shared<ui::Label>();
    faded->setText("faded");
    faded->setAlpha(0);
    root->view()->addSubview(faded);
    auto spinner = std::make_shared<ui::ActivityIndicatorView>(ui::ActivityIndicatorView::Style::large);
    root->view()->addSubview(spinner);
    EXPECT_EQ(ui::Snapshot::ofKeyWindow(),
              "window 390x844 light\n  [ViewController]\n    label \"inside\"\n");
    panel->setHidden(true);
    spinner->startAnimating();
    ui::TraitCollection::setUserInterfaceStyle(ui::InterfaceStyle::dark);
    EXPECT_EQ(ui::Snapshot::ofKeyWindow(), "window 390x844 dark\n  [ViewController]\n    spinner\n");
}

TEST_F(UiTest, NestedPresentationsAreDismissedTogether) {
    auto journal = std::make_shared<Strings>();
    auto root = std::make_shared<JournalController>("root", journal);
    auto window = showInWindow(root);
    auto a = std::make_shared<JournalController>("a", journal);
    auto b = std::make_shared<JournalController>("b", journal);
    ASSERT_TRUE(root->present(a, false));
    ASSERT_TRUE(a->present(b, false));
    EXPECT_EQ(window->topViewController(), b.get());
    journal->clear();
    bool done = false;
    root->dismiss(false, [&] { done = true; });
    EXPECT_TRUE(done);
    EXPECT_EQ(*journal, (Strings{"b.willDisappear", "b.didDisappear", "a.willDisappear", "a.didDisappear"}));
    EXPECT_EQ(window->topViewController(), root.get());
    EXPECT_EQ(window->subviews().size(), 1u);  // only the root's view is left
}

TEST_F(UiTest, ControlsSendActionsOnlyWhenTheUserActs) {
    ui::SegmentedControl control;
    control.insertSegment("log", 0);
    control.insertSegment(ui::Image::named("clv_ui_b"), 1);
    int changes = 0;
    control.addTarget(ui::ControlEvent::valueChanged, [&](ui::Control&) { ++changes; });
    control.setSelectedSegmentIndex(1);
    control.selectSegment(1);  // no change
    control.selectSegment(0);
    control.selectSegment(5);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(control.selectedSegmentIndex(), 0);
    // Images sit two levels below the control.
    EXPECT_NE(dynamic_cast<ui::ImageView*>(control.subviews()[1]->subviews()[0].get()), nullptr);

    auto button = std::make_shared<ui::Button>();
    int taps = 0;
    button->addTarget(ui::ControlEvent::touchUpInside, [&](ui::Control&) { ++taps; });
    button->setEnabled(false);
    button->tap();
    button->setEnabled(true);
    button->tap();
    EXPECT_EQ(taps, 1);
}

TEST_F(UiTest, BackgroundTasksHoldTheWaitUntilEndedOrExpired) {
    auto& app = ui::Application::shared();

    // A task ended from another thread releases the wait.
    const uint64_t upload = app.beginBackgroundTask("upload");
    std::thread ender([&] { app.endBackgroundTask(upload); });
    EXPECT_TRUE(app.waitForBackgroundTasks(60));
    ender.join();
    EXPECT_EQ(app.runningBackgroundTaskCount(), 0u);

    // Out of time: the handler runs once, ending its task itself (a second
    // end is harmless); a task without handler is ended by the wait.
    int expirations = 0;
    uint64_t selfEnding = 0;
    selfEnding = app.beginBackgroundTask("self-ending", [&] {
        ++expirations;
        app.endBackgroundTask(selfEnding);
    });
    app.beginBackgroundTask("silent");
    EXPECT_FALSE(app.waitForBackgroundTasks(0));
    EXPECT_EQ(expirations, 1);
    EXPECT_EQ(app.runningBackgroundTaskCount(), 0u);
    app.endBackgroundTask(selfEnding);
    EXPECT_TRUE(app.waitForBackgroundTasks(0));
}

}  // namespace
