#include "Calvaro/screens/ColorManager.h"

#include <cstdio>
#include <typeinfo>

#include "platform/kit/Buttons.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

ui::Color ColorManager::makeAppColor(double red, double green, double blue) {
    return ::makeAppColor(red, green, blue);
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
    addLightStyleShadow(view.layer());
}

void ColorManager::applyCardStyle(StarRatingView& stars) {
    if (auto accent = accentColor(stars.tag())) stars.settings().filledColor = *accent;
    stars.setNeedsLayout();
    for (const auto& star : stars.layer().sublayers) addLightStyleShadow(*star);
}

void ColorManager::addShadow(ui::Layer& layer) { addCardShadow(layer); }
