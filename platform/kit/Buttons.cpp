#include "platform/kit/Buttons.h"

namespace kit {

FlatButton::FlatButton(const std::string& title, std::optional<ui::Color> titleColor) {
    setTitle(title);
    setTitleColor(std::move(titleColor));
}

RaisedButton::RaisedButton(const std::string& title, std::optional<ui::Color> titleColor) {
    setTitle(title);
    setTitleColor(std::move(titleColor));
    setDepthPreset(DepthPreset::depth1);
}

FABButton::FABButton(std::shared_ptr<const ui::Image> image, std::optional<ui::Color> tintColor) {
    setImage(std::move(image));
    setTintColor(std::move(tintColor));
    setDepthPreset(DepthPreset::depth1);
}

IconButton::IconButton(std::shared_ptr<const ui::Image> image, std::optional<ui::Color> tintColor) {
    setImage(std::move(image));
    setTintColor(std::move(tintColor));
}

IconButton::IconButton(const std::string& title, std::optional<ui::Color> titleColor) {
    setTitle(title);
    setTitleColor(std::move(titleColor));
}

}  // namespace kit
