#include <gtest/gtest.h>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/ErrorManager.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/AppNavigationDrawerController.h"
#include "Calvaro/screens/AppPageTabBarController.h"
#include "Calvaro/screens/AppToolbarController.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "Calvaro/screens/SolutionViewController.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/RatingViewController.h"
#include "ScreenTestEnvironment.h"
#include "app/CalvaroMain.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"

namespace {

class CalculateScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto defaults = foundation::UserDefaults::standard();
        defaults.set(OnboardingManager::isOnboardingFinishedKey, true);
        defaults.set(DsgvoManager::isDsgvoAcceptedKey, true);
        // The rating prompt is tested on its own; keep it out of the way here.
        defaults.set(RatingViewController::isRatingAlreadyDoneKey, true);
    }

    void launch() {
        ASSERT_TRUE(ui::Application::shared().launch(makeCalvaroAppDelegate()));
        driver_.settle();
    }

    AppNavigationDrawerController& drawer() {
        return dynamic_cast<AppNavigationDrawerController&>(
            *ui::Application::shared().keyWindow()->rootViewController());
    }
    AppPageTabBarController& tabs() {
        auto& toolbar = dynamic_cast<AppToolbarController&>(*drawer().rootViewController());
        return dynamic_cast<AppPageTabBarController&>(*toolbar.rootViewController());
    }
    CalculateViewController& calculate() { return dynamic_cast<CalculateViewController&>(*tabs().viewControllers()[0]); }
    SolutionViewController& solution() { return dynamic_cast<SolutionViewController&>(*tabs().viewControllers()[1]); }
    std::string text(const char* id) { return calculate().textField(id)->text(); }

    // Taps a field and types on the keypad.
    void enter(const char* field, const std::string& keys) {
        ASSERT_TRUE(driver_.tap(field)) << driver_.lastError();
        ASSERT_TRUE(driver_.type(keys)) << driver_.lastError();
    }

    // The whole Solution table, scrolled through page by page.
    std::string solutionRows() {
        ui::TableView& table = *solution().tableView();
        std::string rows;
        for (double offset = 0;; offset += table.frame().height()) {
            table.setContentOffset({0, offset});
            table.layoutIfNeeded();
            rows += "--- offset " + std::to_string(static_cast<int>(offset)) + "\n" + ui::Snapshot::ofView(table);
            auto paths = table.indexPathsForVisibleRows();
            if (paths.empty() || paths.back().section == table.numberOfSections() - 1) break;
        }
        table.setContentOffset({0, 0});
        return rows;
    }

    ScreenTestEnvironment environment_;
    ui::Driver driver_;
};

// The exercise typed as a user would: caret moved, a wrong digit deleted, the
// sign toggled and a selection typed over.
TEST_F(CalculateScreenTest, TypedExerciseIsSolvedStoredAndLogged) {
    launch();
    enter("aTextField", "3");
    enter("bTextField", "12");
    calculate().textField("bTextField")->setSelectedRange(ui::TextRange{0, 1});  // "1" selected
    ASSERT_TRUE(driver_.tap("deleteButton"));
    enter("cTextField", "1-");  // the minus key signs the whole entry
    enter("dTextField", "7");
    calculate().textField("dTextField")->setSelectedRange(ui::TextRange{0, 1});
    ASSERT_TRUE(driver_.type("1"));
    enter("zTextField", "2");

    const size_t before = CalcManager::shared().calculations().size();
    ASSERT_TRUE(driver_.tap("calculateButton")) << driver_.lastError();
    ASSERT_EQ(CalcManager::shared().calculations().size(), before + 1);
    const Calculation& stored = CalcManager::shared().calculations().front();
    EXPECT_EQ(stored.inputParameters, (std::map<std::string, std::string>{{"aTextField", "3"},
                                                                          {"bTextField", "2"},
                                                                          {"cTextField", "-1"},
                                                                          {"dTextField", "1"},
                                                                          {"xTextField", ""},
                                                                          {"zTextField", "2"}}));
    EXPECT_EQ(stored.setupParameter.at("inputCalculationSelection").integerValue(), 0);
    EXPECT_EQ(stored.setupParameter.at("appKey"), foundation::Value("CLV"));
    EXPECT_EQ(tabs().selectedIndex(), 1u);
    EXPECT_TRUE(KalStringOutput::shared().solutionSteps().empty()) << "the step output is reset after the run";
    auto logged = environment_.lastParameters("kal_calculate");
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->at("solutionStepsCount").integerValue(), static_cast<int64_t>(solution().solutionSteps().size()));

    expectGolden("solution", ui::Snapshot::ofKeyWindow() + solutionRows());
}

