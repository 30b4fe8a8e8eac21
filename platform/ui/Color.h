#pragma once

#include <optional>
#include <string>

namespace ui {

// A colour. Plain colours hold their components; the system colours are
// dynamic and give their components for the interface style current at the
// moment they are asked (a label colour is black in light style and white in
// dark style), as on the platform.
class Color {
  public:
    Color() = default;  // clear (transparent black)
    static Color rgb(double red, double green, double blue, double alpha = 1.0);
    static Color white(double white, double alpha = 1.0);
    static Color hsb(double hue, double saturation, double brightness, double alpha = 1.0);
    // A colour with one look per interface style.
    static Color dynamic(const Color& light, const Color& dark, std::string name);
    // A colour without components (a pattern); getRed and getHue fail on it.
    static Color pattern(std::string name);

    static Color clear();
    static Color black();
    static Color whiteColor();
    static Color red();
    static Color orange();
    static Color blue();
    // System colours (dynamic).
    static Color label();
    static Color secondaryLabel();
    static Color systemBackground();
    static Color secondarySystemBackground();
    static Color tertiarySystemGroupedBackground();
    static Color systemGray();
    static Color systemGray4();
    static Color systemFill();

    // Components for the current interface style; false for a pattern.
    bool getRed(double& red, double& green, double& blue, double& alpha) const;
    bool getHue(double& hue, double& saturation, double& brightness, double& alpha) const;
    // This colour resolved for the current style, as a plain colour.
    Color resolved() const;
    Color withAlphaComponent(double alpha) const;
    double alpha() const;

    // "#rrggbb" or "#rrggbbaa" of the resolved colour, or the dynamic colour's
    // name; for snapshots and test messages.
    std::string description() const;
    const std::string& name() const { return name_; }
    bool isDynamic() const { return dynamic_; }

    // Equal when they are the same dynamic colour or resolve to the same components.
    bool operator==(const Color& other) const;

  private:
    double r_ = 0, g_ = 0, b_ = 0, a_ = 0;
    double darkR_ = 0, darkG_ = 0, darkB_ = 0, darkA_ = 0;
    bool dynamic_ = false;
    bool pattern_ = false;
    std::string name_;
};

// A font by name and size.
struct Font {
    std::string name = "SystemFont";
    double size = 17.0;
    std::string weight = "regular";

    static Font named(std::string name, double size) { return Font{std::move(name), size, "regular"}; }
    // The font of that name when the device has it, as the platform answers
    // nil for a name it cannot load (the Avenir and Helvetica Neue families
    // are installed).
    static std::optional<Font> loaded(const std::string& name, double size);
    static Font system(double size, std::string weight = "regular") {
        return Font{"SystemFont", size, std::move(weight)};
    }
    // The preferred font of a text style ("title1", "body", ...).
    static Font preferred(const std::string& textStyle);
    bool operator==(const Font&) const = default;
};

}  // namespace ui
