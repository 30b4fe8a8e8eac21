#include <gtest/gtest.h>

#include "Calvaro/screens/ViewManager.h"
#include "ScreenTestEnvironment.h"
#include "platform/ui/Application.h"
#include "platform/ui/Button.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

namespace {

class ViewManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = std::make_shared<ui::Window>(ui::Rect(0, 0, 390, 844));
        root_ = std::make_shared<ui::ViewController>();
        window_->setRootViewController(root_);
        window_->makeKeyAndVisible();
    }

    std::vector<std::shared_ptr<ui::Label>> toasts() const {
        std::vector<std::shared_ptr<ui::Label>> labels;
        for (const auto& view : root_->view()->subviews())
            if (auto label = std::dynamic_pointer_cast<ui::Label>(view)) labels.push_back(label);
        return labels;
    }

    ScreenTestEnvironment environment_;
    std::shared_ptr<ui::Window> window_;
    std::shared_ptr<ui::ViewController> root_;
};

TEST_F(ViewManagerTest, KeyWindowIsTheFirstWindowOfTheFirstScene) {
    EXPECT_EQ(ViewManager::keyWindow(), window_.get());
    auto second = std::make_shared<ui::Window>();
    second->setRootViewController(std::make_shared<ui::ViewController>());
    second->makeKeyAndVisible();
    EXPECT_EQ(ViewManager::keyWindow(), window_.get());
    ui::Application::reset();
    EXPECT_EQ(ViewManager::keyWindow(), nullptr);
    ViewManager::showToast("nowhere to go");  // nothing to show on, nothing breaks
}

TEST_F(ViewManagerTest, ToastSitsAboveTheBottomAndANewOneReplacesIt) {
    root_->view()->setFrame(ui::Rect(0, 0, 390, 844));
    ViewManager::showToast("first");
    ASSERT_EQ(toasts().size(), 1u);
    auto first = toasts()[0];
    EXPECT_EQ(first->frame(), ui::Rect(19.5, 724, 351, 40));

    // Within the first's three seconds a second takes its place, alone:
    // two opaque boxes would show the older text through the newer.
    environment_.executor().advanceBy(1.0);
    ViewManager::showToast("second");
    ASSERT_EQ(toasts().size(), 1u);
    EXPECT_EQ(toasts()[0]->text(), "second");
    EXPECT_EQ(toasts()[0]->frame(), first->frame());

    // The first's fade, still queued, leaves the second alone; the second
    // fades on its own schedule.
    environment_.executor().advanceBy(2.5);  // 3.5 s
    ASSERT_EQ(toasts().size(), 1u);
    EXPECT_EQ(toasts()[0]->alpha(), 1.0);
    environment_.executor().advanceBy(1.0);  // 4.5 s: the second is fading
    ASSERT_EQ(toasts().size(), 1u);
    EXPECT_EQ(toasts()[0]->alpha(), 0.0);
    environment_.executor().advanceBy(1.6);  // 6.1 s: gone
    EXPECT_TRUE(toasts().empty());
}

// A toast sits 120 points above the bottom whatever lies there: it takes no
// touches, so it never has to move off the keys under it.
TEST_F(ViewManagerTest, ToastStaysOverTheBottomWhateverControlsLieThere) {
    root_->view()->setFrame(ui::Rect(0, 0, 390, 844));
    const auto button = [](ui::Rect frame, bool hidden = false) {
        auto b = std::make_shared<ui::Button>();
        b->setFrame(frame);
        b->setHidden(hidden);
        return std::shared_ptr<ui::View>(b);
    };
    const auto inside = [](ui::Rect frame, std::shared_ptr<ui::View> child, bool scrolls = false) {
        auto v = scrolls ? std::make_shared<ui::ScrollView>(frame) : std::make_shared<ui::View>(frame);
        v->addSubview(std::move(child));
        return std::shared_ptr<ui::View>(v);
    };
    const auto label = std::make_shared<ui::Label>(ui::Rect(0, 700, 390, 100));
    const struct {
        const char* name;
        std::vector<std::shared_ptr<ui::View>> views;
    } cases[] = {
        {"keypad rows", {button({20, 715, 350, 48}), button({20, 763, 350, 48}), button({20, 667, 87, 48})}},
        {"a key in a nested view", {inside({0, 600, 390, 200}, button({0, 115, 100, 48}))}},
        {"hidden keys, a label, scrolled content", {button({0, 715, 390, 48}, true), label,
                                                    inside({0, 600, 390, 200}, button({0, 115, 100, 48}), true)}},
        {"controls from top to bottom", {button({0, 0, 390, 844})}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& v : c.views) root_->view()->addSubview(v);
        ViewManager::showToast("message");
        ASSERT_FALSE(toasts().empty());
        EXPECT_EQ(toasts().back()->frame(), ui::Rect(19.5, 724, 351, 40));
        const auto shown = root_->view()->subviews();
        for (const auto& v : shown) v->removeFromSuperview();
    }
}

TEST_F(ViewManagerTest, SegmentImagesAreReachedThroughPlainAndStackViews) {
    auto root = std::make_shared<ui::View>();
    auto stack = std::make_shared<ui::StackView>();
    auto plain = std::make_shared<ui::View>();
    auto reached = std::make_shared<ui::SegmentedControl>();
    reached->insertSegment(ui::Image::named("clv_ui_a"), 0);
    plain->addSubview(reached);
    stack->addSubview(plain);
    root->addSubview(stack);
    auto table = std::make_shared<ui::TableView>();
    auto hidden = std::make_shared<ui::SegmentedControl>();
    hidden->insertSegment(ui::Image::named("clv_ui_b"), 0);
    table->addSubview(hidden);
    root->addSubview(table);

    ViewManager::fixSegmentedControlImages(*root);

    auto modes = [](const ui::SegmentedControl& control) {
        std::vector<ui::ContentMode> result;
        for (const auto& segment : control.subviews())
            for (const auto& inner : segment->subviews())
                if (dynamic_cast<ui::ImageView*>(inner.get())) result.push_back(inner->contentMode());
        return result;
    };
    EXPECT_EQ(modes(*reached), std::vector<ui::ContentMode>{ui::ContentMode::scaleAspectFit});
    EXPECT_EQ(modes(*hidden), std::vector<ui::ContentMode>{ui::ContentMode::scaleToFill});
}

}  // namespace
