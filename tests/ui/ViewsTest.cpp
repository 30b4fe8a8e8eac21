#include <cmath>

#include "UiTestSupport.h"
#include "platform/ui/Color.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

namespace {

using ui::Color;

TEST_F(UiTest, DynamicColoursResolveAtTheMomentOfUse) {
    Color label = Color::label();
    double r, g, b, a;
    ASSERT_TRUE(label.getRed(r, g, b, a));
    EXPECT_EQ(r, 0.0);
    ui::TraitCollection::setUserInterfaceStyle(ui::InterfaceStyle::dark);
    ASSERT_TRUE(label.getRed(r, g, b, a));
    EXPECT_EQ(r, 1.0);
    EXPECT_FALSE(Color::pattern("stripes").getRed(r, g, b, a));
}

TEST_F(UiTest, HueSaturationBrightnessRoundTrip) {
    const Color colours[] = {Color::rgb(1.0, 0.44, 0.0), Color::rgb(0.77, 0.24, 0.0),
                             Color::rgb(0.93, 0.25, 0.48), Color::white(0.5), Color::rgb(0, 0, 1)};
    for (const auto& c : colours) {
        double h, s, v, a, r0, g0, b0, a0, r1, g1, b1, a1;
        ASSERT_TRUE(c.getHue(h, s, v, a));
        c.getRed(r0, g0, b0, a0);
        Color::hsb(h, s, v, a).getRed(r1, g1, b1, a1);
        EXPECT_NEAR(r0, r1, 1e-9);
        EXPECT_NEAR(g0, g1, 1e-9);
        EXPECT_NEAR(b0, b1, 1e-9);
    }
}

TEST_F(UiTest, TextFieldEditsCountUtf16Units) {
    struct Case {
        std::string text;
        ui::TextRange range;
        std::string insert;
        std::string expected;
        int64_t caret;
    };
    const Case cases[] = {
        {"1234", {1, 2}, "", "14", 1},
        {"a\xF0\x9F\x98\x80"
         "b",
         {1, 2},
         "",
         "ab",
         1},                          // an emoji is two units
        {"x", {5, 3}, "y", "xy", 2},  // clamped to the text
    };
    for (const auto& c : cases) {
        ui::TextField field;
        field.setText(c.text);
        ASSERT_TRUE(field.becomeFirstResponder());
        field.replace(c.range, c.insert);
        EXPECT_EQ(field.text(), c.expected) << c.text;
        EXPECT_EQ(field.selectedRange()->location, c.caret) << c.text;
    }
}

TEST_F(UiTest, OneFirstResponderPerTreeAndDelegateMayRefuse) {
    struct Refuse : ui::TextFieldDelegate {
        bool textFieldShouldBeginEditing(ui::TextField&) override { return false; }
    } refuse;
    auto root = std::make_shared<ui::View>();
    auto a = std::make_shared<ui::TextField>();
    auto b = std::make_shared<ui::TextField>();
    root->addSubview(a);
    root->addSubview(b);
    ASSERT_TRUE(a->becomeFirstResponder());
    ASSERT_TRUE(b->becomeFirstResponder());
    EXPECT_FALSE(a->isFirstResponder());
    EXPECT_FALSE(a->selectedRange());
    a->setDelegate(&refuse);
    EXPECT_FALSE(a->becomeFirstResponder());
    EXPECT_TRUE(b->isFirstResponder());
}

TEST_F(UiTest, ViewWithTagSearchesDepthFirstIncludingItself) {
    auto root = std::make_shared<ui::View>();
    auto a = std::make_shared<ui::View>();
    auto b = std::make_shared<ui::View>();
    auto deep = std::make_shared<ui::View>();
    a->addSubview(deep);
    root->addSubview(a);
    root->addSubview(b);
    deep->setTag(8989);
    b->setTag(8989);
    EXPECT_EQ(root->viewWithTag(8989), deep);
    root->setTag(8989);
    EXPECT_EQ(root->viewWithTag(8989), root);
    // Moving a view takes it out of its old superview.
    b->addSubview(deep);
    EXPECT_TRUE(a->subviews().empty());
}

}  // namespace
