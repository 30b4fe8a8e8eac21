#pragma once

#include <optional>
#include <string>

#include "platform/graphics/Path.h"
#include "platform/ui/View.h"

namespace graphics {

// A layer that strokes and fills a path, in its frame's coordinates. Only
// the part of the stroke from strokeStart to strokeEnd (fractions of its
// length) is drawn; "strokeEnd" animations run on the clock.
class ShapeLayer : public ui::Layer {
  public:
    ui::Rect frame;
    Path path;
    std::optional<ui::Color> strokeColor;
    std::optional<ui::Color> fillColor = ui::Color::black();
    double lineWidth = 1;
    std::string lineJoin = "miter";
    double strokeEnd = 1;
};

// The shape layers among `layer`'s sublayers (and theirs), as one SVG of
// `size` points for the page, at the values the screen shows now; empty
// when there are none.
std::string shapeLayersSvg(const ui::Layer& layer, ui::Size size);

}  // namespace graphics
