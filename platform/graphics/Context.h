#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/Path.h"
#include "platform/ui/Color.h"
#include "platform/ui/Geometry.h"

namespace graphics {

// x' = a·x + c·y + e, y' = b·x + d·y + f.
using Transform = std::array<double, 6>;
inline constexpr Transform identityTransform = {1, 0, 0, 1, 0, 0};

// One thing drawn, in the coordinates of its transform.
struct Mark {
    enum class Kind { stroke, fill, text, image };
    Kind kind = Kind::stroke;
    std::string path;  // SVG path data of strokes and fills
    ui::Color color = ui::Color::black();
    double lineWidth = 1;
    std::string lineJoin = "miter";
    std::string text;  // the text drawn, or the image's name
    ui::Font font;
    ui::Rect rect;  // the text's box, or the image's frame
    Transform transform = identityTransform;
};

// The 2D drawing context of custom-drawn views: the graphics state (stack of
// transform, line width, colours), paths, arcs, strokes, fills, text and
// images, recorded as marks and written as SVG. Coordinates are the view's
// points, y pointing down; a positive rotation turns clockwise.
class Context {
  public:
    void saveGState();
    // Restores the last saved state; without one, nothing changes.
    void restoreGState();
    void translateBy(double tx, double ty);
    void rotateBy(double angle);
    void setLineWidth(double width) { state_.lineWidth = width; }
    void setLineJoin(std::string join) { state_.lineJoin = std::move(join); }
    void setStrokeColor(const ui::Color& color) { state_.strokeColor = color; }
    void setFillColor(const ui::Color& color) { state_.fillColor = color; }

    // The current path.
    void moveTo(ui::Point point) { path_.moveTo(point); }
    void addLineTo(ui::Point point) { path_.addLineTo(point); }
    void addArc(ui::Point center, double radius, double startAngle, double endAngle, bool clockwise) {
        path_.addArc(center, radius, startAngle, endAngle, clockwise);
    }
    void addPath(const Path& path);
    // Draw the current path and clear it.
    void strokePath();
    void fillPath();

    void strokeEllipse(const ui::Rect& rect);
    void fillEllipse(const ui::Rect& rect);
    void strokeRect(const ui::Rect& rect);
    void fillRect(const ui::Rect& rect);
    void strokeLine(ui::Point from, ui::Point to);

    // Draws `text` in the box `rect` (its top-left corner is where the first
    // line starts), in `font` and `color` (black when none is given).
    void drawText(const std::string& text, const ui::Rect& rect, const ui::Font& font,
                  const std::optional<ui::Color>& color = std::nullopt);
    void drawImage(const std::string& name, const ui::Rect& rect);

    // The size of `text` on one line in `font`, as the page draws it.
    static ui::Size measureText(const std::string& text, const ui::Font& font);

    const std::vector<Mark>& marks() const { return marks_; }
    // The marks as SVG elements (no <svg> around them).
    std::string svgElements() const;

  private:
    struct State {
        Transform transform = identityTransform;
        double lineWidth = 1;
        std::string lineJoin = "miter";
        ui::Color strokeColor = ui::Color::black();
        ui::Color fillColor = ui::Color::black();
    };
    void paint(Mark::Kind kind, const Path& path);
    State state_;
    std::vector<State> saved_;
    Path path_;
    std::vector<Mark> marks_;
};

// Text fit for HTML and SVG element content and attribute values.
std::string escapeMarkup(const std::string& text);
// "rgba(r,g,b,a)" of a colour, as CSS and SVG take it (pattern colours grey).
std::string cssColor(const ui::Color& color);
// CSS font declarations of a font on the page's faces.
std::string cssFont(const ui::Font& font);

}  // namespace graphics
