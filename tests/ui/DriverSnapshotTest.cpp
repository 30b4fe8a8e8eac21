#include <fstream>
#include "tests/support/TestPaths.h"
#include <sstream>

#include "UiTestSupport.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"
#include "platform/ui/TextField.h"

namespace {

// A small screen: a prompt, a field, a keypad of two keys, a form switch, a
// list and a button that asks a question.
class FormScreen : public ui::ViewController, public TextRowsSource {
  public:
    FormScreen() { rows = {"f(x) = \\log_{2}(x)", "f(x) = 2^{x}"}; }
    std::shared_ptr<ui::TextField> field;
    std::shared_ptr<ui::SegmentedControl> form;
    std::shared_ptr<ui::TableView> table;
    std::vector<std::string> answers;
    int formChanges = 0;

    void viewDidLoad() override {
        auto label = std::make_shared<ui::Label>();
        label->setText("Fill in your given numbers:");
        view()->addSubview(label);
        field = std::make_shared<ui::TextField>(ui::Rect(0, 40, 200, 30));
        field->setAccessibilityIdentifier("aTextField");
        field->setPlaceholder("a");
        view()->addSubview(field);
        auto keypad = std::make_shared<ui::StackView>();
        for (std::string key : {"1", "-"}) {
            auto button = std::make_shared<ui::Button>();
            button->setTitle(key);
            button->addTarget(ui::ControlEvent::touchUpInside, [this, key](ui::Control&) {
                if (field->isFirstResponder()) field->insertText(key);
            });
            keypad->addArrangedSubview(button);
        }
        view()->addSubview(keypad);
        form = std::make_shared<ui::SegmentedControl>();
        form->insertSegment("log", 0);
        form->insertSegment("exp", 1);
        form->setSelectedSegmentIndex(0);
        form->addTarget(ui::ControlEvent::valueChanged, [this](ui::Control&) { ++formChanges; });
        view()->addSubview(form);
        auto ask = std::make_shared<ui::Button>();
        ask->setTitle("Ask");
        ask->setAccessibilityIdentifier("askButton");
        ask->addTarget(ui::ControlEvent::touchUpInside, [this](ui::Control&) {
            // Queued, as the screens queue their alerts.
            dispatch::MainQueue::shared()->async([this] {
                auto alert =
                    ui::AlertController::create("Sure?", std::nullopt, ui::AlertControllerStyle::alert);
                for (std::string title : {"Yes", "No"}) {
                    auto action = std::make_shared<ui::AlertAction>(
                        title,
                        title == "No" ? ui::AlertActionStyle::cancel : ui::AlertActionStyle::defaultStyle,
                        [this, title](ui::AlertAction&) { answers.push_back(title); });
                    action->setAccessibilityIdentifier(title == "Yes" ? "yesAction" : "");
                    alert->addAction(action);
                }
                present(alert, true);
            });
        });
        view()->addSubview(ask);
        table = std::make_shared<ui::TableView>(ui::Rect(0, 300, 390, 300));
        table->registerCell("row",
                            [](const std::string& id) { return std::make_shared<ui::TableViewCell>(id); });
        table->setDataSource(this);
        view()->addSubview(table);
        auto silent = std::make_shared<ui::Button>();
        silent->setTitle("Silent");  // no action: a tap does nothing
        view()->addSubview(silent);
        auto hidden = std::make_shared<ui::Button>();
        hidden->setTitle("Hidden");
        hidden->setHidden(true);
        view()->addSubview(hidden);
    }
};

class DriverTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        screen = std::make_shared<FormScreen>();
        window = showInWindow(screen);
    }
    std::shared_ptr<FormScreen> screen;
    std::shared_ptr<ui::Window> window;
    ui::Driver driver;
};

TEST_F(DriverTest, TapsByIdentifierTitleSegmentAndPlaceholder) {
    EXPECT_TRUE(driver.tap("a"));  // the placeholder focuses the field
    EXPECT_TRUE(screen->field->isFirstResponder());
    EXPECT_TRUE(driver.type("1-1"));
    EXPECT_TRUE(driver.type("x"));  // no key: typed into the field
    EXPECT_EQ(screen->field->text(), "1-1x");
    EXPECT_TRUE(driver.tap("exp"));
    EXPECT_EQ(screen->formChanges, 1);

    EXPECT_FALSE(driver.tap("Hidden"));
    EXPECT_NE(driver.lastError().find("Hidden"), std::string::npos);
    EXPECT_FALSE(driver.tap("Fill in your given numbers:"));
}

