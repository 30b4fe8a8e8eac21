#include "Calvaro/screens/ColorManager.h"

#include <cstdio>
#include <typeinfo>

#include "platform/kit/Buttons.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

ui::Color adjustedForDarkStyle(const ui::Color& color, double factor) {
    if (!ui::TraitCollection::isDark()) return color;
    double hue = 0, saturation = 0, brightness = 0, alpha = 0;
    color.getHue(hue, saturation, brightness, alpha);
    const double adjusted = brightness * factor;
    return ui::Color::hsb(hue, saturation, adjusted > 0 ? adjusted : 0, alpha);
}

ui::Color ColorManager::makeAppColor(double red, double green, double blue) {
    return adjustedForDarkStyle(ui::Color::rgb(red, green, blue, appColorAlpha), 0.7);
}

const ui::Color& appOrange() {
    static const ui::Color color = ColorManager::makeAppColor(1.0, 0.44, 0.0);
    return color;
}
const ui::Color& appLightOrange() {
    static const ui::Color color = ColorManager::makeAppColor(1.0, 0.63, 0.25);
    return color;
}
const ui::Color& appDarkOrange() {
    static const ui::Color color = ColorManager::makeAppColor(0.77, 0.24, 0.0);
    return color;
}
const ui::Color& appPink() {
    static const ui::Color color = ColorManager::makeAppColor(0.93, 0.25, 0.48);
    return color;
}
const ui::Color& appDarkPink() {
    static const ui::Color color = ColorManager::makeAppColor(0.71, 0.0, 0.31);
    return color;
}
const ui::Color& nearBlackColor() {
    static const ui::Color color = ui::Color::white(0.1, 1.0);
    return color;
}
const ui::Color& groupedBackgroundColor() {
    static const ui::Color color = ui::Color::tertiarySystemGroupedBackground();
    return color;
}
const ui::Color& grayColor() {
    static const ui::Color color = ui::Color::systemGray();
    return color;
}
const ui::Color& secondaryGrayColor() {
    static const ui::Color color = ui::Color::systemGray();
    return color;
}
const ui::Color& labelTextColor() {
    static const ui::Color color = ui::Color::label();
    return color;
}
const ui::Color& secondaryLabelTextColor() {
    static const ui::Color color = ui::Color::label();
    return color;
}
const ui::Color& fieldLayerColor() {
    static const ui::Color color = ui::Color::systemBackground();
    return color;
}
const ui::Color& fieldBorderColor() {
    static const ui::Color color = ui::TraitCollection::isDark() ? ui::Color::systemGray() : ui::Color::systemGray4();
    return color;
}
const ui::Color& enabledFieldBackgroundColor() {
    static const ui::Color color = ui::Color::systemBackground();
    return color;
}
const ui::Color& disabledFieldBackgroundColor() {
    static const ui::Color color = ui::Color::systemFill();
    return color;
}

std::optional<ui::Color> ColorManager::accentColor(int64_t tag) {
    switch (tag) {
        case 101: return appDarkOrange();
        case 102: return appLightOrange();
        case 103: return appOrange();
        case 104: return appPink();
        case 105: return appDarkPink();
        default: return std::nullopt;
    }
}

namespace {

template <typename T>
bool isExactly(const ui::View& view) {
    return typeid(view) == typeid(T);
}

void lightStyleShadow(ui::Layer& layer) {
    if (ui::TraitCollection::isDark()) return;
    layer.masksToBounds = false;
    layer.shadowColor = ui::Color::systemGray();
    layer.shadowOpacity = 0.7;
    layer.shadowOffset = {0, 1.0};
    layer.shadowRadius = 1.0;
}

}  // namespace

void ColorManager::applyColors(ui::View& root) {
    // A copy: styling never adds views, but the walk must not depend on it.
    const auto subviews = root.subviews();
    for (const auto& subview : subviews) {
        ui::View& view = *subview;
        if (isExactly<ui::View>(view)) {
            if (!view.subviews().empty())
                applyColors(view);
            else
                styleView(view);
        } else if (isExactly<ui::StackView>(view)) {
            applyColors(view);
        } else if (isExactly<ui::Button>(view) || isExactly<kit::FlatButton>(view) ||
                   isExactly<kit::FABButton>(view) || isExactly<ui::ImageView>(view)) {
            styleView(view);
        } else if (isExactly<StarRatingView>(view)) {
            applyCardStyle(static_cast<StarRatingView&>(view));
        } else if (isExactly<ui::TextField>(view)) {
            view.layer().backgroundColor = ui::Color::systemBackground();
        }
    }
}

void ColorManager::styleView(ui::View& view) {
    if (auto accent = accentColor(view.tag())) {
        view.setBackgroundColor(*accent);
    } else if (view.tag() == halfTransparentTag) {
        view.setAlpha(ui::TraitCollection::isDark() ? 0.3 : 0.5);
    }
    if (auto* button = dynamic_cast<ui::Button*>(&view)) {
        button->setTitleColor(nearBlackColor(), ui::ControlState::normal);
        button->setTintColor(nearBlackColor());
    }
    if (auto* flat = dynamic_cast<kit::FlatButton*>(&view)) {
        if (ui::ImageView* imageView = flat->imageView()) imageView->setTintColor(nearBlackColor());
    }
    lightStyleShadow(view.layer());
}

void ColorManager::applyCardStyle(StarRatingView& stars) {
    if (auto accent = accentColor(stars.tag())) stars.settings().filledColor = *accent;
    for (const auto& star : stars.layer().sublayers) lightStyleShadow(*star);
}

void ColorManager::addShadow(ui::Layer& layer) {
    addCardShadow(layer);
}
