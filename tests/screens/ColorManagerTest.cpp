#include <gtest/gtest.h>

#include "Calvaro/screens/ColorManager.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"
#include "tests/support/SharedState.h"

namespace {

class ColorManagerTest : public SharedStateTest {
  protected:
    static void setDark(bool dark) {
        ui::TraitCollection::setUserInterfaceStyle(dark ? ui::InterfaceStyle::dark
                                                        : ui::InterfaceStyle::light);
    }
};

TEST_F(ColorManagerTest, HexTextsCutTowardZero) {
    struct Case {
        ui::Color color;
        std::optional<std::string> hex;
    } cases[] = {
        {ui::Color::rgb(1, 0, 0), "#ff0000"},
        {ui::Color::rgb(0.5, 0.5, 0.5), "#7f7f7f"},
        {ui::Color::rgb(1, 1, 1, 0.2), "#ffffff"},  // alpha is dropped
        {ui::Color::white(0.1), "#191919"},
        {ui::Color::rgb(0.93, 0.25, 0.48), "#ed3f7a"},
        {ui::Color::pattern("stripes"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.color.description());
        EXPECT_EQ(hexString(c.color), c.hex);
    }
}

TEST_F(ColorManagerTest, DarkStyleDimsBrightness) {
    const ui::Color orange = ui::Color::rgb(1.0, 0.44, 0.0);
    EXPECT_EQ(adjustedForDarkStyle(orange, 0.7), orange);
    setDark(true);
    double h = 0, s = 0, b = 0, a = 0;
    ASSERT_TRUE(adjustedForDarkStyle(orange, 0.7).getHue(h, s, b, a));
    EXPECT_NEAR(b, 0.7, 1e-9);
    ASSERT_TRUE(adjustedForDarkStyle(orange, -1).getHue(h, s, b, a));
    EXPECT_EQ(b, 0);
    double r = 1, g = 1, bl = 1, al = 1;
    ASSERT_TRUE(adjustedForDarkStyle(ui::Color::pattern("p"), 0.7).getRed(r, g, bl, al));
    EXPECT_EQ(al, 0) << "a colour without components becomes transparent black";
}

TEST_F(ColorManagerTest, ApplyColorsVisitsByExactClass) {
    auto root = std::make_shared<ui::View>();
    auto stack = std::make_shared<ui::StackView>();
    auto panel = std::make_shared<ui::View>();
    panel->setTag(102);
    stack->addSubview(panel);
    root->addSubview(stack);

    auto label = std::make_shared<ui::Label>();
    label->setTag(102);
    root->addSubview(label);

    auto labelHolder = std::make_shared<ui::Label>();  // not visited, nor its subviews
    auto hidden = std::make_shared<ui::View>();
    hidden->setTag(103);
    labelHolder->addSubview(hidden);
    root->addSubview(labelHolder);

    auto plainButton = std::make_shared<ui::Button>();
    auto flat = std::make_shared<kit::FlatButton>("Clear");
    auto icon = std::make_shared<kit::IconButton>("Menu");  // a subclass the rules do not name
    auto field = std::make_shared<ui::TextField>();
    auto faded = std::make_shared<ui::View>();
    faded->setTag(200);
    for (auto view : std::vector<std::shared_ptr<ui::View>>{plainButton, flat, icon, field, faded})
        root->addSubview(view);
    root->setTag(101);

    ColorManager::applyColors(*root);

    EXPECT_EQ(panel->backgroundColor(), appLightOrange());
    EXPECT_FALSE(label->backgroundColor().has_value());
    EXPECT_FALSE(hidden->backgroundColor().has_value());
    EXPECT_FALSE(root->backgroundColor().has_value()) << "the root itself is not styled";
    EXPECT_EQ(plainButton->titleColor(), nearBlackColor());
    EXPECT_EQ(flat->titleColor(), nearBlackColor());
    EXPECT_NE(icon->titleColor(), nearBlackColor());
    EXPECT_EQ(field->layer().backgroundColor, ui::Color::systemBackground());
    EXPECT_EQ(faded->alpha(), 0.5);
}

}  // namespace