TEST_F(DriverTest, QueuedAlertIsAnsweredAndBlocksTheScreenBelow) {
    EXPECT_TRUE(driver.tap("askButton"));
    ASSERT_NE(dynamic_cast<ui::AlertController*>(window->topViewController()), nullptr);
    EXPECT_FALSE(driver.tap("a"));  // the screen below cannot be reached
    EXPECT_FALSE(driver.answerAlert("Maybe"));
    EXPECT_TRUE(driver.tap("No"));  // an action is a button too
    EXPECT_TRUE(driver.tap("askButton"));
    EXPECT_TRUE(driver.answerAlert("Yes"));
    EXPECT_EQ(screen->answers, (std::vector<std::string>{"No", "Yes"}));
    EXPECT_FALSE(driver.answerAlert("Yes"));
}

// What a script cannot do, or what would do nothing, is refused with its
// reason, naming what covers the screen when something does; the person on
// the live page is told the same by the names they see, never a class's.
TEST_F(DriverTest, ActionsThatWouldDoNothingAreRefusedWithTheReason) {
    struct Case {
        std::function<bool()> action;
        bool done;
        std::string error;
        std::string refusal;
    };
    const Case cases[] = {
        {[&] { return driver.type("1"); }, false, "no field is being edited: tap one first",
         "no field is being edited: tap one first"},
        {[&] { return driver.tap("Silent"); }, false, "\"Silent\" does nothing when tapped",
         "\"Silent\" does nothing when tapped"},
        {[&] { return driver.tap("#a"); }, false, "nothing on the screen has the identifier #a",
         "What was tapped is not on the screen"},
        {[&] { return driver.tap("#aTextField"); }, true, "", ""},  // as a snapshot writes it
        {[&] { return driver.type("1"); }, true, "", ""},
        {[&] { return driver.tap("askButton"); }, true, "", ""},
        {[&] { return driver.tap("#aTextField"); }, false,
         "nothing on the screen has the identifier #aTextField: the alert \"Sure?\" covers the screen",
         "\"a\" cannot be tapped: the alert \"Sure?\" covers the screen"},
        {[&] { return driver.tap("#askButton"); }, false,
         "nothing on the screen has the identifier #askButton: the alert \"Sure?\" covers the screen",
         "\"Ask\" cannot be tapped: the alert \"Sure?\" covers the screen"},
        {[&] { return driver.openDrawer(); }, false,
         "no drawer on the screen: the alert \"Sure?\" covers the screen",
         "no drawer on the screen: the alert \"Sure?\" covers the screen"},
        {[&] { return driver.answerAlert("#No"); }, false, "the alert has no action \"#No\"",
         "the alert has no action \"No\""},
        {[&] { return driver.answerAlert("#yesAction"); }, true, "", ""},
        {[&] {
             screen->present(std::make_shared<ui::ViewController>(), false);
             driver.settle();
             return driver.tap("#askButton");
         },
         false, "nothing on the screen has the identifier #askButton: [ViewController] covers the screen",
         "\"Ask\" cannot be tapped: another window covers it"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const bool done = cases[i].action();
        EXPECT_EQ(done, cases[i].done) << driver.lastError();
        if (!done) {
            EXPECT_EQ(driver.lastError(), cases[i].error);
            EXPECT_EQ(driver.lastRefusal(), cases[i].refusal);
        }
    }
    EXPECT_EQ(screen->field->text(), "1");
    EXPECT_EQ(screen->answers, std::vector<std::string>{"Yes"});
}

TEST_F(DriverTest, WaitMovesVirtualTime) {
    int fired = 0;
    dispatch::MainQueue::shared()->asyncAfter(3.0, [&] { ++fired; });
    driver.wait(2.5);
    EXPECT_EQ(fired, 0);
    driver.wait(0.5);
    EXPECT_EQ(fired, 1);
}

TEST_F(DriverTest, SnapshotMatchesGoldenFile) {
    ASSERT_TRUE(driver.tap("aTextField"));
    ASSERT_TRUE(driver.type("-1"));
    screen->field->showError("Enter a number");
    screen->field->resignFirstResponder();
    ASSERT_TRUE(driver.tap("askButton"));
    std::string text = ui::Snapshot::ofKeyWindow();
    std::ifstream in(std::string(CALVARO_GOLDEN_DIR) + "/ui/snapshot_form.txt");
    std::stringstream golden;
    golden << in.rdbuf();
    EXPECT_EQ(text, golden.str()) << text;
    // Taking it again changes nothing.
    EXPECT_EQ(ui::Snapshot::ofKeyWindow(), text);
}

}  // namespace
