#include "UiTestSupport.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Traits.h"
#include "platform/ui/Window.h"

namespace {

using Journal = std::shared_ptr<std::vector<std::string>>;
using Strings = std::vector<std::string>;

class ViewControllerTest : public UiTest {
  protected:
    Journal journal = std::make_shared<Strings>();
    std::shared_ptr<JournalController> make(const std::string& name) {
        return std::make_shared<JournalController>(name, journal);
    }
    Strings take() {
        Strings out = *journal;
        journal->clear();
        return out;
    }
    // A journalled root shown in a key window of its own.
    std::shared_ptr<JournalController> showRoot() {
        auto root = make("root");
        window = showInWindow(root);
        return root;
    }
    std::shared_ptr<ui::Window> window;
};

TEST_F(ViewControllerTest, PresentationAndDismissalRunAppearanceInPlatformOrder) {
    struct Case {
        ui::ModalPresentationStyle style;
        Strings onPresent;
        Strings onDismiss;
    };
    const Case cases[] = {
        {ui::ModalPresentationStyle::fullScreen,
         {"p.load", "root.willDisappear", "p.willAppear", "root.didDisappear", "p.didAppear"},
         {"p.willDisappear", "root.willAppear", "p.didDisappear", "root.didAppear"}},
        {ui::ModalPresentationStyle::overFullScreen,
         {"p.load", "p.willAppear", "p.didAppear"},
         {"p.willDisappear", "p.didDisappear"}},
        {ui::ModalPresentationStyle::pageSheet,
         {"p.load", "p.willAppear", "p.didAppear"},
         {"p.willDisappear", "p.didDisappear"}},
    };
    for (const auto& c : cases) {
        auto root = showRoot();
        EXPECT_EQ(take(), (Strings{"root.load", "root.willAppear", "root.didAppear"}));
        auto presented = make("p");
        presented->setModalPresentationStyle(c.style);
        bool completed = false;
        ASSERT_TRUE(root->present(presented, true, [&] { completed = true; }));
        EXPECT_TRUE(completed);
        EXPECT_EQ(take(), c.onPresent) << static_cast<int>(c.style);
        EXPECT_EQ(window->topViewController(), presented.get());
        presented->dismiss(true);
        EXPECT_EQ(take(), c.onDismiss) << static_cast<int>(c.style);
        EXPECT_EQ(window->topViewController(), root.get());
        ui::Application::reset();
    }
}

TEST_F(ViewControllerTest, PopoverAdaptsOnAPhoneUnlessItsDelegateKeepsIt) {
    struct Keep : ui::PopoverPresentationControllerDelegate {
        ui::ModalPresentationStyle adaptivePresentationStyle() override {
            return ui::ModalPresentationStyle::none;
        }
    } keep;
    struct Case {
        ui::DeviceProfile device;
        bool withDelegate;
        ui::ModalPresentationStyle shown;
    };
    const Case cases[] = {
        {ui::DeviceProfile::phone(), false, ui::ModalPresentationStyle::fullScreen},
        {ui::DeviceProfile::phone(), true, ui::ModalPresentationStyle::popover},
        {ui::DeviceProfile::pad(), false, ui::ModalPresentationStyle::popover},
    };
    for (const auto& c : cases) {
        ui::TraitCollection::setDevice(c.device);
        auto root = showRoot();
        auto popover = make("p");
        popover->setModalPresentationStyle(ui::ModalPresentationStyle::popover);
        if (c.withDelegate) popover->popoverPresentationController().delegate = &keep;
        ASSERT_TRUE(root->present(popover, true));
        EXPECT_EQ(popover->shownPresentationStyle(), c.shown);
        // Only the full-screen form takes the presenter off the screen.
        EXPECT_EQ(root->isVisible(), c.shown != ui::ModalPresentationStyle::fullScreen);
        ui::Application::reset();
    }
}

TEST_F(ViewControllerTest, SecondPresentationIsRefusedAndLogged) {
    auto root = showRoot();
    auto first = make("first");
    auto second = make("second");
    ASSERT_TRUE(root->present(first, false));
    bool completed = false;
    EXPECT_FALSE(root->present(second, false, [&] { completed = true; }));
    EXPECT_FALSE(completed);
    EXPECT_EQ(root->presentedViewController(), first);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("which is already presenting"), std::string::npos);

    // The presented controller may present over itself; once the first is
    // dismissed the root may present again.
    auto over = make("over");
    EXPECT_TRUE(first->present(over, false));
    root->dismiss(false);
    EXPECT_EQ(first->presentedViewController(), nullptr);
    EXPECT_TRUE(root->present(second, false));
}

TEST_F(ViewControllerTest, ChildPresentsThroughItsOutermostParent) {
    auto root = make("root");
    auto child = make("child");
    root->addChild(child);
    auto window = showInWindow(root);
    ASSERT_TRUE(child->present(make("a"), false));
    EXPECT_FALSE(root->present(make("b"), false));
    EXPECT_EQ(child->presentedViewController(), root->presentedViewController());
}

TEST_F(ViewControllerTest, AlertActionDismissesBeforeItsHandlerRuns) {
    auto root = showRoot();
    auto alert = ui::AlertController::create("Title", "Message", ui::AlertControllerStyle::alert);
    bool presentedFromHandler = false;
    alert->addAction(
        std::make_shared<ui::AlertAction>("OK", ui::AlertActionStyle::defaultStyle, [&](ui::AlertAction&) {
            // The alert is gone already, so a new presentation is accepted.
            presentedFromHandler = root->present(make("next"), false);
        }));
    alert->addAction(std::make_shared<ui::AlertAction>("Cancel", ui::AlertActionStyle::cancel));
    ASSERT_TRUE(root->present(alert, true));
    EXPECT_FALSE(alert->choose("Missing"));
    EXPECT_TRUE(alert->choose("OK"));
    EXPECT_TRUE(presentedFromHandler);
    EXPECT_TRUE(logged.empty());
}

TEST_F(ViewControllerTest, StoryboardBuildsRegisteredControllersAndStopsOnUnknownOnes) {
    ui::Storyboard::registerBuilder("Main", "JournalController", [this] { return make("built"); });
    ui::Storyboard main("Main");
    auto built = main.instantiate<JournalController>("JournalController");
    EXPECT_TRUE(built && built != main.instantiate<JournalController>("JournalController"));
    EXPECT_THROW(main.instantiateViewController("Missing"), ui::ProgrammingError);
    EXPECT_THROW(main.instantiate<ui::AlertController>("JournalController"), ui::ProgrammingError);
    EXPECT_THROW(ui::Nib::loadView("NoSuchNib"), ui::ProgrammingError);
}

TEST_F(ViewControllerTest, WindowReplacesItsRootWithAppearance) {
    auto window = showInWindow(make("a"));
    take();
    window->setRootViewController(make("b"));
    EXPECT_EQ(take(),
              (Strings{"a.willDisappear", "b.load", "b.willAppear", "a.didDisappear", "b.didAppear"}));
}

}  // namespace
