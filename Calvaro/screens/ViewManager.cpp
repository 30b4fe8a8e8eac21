#include "Calvaro/screens/ViewManager.h"

#include <algorithm>
#include <optional>
#include <typeinfo>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Application.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/Traits.h"

namespace {

const ui::Color& toastBackgroundBase() {
    static const ui::Color color = ui::Color::label();
    return color;
}

const ui::Color& toastTextColor() {
    static const ui::Color color = ui::Color::tertiarySystemGroupedBackground();
    return color;
}

// The frames, in the coordinates of the view `view` lies in at `origin`, of
// the controls a person can reach in it. A scroll view's content moves under
// a toast anyway and is left out.
void reachableControls(const ui::View& view, ui::Point origin, std::vector<ui::Rect>& out) {
    if (view.isHidden() || view.alpha() <= 0 || !view.isUserInteractionEnabled()) return;
    const ui::Rect f = view.frame();
    const ui::Point at{origin.x + f.x(), origin.y + f.y()};
    if (dynamic_cast<const ui::Control*>(&view)) out.emplace_back(at.x, at.y, f.width(), f.height());
    if (dynamic_cast<const ui::ScrollView*>(&view)) return;
    for (const auto& subview : view.subviews()) reachableControls(*subview, at, out);
}

bool overlaps(const ui::Rect& a, const ui::Rect& b) {
    return a.x() < b.maxX() && b.x() < a.maxX() && a.y() < b.maxY() && b.y() < a.maxY();
}

// Where a toast of `size` goes in `root`: over the bottom, 120 points above
// its end, unless a control lies there (the Calculate screen's keypad fills
// the bottom of a phone, and a key under a toast cannot be tapped for five
// seconds); then the lowest place above that covers none. With no such
// place it stays over the bottom.
double toastTop(const ui::View& root, double x, ui::Size size) {
    const double bottomPlace = root.frame().height() - 120.0;
    std::vector<ui::Rect> controls;
    for (const auto& subview : root.subviews()) reachableControls(*subview, {0, 0}, controls);
    // Each step moves above the highest control covered, so it ends after at
    // most one step per control.
    for (double y = bottomPlace; y >= 0;) {
        const ui::Rect place(x, y, size.width, size.height);
        std::optional<double> highestCovered;
        for (const ui::Rect& control : controls)
            if (overlaps(place, control)) highestCovered = std::min(highestCovered.value_or(control.y()), control.y());
        if (!highestCovered) return y;
        y = *highestCovered - size.height;
    }
    return bottomPlace;
}

const ui::Color& spinnerDarkColor() {
    static const ui::Color color = ui::Color::white(0.9, 1.0);
    return color;
}

}  // namespace

ui::Window* ViewManager::keyWindow() {
    const auto& scenes = ui::Application::shared().connectedScenes();
    if (scenes.empty()) return nullptr;
    auto* scene = dynamic_cast<ui::WindowScene*>(scenes.front().get());
    if (!scene || scene->windows().empty()) return nullptr;
    return scene->windows().front().get();
}

void ViewManager::showToast(const std::string& message) {
    ui::Window* window = keyWindow();
    if (!window || !window->rootViewController()) return;
    const std::shared_ptr<ui::View>& root = window->rootViewController()->view();
    if (!root) return;
    const double w = root->frame().width();
    const double x = w * 0.5 - w * 0.9 * 0.5;
    auto toast = std::make_shared<ui::Label>(ui::Rect(x, toastTop(*root, x, {w * 0.9, 40.0}), w * 0.9, 40.0));
    toast->setBackgroundColor(toastBackgroundBase().withAlphaComponent(0.8));
    toast->setTextColor(toastTextColor());
    toast->setFont(ui::Font::named("Avenir-Book", 14.0));
    toast->setTextAlignment(ui::TextAlignment::center);
    toast->setText(message);
    toast->setAlpha(1.0);
    toast->layer().cornerRadius = 10.0;
    toast->setClipsToBounds(true);
    toast->setNumberOfLines(2);
    root->addSubview(toast);
    dispatch::MainQueue::shared()->asyncAfter(toastDuration, [toast] { fadeOut(toast); });
}

void ViewManager::fadeOut(const std::shared_ptr<ui::View>& view) {
    ui::View::animate(
        fadeOutDuration, 0, ui::AnimationCurve::easeOut, [view] { view->setAlpha(0); },
        [view](bool) { view->removeFromSuperview(); });
}

void ViewManager::showLoadingOverlay() {
    dispatch::MainQueue::shared()->async([] {
        ui::Window* window = keyWindow();
        if (!window || window->viewWithTag(loadingOverlayTag)) return;
        auto overlay = std::make_shared<ui::View>(window->frame());
        overlay->setTag(loadingOverlayTag);
        overlay->setBackgroundColor(ui::Color::white(0.0, 0.7));
        auto spinner = std::make_shared<ui::ActivityIndicatorView>(ui::ActivityIndicatorView::Style::large);
        spinner->setCenter(overlay->frame().center());
        spinner->setColor(ui::TraitCollection::isDark() ? spinnerDarkColor() : toastTextColor());
        spinner->startAnimating();
        overlay->addSubview(spinner);
        // Over the screens, under what is presented (an alert asked for at
        // the same time lies above it, as the platform's alerts do).
        const auto subviews = window->subviews();
        size_t at = subviews.size();
        const auto root = window->rootViewController();
        for (size_t i = 0; i < subviews.size(); ++i)
            if (root && root->isViewLoaded() && subviews[i] == root->view()) at = i + 1;
        window->insertSubview(overlay, at);
    });
}

void ViewManager::hideLoadingOverlay() {
    dispatch::MainQueue::shared()->async([] {
        ui::Window* window = keyWindow();
        if (!window) return;
        if (auto overlay = window->viewWithTag(loadingOverlayTag)) overlay->removeFromSuperview();
    });
}

void ViewManager::fixSegmentedControlImages(ui::View& root) {
    const auto subviews = root.subviews();
    for (const auto& subview : subviews) {
        const ui::View& view = *subview;
        const std::type_info& type = typeid(view);
        if ((type == typeid(ui::View) || type == typeid(ui::StackView)) && !subview->subviews().empty()) {
            fixSegmentedControlImages(*subview);
        } else if (type == typeid(ui::SegmentedControl)) {
            for (const auto& segment : subview->subviews())
                for (const auto& inner : segment->subviews())
                    if (auto* image = dynamic_cast<ui::ImageView*>(inner.get()))
                        image->setContentMode(ui::ContentMode::scaleAspectFit);
        }
    }
}
