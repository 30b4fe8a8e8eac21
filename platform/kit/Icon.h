#pragma once

#include <memory>
#include <string>

#include "platform/ui/Color.h"
#include "platform/ui/ImageView.h"

namespace kit {

// The kit's icons, as images named after the icon ("menu", "share", ...).
struct Icon {
    static std::shared_ptr<const ui::Image> named(const std::string& name);
    static std::shared_ptr<const ui::Image> menu() { return named("menu"); }
    static std::shared_ptr<const ui::Image> arrowBack() { return named("arrowBack"); }
    static std::shared_ptr<const ui::Image> check() { return named("check"); }
    static std::shared_ptr<const ui::Image> share() { return named("share"); }
    static std::shared_ptr<const ui::Image> edit() { return named("edit"); }
    static std::shared_ptr<const ui::Image> clear() { return named("clear"); }
    static std::shared_ptr<const ui::Image> close() { return named("close"); }
    static std::shared_ptr<const ui::Image> add() { return named("add"); }
    static std::shared_ptr<const ui::Image> moreVertical() { return named("moreVertical"); }
};

// The kit's colour constants used here.
struct MaterialColor {
    static ui::Color blueGreyLighten5();
};

enum class DepthPreset { none = 0, depth1, depth2, depth3, depth4, depth5 };

}  // namespace kit
