#include "Calvaro/charts/ChartColors.h"

#include <cstdio>

#include "platform/ui/Traits.h"

std::optional<std::string> hexString(const ui::Color& color) {
    double red = 0, green = 0, blue = 0, alpha = 0;
    if (!color.getRed(red, green, blue, alpha)) return std::nullopt;
    const long r = static_cast<long>(red * 255);
    const long g = static_cast<long>(green * 255);
    const long b = static_cast<long>(blue * 255);
    char text[32];
    std::snprintf(text, sizeof text, "#%06lx", static_cast<unsigned long>((r << 16) | (g << 8) | b));
    return std::string(text);
}

void addCardShadow(ui::Layer& layer) {
    const bool dark = ui::TraitCollection::isDark();
    layer.masksToBounds = false;
    layer.shadowColor = ui::Color::label();
    layer.shadowOpacity = 0.5;
    layer.shadowOffset = dark ? ui::Size{0, 0.0} : ui::Size{0, 1.5};
    layer.shadowRadius = dark ? 1.0 : 2.0;
}
