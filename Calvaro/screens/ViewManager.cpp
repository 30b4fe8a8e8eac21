#include "Calvaro/screens/ViewManager.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "platform/dispatch/MainQueue.h"
#include "platform/graphics/Context.h"
#include "platform/ui/Application.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
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

// The lines `text` takes when wrapped at blanks into `width` points in
// `font`; a word wider than the line takes as many lines as it spans.
int64_t viewManagerWrappedLines(const std::string& text, const ui::Font& font, double width) {
    const double blank = graphics::Context::measureText(" ", font).width;
    int64_t lines = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string paragraph = text.substr(start, end - start);
        int64_t taken = 1;
        double used = -1;  // no word on the line yet
        size_t at = 0;
        while (at < paragraph.size()) {
            const size_t wordEnd = std::min(paragraph.find(' ', at), paragraph.size());
            if (wordEnd > at) {
                const double word = graphics::Context::measureText(paragraph.substr(at, wordEnd - at), font).width;
                if (used >= 0 && used + blank + word <= width) {
                    used += blank + word;
                } else {
                    if (used >= 0) ++taken;
                    const auto spanned = static_cast<int64_t>(std::max(1.0, std::ceil(word / width)));
                    taken += spanned - 1;
                    used = word - (spanned - 1) * width;
                }
            }
            at = wordEnd + 1;
        }
        lines += taken;
        start = end + 1;
    }
    return lines;
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
    const double h = root->frame().height();
    const ui::Font font = ui::Font::named("Avenir-Book", 14.0);
    // Forty points hold two lines; a longer text (a refusal that says why,
    // a narrow phone) adds a line's height for each further line, so that no
    // line is cut. The lines are counted a little narrower than the box, as
    // the glyphs drawn may run wider than measured.
    const double lineHeight = graphics::Context::measureText("", font).height;
    const int64_t lines = viewManagerWrappedLines(message, font, w * 0.9 - 16.0);
    const double height = 40.0 + static_cast<double>(std::max<int64_t>(0, lines - 2)) * lineHeight;
    // Over the keypad's last rows: a toast takes no touches, so the keys
    // under it still answer. It grows upwards: its bottom stays where a
    // toast of two lines ends, so a long text never reaches further down
    // over the keypad than a short one.
    auto toast = std::make_shared<ui::Label>(ui::Rect(w * 0.5 - w * 0.9 * 0.5, h - 80.0 - height, w * 0.9, height));
    toast->setBackgroundColor(toastBackgroundBase().withAlphaComponent(0.8));
    toast->setTextColor(toastTextColor());
    toast->setFont(font);
    toast->setTextAlignment(ui::TextAlignment::center);
    toast->setText(message);
    toast->setAlpha(1.0);
    toast->layer().cornerRadius = 10.0;
    toast->setClipsToBounds(true);
    toast->setNumberOfLines(std::max<int64_t>(2, lines));
    toast->setTag(toastTag);
    const std::vector<std::shared_ptr<ui::View>> shown = root->subviews();
    for (const auto& view : shown) {
        if (view->tag() == toastTag) view->removeFromSuperview();
    }
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