TEST_F(CalculateScreenTest, InputErrorMarksTheFieldToastsAndStoresNothing) {
    launch();
    enter("aTextField", "2/0");
    const size_t before = CalcManager::shared().calculations().size();
    ASSERT_TRUE(driver_.tap("calculateButton"));
    EXPECT_EQ(CalcManager::shared().calculations().size(), before);
    EXPECT_EQ(calculate().textField("aTextField")->borderColor(), ui::Color::red());
    EXPECT_NE(calculate().textField("bTextField")->borderColor(), ui::Color::red());
    auto logged = environment_.lastParameters("kal_got_error");
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->at("error_case"), foundation::Value("inputZeroInDenominator"));
    EXPECT_EQ(tabs().selectedIndex(), 0u);
    expectGolden("calculate_error", ui::Snapshot::ofKeyWindow());

    // The next run gives the neutral border back; the toast fades on its own.
    ASSERT_TRUE(driver_.tap("deleteButton"));
    ASSERT_TRUE(driver_.tap("deleteButton"));
    ASSERT_TRUE(driver_.tap("calculateButton"));
    EXPECT_NE(calculate().textField("aTextField")->borderColor(), ui::Color::red());
    driver_.wait(5.0);
    EXPECT_EQ(ui::Snapshot::ofKeyWindow().find("denominator"), std::string::npos);
}

// Exercises without an inverse are refused like any input error: their own
// message, the field at fault marked red, nothing stored.
TEST_F(CalculateScreenTest, RefusedParametersMarkTheirFieldAndShowTheirMessage) {
    const struct {
        const char* field;
        const char* keys;
        const char* key;
        const char* message;
    } cases[] = {
        {"aTextField", "1", "baseIsOne", "The base a must not be 1."},
        {"aTextField", "-2", "baseNotPositive", "The base a must be greater than 0."},
        {"bTextField", "0", "factorOfXIsZero", "The factor b must not be 0."},
        {"zTextField", "0", "factorIsZero", "The factor z must not be 0."},
    };
    launch();
    const size_t before = CalcManager::shared().calculations().size();
    for (const auto& c : cases) {
        enter(c.field, c.keys);
        ASSERT_TRUE(driver_.tap("calculateButton"));
        EXPECT_EQ(calculate().textField(c.field)->borderColor(), ui::Color::red()) << c.key;
        EXPECT_EQ(environment_.lastParameters("kal_got_error")->at("error_case"), foundation::Value(c.key));
        EXPECT_NE(ui::Snapshot::ofKeyWindow().find(c.message), std::string::npos) << c.message;
        EXPECT_EQ(CalcManager::shared().calculations().size(), before);
        EXPECT_EQ(tabs().selectedIndex(), 0u);
        for (size_t i = 0; i < std::string(c.keys).size(); ++i) ASSERT_TRUE(driver_.tap("deleteButton"));
        driver_.wait(5.0);
    }
}

TEST_F(CalculateScreenTest, ClearEmptiesFieldsRecordsAndTheSolution) {
    launch();
    enter("aTextField", "3");
    ASSERT_TRUE(driver_.tap("calculateButton"));
    ASSERT_EQ(tabs().selectedIndex(), 1u);
    CalcManager::shared().setCurrentSelectedCalculation(CalcManager::shared().calculations().front());
    ASSERT_TRUE(driver_.tap(CalculateViewController::clearButtonIdentifier)) << driver_.lastError();
    EXPECT_EQ(environment_.events().back(), "tapped_clear");
    EXPECT_EQ(tabs().selectedIndex(), 0u);
    EXPECT_EQ(text("aTextField"), "");
    EXPECT_TRUE(solution().solutionSteps().empty());
    EXPECT_FALSE(tabs().tabEnabled(1));
    EXPECT_FALSE(CalcManager::shared().currentCalculation());
    EXPECT_FALSE(CalcManager::shared().currentSelectedCalculation());
    EXPECT_FALSE(foundation::UserDefaults::standard().dictionary(CalcManager::currentSelectedCalculationKey));
}

