#include <gtest/gtest.h>

#include "Calvaro/screens/ErrorManager.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "ScreenTestEnvironment.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Window.h"

namespace {

const std::string kSection = ErrorManager::errorTextSeparator;

TEST(ErrorManagerTest, ToastTextFillsInTheLimitsOfItsKey) {
    struct Case {
        std::string text;
        std::optional<std::string> toast;
    } cases[] = {
        {"mustBeGreatherThanX" + kSection + "0", "The value must be greater than 0."},
        {"mustBeGreatherThanX", std::nullopt},
        {"mustBeLessThanX" + kSection + "5" + kSection + "6", std::nullopt},
        {"mustBeBiggerThanXAndLessThanY" + kSection + "1" + kSection + "9",
         "The value must be greater than 1 and less than 9."},
        {kSection + "mustBeLessThanX" + kSection + kSection + "-2" + kSection, "The value must be less than -2."},
        {kSection + kSection, std::nullopt},
        {"", std::nullopt},
        {"oppositionError", std::nullopt},
        {"inputZeroInDenominator", "The denominator must not be zero."},
        {"noSuchKey" + kSection + "3", "noSuchKey"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorManager::toastMessage(c.text), c.toast) << c.text;
}

class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        installServiceOutlets();
        window_->setRootViewController(root_);
        window_->makeKeyAndVisible();
        for (int i = 0; i < 6; ++i) {
            auto row = std::make_shared<ui::View>();
            fields_.push_back(std::make_shared<ui::TextField>());
            row->addSubview(fields_.back());
            root_->view()->addSubview(row);
        }
        ErrorManager::shared().setAllFields(fields_);
    }

    ScreenTestEnvironment environment_;
    std::shared_ptr<ui::ViewController> root_ = std::make_shared<ui::ViewController>();
    std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
    std::vector<std::shared_ptr<ui::TextField>> fields_;
};

TEST_F(ErrorReportTest, ColoursLogsAndShows) {
    ErrorManager& manager = ErrorManager::shared();
    manager.reportInputError("notEnoughInputValues", {fields_[0], fields_[1]});
    EXPECT_EQ(fields_[0]->borderColor(), ui::Color::orange());
    EXPECT_EQ(fields_[1]->borderColor(), ui::Color::orange());
    EXPECT_FALSE(fields_[2]->borderColor());
    EXPECT_EQ(environment_.lastParameters("kal_got_error")->at("error_case"), foundation::Value("notEnoughInputValues"));

    // A text whose limits do not fit still logs and marks.
    manager.reportInputError("mustBeLessThanX", {fields_[2]});
    EXPECT_EQ(fields_[2]->borderColor(), ui::Color::red());
    EXPECT_EQ(environment_.events().size(), 2u);

    manager.reportInputError("oppositionError", {});
    auto alert = std::dynamic_pointer_cast<ui::AlertController>(root_->presentedViewController());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->message(), "The given values contradict each other.");
    ASSERT_EQ(alert->actions().size(), 1u);
    EXPECT_EQ(alert->actions()[0]->title(), "OK");
}

}  // namespace
