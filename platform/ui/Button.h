#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"

namespace ui {

enum class ControlEvent { touchUpInside = 0, valueChanged = 1, editingChanged = 2 };
enum class ControlState { normal = 0, highlighted = 1, disabled = 2, selected = 4 };

// A view that sends actions. A target is a function; a caller that must not
// be kept alive captures a weak pointer.
class Control : public View {
  public:
    using Action = std::function<void(Control& sender)>;
    using View::View;
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isSelected() const { return selected_; }
    void setSelected(bool selected) { selected_ = selected; }
    void addTarget(ControlEvent event, Action action);
    void removeAllTargets() { targets_.clear(); }
    size_t targetCount(ControlEvent event) const;
    // Runs the actions of `event` in the order they were added.
    void sendActions(ControlEvent event);

  private:
    bool enabled_ = true;
    bool selected_ = false;
    std::vector<std::pair<ControlEvent, Action>> targets_;
};

// A target that runs `action` on `owner` while it lives and does nothing
// after: controls never keep their screen (or cell) alive.
template <class T, class Owner>
Control::Action weakTarget(const std::shared_ptr<Owner>& owner, void (T::*action)()) {
    return [weak = std::weak_ptr<Owner>(owner), action](Control&) {
        if (auto self = weak.lock()) (static_cast<T&>(*self).*action)();
    };
}

class Button : public Control {
  public:
    Button();
    explicit Button(const Rect& frame);
    // The title for a state; a state without its own title shows the normal one.
    std::string title(ControlState state = ControlState::normal) const;
    void setTitle(std::string title, ControlState state = ControlState::normal);
    std::optional<Color> titleColor(ControlState state = ControlState::normal) const;
    void setTitleColor(std::optional<Color> color, ControlState state = ControlState::normal);
    std::shared_ptr<const Image> image(ControlState state = ControlState::normal) const;
    void setImage(std::shared_ptr<const Image> image, ControlState state = ControlState::normal);
    // Made with the button, as the platform's lazily made labels are.
    Label& titleLabel() { return *titleLabel_; }
    const Label& titleLabel() const { return *titleLabel_; }
    // Present once the button has an image.
    ImageView* imageView() const { return imageView_.get(); }
    EdgeInsets contentEdgeInsets() const { return contentInsets_; }
    void setContentEdgeInsets(const EdgeInsets& insets) { contentInsets_ = insets; }

    // A tap as the user makes it: touch-up-inside when enabled.
    void tap();

    std::string snapshotDescription() const override;
    bool snapshotListsSubviews() const override { return false; }

  protected:
    // "button"; the kit's buttons name themselves.
    virtual std::string snapshotKind() const { return "button"; }

  private:
    std::map<ControlState, std::string> titles_;
    std::map<ControlState, Color> titleColors_;
    std::map<ControlState, std::shared_ptr<const Image>> images_;
    std::shared_ptr<Label> titleLabel_;
    std::shared_ptr<ImageView> imageView_;
    EdgeInsets contentInsets_;
};

}  // namespace ui
