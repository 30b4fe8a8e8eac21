#pragma once

#include <string>
#include <vector>

#include "platform/ui/Geometry.h"

namespace graphics {

// A path in view points, kept as SVG path data. Angles are in radians,
// measured from the x axis toward the y axis, which points down: "clockwise"
// is clockwise on the screen.
class Path {
  public:
    void moveTo(ui::Point point);
    void addLineTo(ui::Point point);
    // An arc from `startAngle` to `endAngle`; a sweep of a whole turn or more
    // in its direction is a full circle. Joins the current point with a line.
    void addArc(ui::Point center, double radius, double startAngle, double endAngle, bool clockwise);
    void addEllipse(const ui::Rect& rect);
    void addRect(const ui::Rect& rect);
    void addRoundedRect(const ui::Rect& rect, double cornerRadius);
    void close();
    // Another path's figures after this one's.
    void append(const Path& other);

    bool isEmpty() const { return data_.empty(); }
    // The SVG "d" attribute.
    const std::string& svgData() const { return data_; }
    // The point the path ends at, if any.
    bool currentPoint(ui::Point& point) const;

  private:
    void command(char op, std::initializer_list<double> numbers);
    std::string data_;
    ui::Point current_;
    ui::Point start_;
    bool hasCurrent_ = false;
};

// Numbers as SVG and CSS take them: up to `decimals` decimals, no "-0".
std::string svgNumber(double value, int decimals = 3);

}  // namespace graphics