// Leaving keeps the texts as the current calculation (here for the history
// screen); a fresh tree (the menu's Calculate row) shows them again.
TEST_F(CalculateScreenTest, InputsSurviveLeavingAndReenteringTheScreen) {
    launch();
    enter("aTextField", "2");
    dynamic_cast<AppToolbarController&>(*drawer().rootViewController()).transition(std::make_shared<ui::ViewController>());
    drawer().transition(AppDelegate().appToolbarController());
    driver_.settle();
    ASSERT_TRUE(CalcManager::shared().currentCalculation());
    EXPECT_EQ(CalcManager::shared().currentCalculation()->inputParameters,
              (std::map<std::string, std::string>{{"aTextField", "2"}}));
    EXPECT_EQ(text("aTextField"), "2");
}

// A record chosen in the history is shown once, with its form.
TEST_F(CalculateScreenTest, SelectedCalculationIsShownOnceWithItsForm) {
    launch();
    Calculation chosen;
    chosen.inputParameters = {{"aTextField", "5"}, {"zTextField", "3"}};
    chosen.setupParameter = {{"inputCalculationSelection", 1}, {"appKey", "CLV"}};
    CalcManager::shared().setCurrentSelectedCalculation(chosen);
    drawer().transition(AppDelegate().appToolbarController());
    driver_.settle();
    EXPECT_EQ(text("aTextField"), "5");
    EXPECT_EQ(text("zTextField"), "3");
    EXPECT_EQ(calculate().segmentedControl()->selectedSegmentIndex(), 1);
    EXPECT_EQ(calculate().modeImageView()->image()->name(), "clv_ui_b");
    EXPECT_FALSE(CalcManager::shared().currentSelectedCalculation());
}

TEST_F(CalculateScreenTest, KeypadAndDeleteEditAtTheCaret) {
    const struct {
        const char* name;
        std::string text;
        ui::TextRange selection;
        std::string key;  // "" for the delete key
        std::string expectedText;
        int64_t expectedCaret;
    } cases[] = {
        {"digit at the caret", "12", {1, 0}, "3", "132", 2},
        {"minus signs the entry", "5", {1, 0}, "-", "-5", 2},
        {"minus again unsigns", "-5", {2, 0}, "-", "5", 1},
        {"minus inside is removed", "5-3", {3, 0}, "-", "53", 2},
        {"selection is typed over", "34", {0, 2}, "7", "7", 1},
        {"constant is one character", "2", {1, 0}, "\xCF\x80", "2\xCF\x80", 2},
        {"delete at start does nothing", "123", {0, 0}, "", "123", 0},
        {"delete a selection", "1234", {1, 2}, "", "14", 1},
        {"delete after a constant", "2\xCF\x80", {2, 0}, "", "2", 1},
    };
    launch();
    CalculateViewController& screen = calculate();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto field = screen.textField("cTextField");
        field->setText(c.text);
        ASSERT_TRUE(field->becomeFirstResponder());
        field->setSelectedRange(c.selection);
        if (c.key.empty())
            screen.deleteAtCursor();
        else
            screen.insertKeypadValue(c.key);
        EXPECT_EQ(field->text(), c.expectedText);
        EXPECT_EQ(field->selectedRange(), (ui::TextRange{c.expectedCaret, 0}));
    }

    // While a calculation runs the keys change nothing.
    isCalculating = true;
    screen.insertKeypadValue("9");
    screen.deleteAtCursor();
    isCalculating = false;
    EXPECT_EQ(screen.textField("cTextField")->text(), "2");
}

}  // namespace
