#include "platform/ui/Button.h"

#include <algorithm>

namespace ui {

void Control::addTarget(ControlEvent event, Action action) {
    if (action) targets_.emplace_back(event, std::move(action));
}

size_t Control::targetCount(ControlEvent event) const {
    return static_cast<size_t>(
        std::count_if(targets_.begin(), targets_.end(), [event](const auto& t) { return t.first == event; }));
}

void Control::sendActions(ControlEvent event) {
    // A copy: an action may add or remove targets, or drop the control.
    auto keep = weak_from_this().lock();
    auto targets = targets_;
    for (auto& [e, action] : targets)
        if (e == event) action(*this);
}

Button::Button() : Button(Rect()) {}

Button::Button(const Rect& frame) : Control(frame), titleLabel_(std::make_shared<Label>()) {}

std::string Button::title(ControlState state) const {
    auto it = titles_.find(state);
    if (it == titles_.end()) it = titles_.find(ControlState::normal);
    return it == titles_.end() ? "" : it->second;
}

void Button::setTitle(std::string title, ControlState state) {
    if (state == ControlState::normal) titleLabel_->setText(title);
    titles_[state] = std::move(title);
    if (!titleLabel_->superview()) addSubview(titleLabel_);
}

std::optional<Color> Button::titleColor(ControlState state) const {
    auto it = titleColors_.find(state);
    if (it == titleColors_.end()) it = titleColors_.find(ControlState::normal);
    if (it == titleColors_.end()) return std::nullopt;
    return it->second;
}

void Button::setTitleColor(std::optional<Color> color, ControlState state) {
    if (color)
        titleColors_[state] = *color;
    else
        titleColors_.erase(state);
    if (state == ControlState::normal) titleLabel_->setTextColor(color);
}

std::shared_ptr<const Image> Button::image(ControlState state) const {
    auto it = images_.find(state);
    if (it == images_.end()) it = images_.find(ControlState::normal);
    return it == images_.end() ? nullptr : it->second;
}

void Button::setImage(std::shared_ptr<const Image> image, ControlState state) {
    images_[state] = image;
    if (state != ControlState::normal) return;
    if (!imageView_) {
        imageView_ = std::make_shared<ImageView>();
        addSubview(imageView_);
    }
    imageView_->setImage(std::move(image));
}

void Button::tap() {
    if (isEnabled() && !isHidden()) sendActions(ControlEvent::touchUpInside);
}

std::string Button::snapshotDescription() const {
    std::string line = snapshotKind();
    std::string text = title();
    if (!text.empty())
        line += " " + ui::quoted(text);
    else if (auto img = image())
        line += " [" + img->name() + "]";
    if (!accessibilityIdentifier().empty()) line += " #" + accessibilityIdentifier();
    if (!isEnabled()) line += " disabled";
    if (isSelected()) line += " selected";
    return line;
}

}  // namespace ui
