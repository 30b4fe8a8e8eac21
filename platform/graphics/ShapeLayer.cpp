#include "platform/graphics/ShapeLayer.h"

#include <algorithm>

#include "platform/graphics/Context.h"

namespace graphics {
namespace {

void writeShapes(const ui::Layer& layer, ui::Point origin, std::string& out) {
    for (const auto& sub : layer.sublayers) {
        auto* shape = dynamic_cast<const ShapeLayer*>(sub.get());
        if (!shape) {
            writeShapes(*sub, origin, out);
            continue;
        }
        const ui::Point at{origin.x + shape->frame.x(), origin.y + shape->frame.y()};
        const double end = std::clamp(shape->presentationValue("strokeEnd", shape->strokeEnd), 0.0, 1.0);
        const double rotation = shape->presentationValue("transform.rotation.z", shape->rotation);
        std::string transform = "translate(" + svgNumber(at.x) + " " + svgNumber(at.y) + ")";
        if (rotation != 0)
            transform += " rotate(" + svgNumber(rotation * 180 / 3.141592653589793) + " " +
                         svgNumber(shape->frame.width() / 2) + " " + svgNumber(shape->frame.height() / 2) + ")";
        out += "<g data-layer=\"" + shape->name + "\" transform=\"" + transform + "\">";
        if (!shape->path.isEmpty()) {
            out += "<path d=\"" + shape->path.svgData() + "\" fill=\"" +
                   (shape->fillColor ? cssColor(*shape->fillColor) : std::string("none")) + "\"";
            if (shape->strokeColor && end > 0) {
                out += " stroke=\"" + cssColor(*shape->strokeColor) + "\" stroke-width=\"" +
                       svgNumber(shape->lineWidth) + "\" stroke-linejoin=\"" + shape->lineJoin + "\"";
                // A part of the stroke: a dash of that fraction of the length.
                if (end < 1) out += " pathLength=\"1\" stroke-dasharray=\"" + svgNumber(end) + " 2\"";
            }
            out += "/>";
        }
        writeShapes(*shape, {0, 0}, out);
        out += "</g>";
    }
}

}  // namespace

std::string shapeLayersSvg(const ui::Layer& layer, ui::Size size) {
    std::string shapes;
    writeShapes(layer, {0, 0}, shapes);
    if (shapes.empty()) return "";
    return "<svg class=\"layers\" width=\"" + svgNumber(size.width) + "\" height=\"" + svgNumber(size.height) +
           "\" style=\"position:absolute;left:0;top:0;overflow:visible;pointer-events:none\">" + shapes + "</svg>";
}

}  // namespace graphics
