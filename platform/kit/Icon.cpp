#include "platform/kit/Icon.h"

namespace kit {

std::shared_ptr<const ui::Image> Icon::named(const std::string& name) {
    ui::Image::noteAskedFor(name);
    return std::make_shared<ui::Image>(name, ui::Size{24, 24});
}

ui::Color MaterialColor::blueGreyLighten5() {
    return ui::Color::rgb(0xEC / 255.0, 0xEF / 255.0, 0xF1 / 255.0);
}

}  // namespace kit
