#include "Calvaro/charts/palette/Palette.h"

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

ui::Color adjustedForDarkStyle(const ui::Color& color, double factor) {
    if (!ui::TraitCollection::isDark()) return color;
    double hue = 0, saturation = 0, brightness = 0, alpha = 0;
    color.getHue(hue, saturation, brightness, alpha);
    const double adjusted = brightness * factor;
    return ui::Color::hsb(hue, saturation, adjusted > 0 ? adjusted : 0, alpha);
}

ui::Color makeAppColor(double red, double green, double blue) {
    return adjustedForDarkStyle(ui::Color::rgb(red, green, blue, 1.0), 0.7);
}

const ui::Color& appOrange() {
    static const ui::Color color = makeAppColor(1.0, 0.44, 0.0);
    return color;
}
const ui::Color& appLightOrange() {
    static const ui::Color color = makeAppColor(1.0, 0.63, 0.25);
    return color;
}
const ui::Color& appDarkOrange() {
    static const ui::Color color = makeAppColor(0.77, 0.24, 0.0);
    return color;
}
const ui::Color& appPink() {
    static const ui::Color color = makeAppColor(0.93, 0.25, 0.48);
    return color;
}
const ui::Color& appDarkPink() {
    static const ui::Color color = makeAppColor(0.71, 0.0, 0.31);
    return color;
}
const ui::Color& nearBlackColor() {
    static const ui::Color color = ui::Color::white(0.1, 1.0);
    return color;
}
const ui::Color& groupedBackgroundColor() {
    static const ui::Color color = ui::Color::tertiarySystemGroupedBackground();
    return color;
}
const ui::Color& grayColor() {
    static const ui::Color color = ui::Color::systemGray();
    return color;
}
const ui::Color& secondaryGrayColor() {
    static const ui::Color color = ui::Color::systemGray();
    return color;
}
const ui::Color& labelTextColor() {
    static const ui::Color color = ui::Color::label();
    return color;
}
const ui::Color& secondaryLabelTextColor() {
    static const ui::Color color = ui::Color::label();
    return color;
}
const ui::Color& fieldLayerColor() {
    static const ui::Color color = ui::Color::systemBackground();
    return color;
}
const ui::Color& fieldBorderColor() {
    static const ui::Color color = ui::TraitCollection::isDark() ? ui::Color::systemGray() : ui::Color::systemGray4();
    return color;
}
const ui::Color& enabledFieldBackgroundColor() {
    static const ui::Color color = ui::Color::systemBackground();
    return color;
}
const ui::Color& disabledFieldBackgroundColor() {
    static const ui::Color color = ui::Color::systemFill();
    return color;
}

void addLightStyleShadow(ui::Layer& layer) {
    if (ui::TraitCollection::isDark()) return;
    layer.masksToBounds = false;
    layer.shadowColor = ui::Color::systemGray();
    layer.shadowOpacity = 0.7;
    layer.shadowOffset = ui::Size{0, 1.0};
    layer.shadowRadius = 1.0;
}

void addCardShadow(ui::Layer& layer) {
    const bool dark = ui::TraitCollection::isDark();
    layer.masksToBounds = false;
    layer.shadowColor = ui::Color::label();
    layer.shadowOpacity = 0.5;
    layer.shadowOffset = dark ? ui::Size{0, 0.0} : ui::Size{0, 1.5};
    layer.shadowRadius = dark ? 1.0 : 2.0;
}
