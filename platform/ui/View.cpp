#include "platform/ui/View.h"

#include <algorithm>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/Window.h"

namespace ui {

void Layer::addAnimation(const std::string& key, LayerAnimation animation, std::function<void()> completion) {
    animation.beginTime = dispatch::Clock::uptimeNow();
    const double duration = animation.duration;
    animations[key] = std::move(animation);
    if (!completion) return;
    dispatch::MainQueue::shared()->asyncAfter(duration, std::move(completion));
}

double Layer::presentationValue(const std::string& keyPath, double modelValue) const {
    const double now = dispatch::Clock::uptimeNow();
    for (const auto& [key, a] : animations) {
        if (a.keyPath != keyPath || now < a.beginTime) continue;
        const double t = a.duration > 0 ? (now - a.beginTime) / a.duration : 1.0;
        if (t >= 1.0) {
            if (a.removedOnCompletion) continue;
            return a.to;
        }
        return a.from + (a.to - a.from) * t;
    }
    return modelValue;
}

View::View() : layer_(std::make_shared<Layer>()) {}
View::View(const Rect& frame) : frame_(frame), layer_(std::make_shared<Layer>()) {}
View::View(const Rect& frame, std::shared_ptr<Layer> layer) : frame_(frame), layer_(std::move(layer)) {}

View::~View() {
    for (auto& sub : subviews_) sub->superview_ = nullptr;
}

void View::setFrame(const Rect& frame) {
    frame_ = frame;
    needsLayout_ = true;
}

void View::setCenter(const Point& center) {
    frame_.origin = {center.x - frame_.width() / 2, center.y - frame_.height() / 2};
}

Color View::tintColor() const {
    for (const View* v = this; v; v = v->superview_)
        if (v->tintColor_) return *v->tintColor_;
    return Color::rgb(0, 122 / 255.0, 1.0);  // the platform's default blue
}

void View::addSubview(std::shared_ptr<View> view) {
    insertSubview(std::move(view), subviews_.size());
}

void View::insertSubview(std::shared_ptr<View> view, size_t index) {
    if (!view || view.get() == this) return;
    // Adding a view that is already a subview moves it, as on the platform.
    std::shared_ptr<View> keep = view;
    if (view->superview_) view->removeFromSuperview();
    index = std::min(index, subviews_.size());
    subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), view);
    view->superview_ = this;
    view->didMoveToSuperview();
}

void View::removeFromSuperview() {
    View* parent = superview_;
    if (!parent) return;
    std::shared_ptr<View> keep = weak_from_this().lock();
    auto& list = parent->subviews_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& v) { return v.get() == this; }),
               list.end());
    superview_ = nullptr;
    didMoveToSuperview();
}

void View::bringSubviewToFront(View* view) {
    auto it =
        std::find_if(subviews_.begin(), subviews_.end(), [view](const auto& v) { return v.get() == view; });
    if (it == subviews_.end()) return;
    auto keep = *it;
    subviews_.erase(it);
    subviews_.push_back(keep);
}

std::shared_ptr<View> View::viewWithTag(int64_t tag) {
    if (tag_ == tag) return shared_from_this();
    for (const auto& sub : subviews_)
        if (auto found = sub->viewWithTag(tag)) return found;
    return nullptr;
}

bool View::isDescendant(const View* ancestor) const {
    for (const View* v = this; v; v = v->superview_)
        if (v == ancestor) return true;
    return false;
}

Window* View::window() const {
    const View* v = this;
    while (v->superview_) v = v->superview_;
    return v->window_;
}

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    for (const auto& sub : std::vector<std::shared_ptr<View>>(subviews_)) sub->layoutIfNeeded();
}

std::string View::snapshotDescription() const {
    return "";
}

std::vector<std::shared_ptr<View>> View::snapshotSubviews() const {
    return snapshotListsSubviews() ? subviews_ : std::vector<std::shared_ptr<View>>{};
}

void View::animate(double duration, double delay, AnimationCurve, const std::function<void()>& animations,
                   std::function<void(bool)> completion) {
    if (animations) animations();
    if (!completion) return;
    dispatch::MainQueue::shared()->asyncAfter(std::max(0.0, duration + delay),
                                              [completion = std::move(completion)] { completion(true); });
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    out += '"';
    return out;
}

void StackView::layoutSubviews() {
    std::vector<View*> shown;
    for (const auto& sub : subviews())
        if (!sub->isHidden()) shown.push_back(sub.get());
    if (shown.empty()) return;
    const bool vertical = axis_ == Axis::vertical;
    const double length = vertical ? frame().height() : frame().width();
    const double share =
        std::max(0.0, (length - spacing_ * static_cast<double>(shown.size() - 1)) / static_cast<double>(shown.size()));
    double at = 0;
    for (View* view : shown) {
        view->setFrame(vertical ? Rect(0, at, frame().width(), share) : Rect(at, 0, share, frame().height()));
        view->setNeedsLayout();
        at += share + spacing_;
    }
}

}  // namespace ui
