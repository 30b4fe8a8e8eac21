#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/kit/Icon.h"
#include "platform/ui/Button.h"

namespace kit {

// The kit's buttons: plain buttons that carry the kit's class (screens
// style them by exact class) and name themselves in snapshots.
class Button : public ui::Button {
  public:
    using ui::Button::Button;
    DepthPreset depthPreset() const { return depth_; }
    void setDepthPreset(DepthPreset depth) { depth_ = depth; }
    std::optional<ui::Color> pulseColor() const { return pulse_; }
    void setPulseColor(std::optional<ui::Color> color) { pulse_ = std::move(color); }

  private:
    DepthPreset depth_ = DepthPreset::none;
    std::optional<ui::Color> pulse_;
};

class FlatButton : public Button {
  public:
    FlatButton() = default;
    FlatButton(const std::string& title, std::optional<ui::Color> titleColor = std::nullopt);

  protected:
    std::string snapshotKind() const override { return "flat-button"; }
};

class RaisedButton : public Button {
  public:
    RaisedButton() = default;
    RaisedButton(const std::string& title, std::optional<ui::Color> titleColor = std::nullopt);

  protected:
    std::string snapshotKind() const override { return "raised-button"; }
};

// The floating action button.
class FABButton : public Button {
  public:
    FABButton() = default;
    FABButton(std::shared_ptr<const ui::Image> image, std::optional<ui::Color> tintColor = std::nullopt);

  protected:
    std::string snapshotKind() const override { return "fab-button"; }
};

class IconButton : public Button {
  public:
    IconButton() = default;
    IconButton(std::shared_ptr<const ui::Image> image, std::optional<ui::Color> tintColor = std::nullopt);
    explicit IconButton(const std::string& title, std::optional<ui::Color> titleColor = std::nullopt);

  protected:
    std::string snapshotKind() const override { return "icon-button"; }
};

}  // namespace kit
