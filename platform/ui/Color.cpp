#include "platform/ui/Color.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/ui/Traits.h"

namespace ui {

Color Color::rgb(double red, double green, double blue, double alpha) {
    Color c;
    c.r_ = red;
    c.g_ = green;
    c.b_ = blue;
    c.a_ = alpha;
    return c;
}

Color Color::white(double white, double alpha) {
    return rgb(white, white, white, alpha);
}

Color Color::hsb(double hue, double saturation, double brightness, double alpha) {
    // The usual sector conversion; hue in 0..1.
    double h = hue - std::floor(hue);
    double s = std::clamp(saturation, 0.0, 1.0);
    double v = brightness;
    double sector = h * 6.0;
    int i = static_cast<int>(std::floor(sector)) % 6;
    double f = sector - std::floor(sector);
    double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (i) {
        case 0:
            return rgb(v, t, p, alpha);
        case 1:
            return rgb(q, v, p, alpha);
        case 2:
            return rgb(p, v, t, alpha);
        case 3:
            return rgb(p, q, v, alpha);
        case 4:
            return rgb(t, p, v, alpha);
        default:
            return rgb(v, p, q, alpha);
    }
}

Color Color::dynamic(const Color& light, const Color& dark, std::string name) {
    Color l = light.resolved(), d = dark.resolved();
    Color c = l;
    c.darkR_ = d.r_;
    c.darkG_ = d.g_;
    c.darkB_ = d.b_;
    c.darkA_ = d.a_;
    c.dynamic_ = true;
    c.name_ = std::move(name);
    return c;
}

Color Color::pattern(std::string name) {
    Color c;
    c.pattern_ = true;
    c.name_ = std::move(name);
    return c;
}

Color Color::clear() {
    return rgb(0, 0, 0, 0);
}
Color Color::black() {
    return rgb(0, 0, 0, 1);
}
Color Color::whiteColor() {
    return rgb(1, 1, 1, 1);
}
Color Color::red() {
    return rgb(1, 0, 0, 1);
}
Color Color::orange() {
    return rgb(1, 0.5, 0, 1);
}
Color Color::blue() {
    return rgb(0, 0, 1, 1);
}

// The platform's published values of its system colours.
Color Color::label() {
    return dynamic(black(), whiteColor(), "label");
}
Color Color::secondaryLabel() {
    return dynamic(rgb(60 / 255.0, 60 / 255.0, 67 / 255.0, 0.6),
                   rgb(235 / 255.0, 235 / 255.0, 245 / 255.0, 0.6), "secondaryLabel");
}
Color Color::systemBackground() {
    return dynamic(whiteColor(), black(), "systemBackground");
}
Color Color::secondarySystemBackground() {
    return dynamic(rgb(242 / 255.0, 242 / 255.0, 247 / 255.0), rgb(28 / 255.0, 28 / 255.0, 30 / 255.0),
                   "secondarySystemBackground");
}
Color Color::tertiarySystemGroupedBackground() {
    return dynamic(rgb(242 / 255.0, 242 / 255.0, 247 / 255.0), rgb(44 / 255.0, 44 / 255.0, 46 / 255.0),
                   "tertiarySystemGroupedBackground");
}
Color Color::systemGray() {
    return dynamic(rgb(142 / 255.0, 142 / 255.0, 147 / 255.0), rgb(142 / 255.0, 142 / 255.0, 147 / 255.0),
                   "systemGray");
}
Color Color::systemGray4() {
    return dynamic(rgb(209 / 255.0, 209 / 255.0, 214 / 255.0), rgb(58 / 255.0, 58 / 255.0, 60 / 255.0),
                   "systemGray4");
}
Color Color::systemFill() {
    return dynamic(rgb(120 / 255.0, 120 / 255.0, 128 / 255.0, 0.2),
                   rgb(120 / 255.0, 120 / 255.0, 128 / 255.0, 0.36), "systemFill");
}

Color Color::resolved() const {
    if (!dynamic_) return *this;
    if (TraitCollection::isDark()) return rgb(darkR_, darkG_, darkB_, darkA_);
    return rgb(r_, g_, b_, a_);
}

bool Color::getRed(double& red, double& green, double& blue, double& alpha) const {
    if (pattern_) return false;
    Color c = resolved();
    red = c.r_;
    green = c.g_;
    blue = c.b_;
    alpha = c.a_;
    return true;
}

bool Color::getHue(double& hue, double& saturation, double& brightness, double& alpha) const {
    double r, g, b, a;
    if (!getRed(r, g, b, a)) return false;
    double maxC = std::max({r, g, b}), minC = std::min({r, g, b});
    double delta = maxC - minC;
    brightness = maxC;
    saturation = maxC > 0 ? delta / maxC : 0;
    double h = 0;
    if (delta > 0) {
        if (maxC == r)
            h = (g - b) / delta;
        else if (maxC == g)
            h = 2 + (b - r) / delta;
        else
            h = 4 + (r - g) / delta;
        h /= 6;
        if (h < 0) h += 1;
    }
    hue = h;
    alpha = a;
    return true;
}

Color Color::withAlphaComponent(double alpha) const {
    Color c = *this;
    c.a_ = alpha;
    c.darkA_ = alpha;
    if (c.dynamic_) c.name_ += "@" + std::to_string(static_cast<int>(std::lround(alpha * 100)));
    return c;
}

double Color::alpha() const {
    return resolved().a_;
}

std::string Color::description() const {
    if (pattern_) return "pattern:" + name_;
    if (dynamic_) return name_;
    auto byte = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    char text[16];
    if (a_ >= 1.0)
        std::snprintf(text, sizeof text, "#%02x%02x%02x", byte(r_), byte(g_), byte(b_));
    else
        std::snprintf(text, sizeof text, "#%02x%02x%02x%02x", byte(r_), byte(g_), byte(b_), byte(a_));
    return text;
}

bool Color::operator==(const Color& other) const {
    if (pattern_ || other.pattern_) return pattern_ == other.pattern_ && name_ == other.name_;
    if (dynamic_ && other.dynamic_) return name_ == other.name_;
    Color a = resolved(), b = other.resolved();
    auto near = [](double x, double y) { return std::fabs(x - y) < 1e-9; };
    return near(a.r_, b.r_) && near(a.g_, b.g_) && near(a.b_, b.b_) && near(a.a_, b.a_);
}

std::optional<Font> Font::loaded(const std::string& name, double size) {
    static const char* const families[] = {"Avenir-", "AvenirNext-", "HelveticaNeue"};
    for (const char* family : families)
        if (name.rfind(family, 0) == 0) return named(name, size);
    return std::nullopt;
}

Font Font::preferred(const std::string& textStyle) {
    static const std::pair<const char*, double> sizes[] = {
        {"largeTitle", 34}, {"title1", 28},   {"title2", 22},   {"title3", 20},
        {"headline", 17},   {"body", 17},     {"callout", 16},  {"subheadline", 15},
        {"footnote", 13},   {"caption1", 12}, {"caption2", 11},
    };
    for (const auto& [name, size] : sizes)
        if (textStyle == name)
            return Font{"SystemFont", size, textStyle == "headline" ? "semibold" : "regular"};
    return Font{};
}

}  // namespace ui
