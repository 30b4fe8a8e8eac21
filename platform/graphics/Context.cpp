#include "platform/graphics/Context.h"

#include <algorithm>
#include <cmath>

namespace graphics {
namespace {

// Advance widths of DejaVu Sans (the page's face) in 1/2048 em, for the
// printable ASCII characters from the space on.
constexpr int kAdvance[95] = {
    651,  823,  942,  1716, 1303, 1946, 1597, 563,  799,  799,  1024, 1716, 651,  739,  651,  690,
    1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 690,  690,  1716, 1716, 1716, 1087,
    2048, 1401, 1405, 1430, 1577, 1294, 1178, 1587, 1540, 604,  604,  1343, 1141, 1767, 1532, 1612,
    1235, 1612, 1423, 1300, 1251, 1499, 1401, 2025, 1403, 1251, 1403, 799,  690,  799,  1716, 1024,
    1024, 1255, 1300, 1126, 1300, 1260, 721,  1300, 1298, 569,  569,  1186, 569,  1995, 1298, 1253,
    1300, 1300, 842,  1067, 803,  1298, 1212, 1675, 1212, 1212, 1075, 1303, 690,  1303, 1716};
constexpr double kAscent = 0.928;
constexpr double kLineHeight = 1.164;

bool isBold(const ui::Font& font) {
    return font.weight == "bold" || font.weight == "heavy" || font.weight == "black" ||
           font.name.find("Bold") != std::string::npos || font.name.find("Heavy") != std::string::npos;
}

std::string transformAttribute(const Transform& t) {
    if (t == identityTransform) return "";
    std::string out = " transform=\"matrix(";
    for (size_t i = 0; i < t.size(); ++i) out += (i ? " " : "") + svgNumber(t[i]);
    return out + ")\"";
}

}  // namespace

std::string escapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string cssColor(const ui::Color& color) {
    double r, g, b, a;
    if (!color.getRed(r, g, b, a)) return "rgba(128,128,128,1)";
    auto c = [](double v) { return std::to_string(static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255))); };
    return "rgba(" + c(r) + "," + c(g) + "," + c(b) + "," + svgNumber(std::clamp(a, 0.0, 1.0)) + ")";
}

std::string cssFont(const ui::Font& font) {
    return "font-family:'DejaVu Sans',sans-serif;font-size:" + svgNumber(font.size) +
           "px;font-weight:" + (isBold(font) ? "700" : "400");
}

void Context::saveGState() { saved_.push_back(state_); }

void Context::restoreGState() {
    if (saved_.empty()) return;
    state_ = saved_.back();
    saved_.pop_back();
}

void Context::translateBy(double tx, double ty) {
    Transform& t = state_.transform;
    t[4] += t[0] * tx + t[2] * ty;
    t[5] += t[1] * tx + t[3] * ty;
}

void Context::rotateBy(double angle) {
    Transform& t = state_.transform;
    const double c = std::cos(angle), s = std::sin(angle);
    const Transform old = t;
    t[0] = old[0] * c + old[2] * s;
    t[1] = old[1] * c + old[3] * s;
    t[2] = -old[0] * s + old[2] * c;
    t[3] = -old[1] * s + old[3] * c;
}

void Context::paint(Mark::Kind kind, const Path& path) {
    if (path.isEmpty()) return;
    Mark mark;
    mark.kind = kind;
    mark.path = path.svgData();
    mark.color = kind == Mark::Kind::stroke ? state_.strokeColor : state_.fillColor;
    mark.lineWidth = state_.lineWidth;
    mark.lineJoin = state_.lineJoin;
    mark.transform = state_.transform;
    marks_.push_back(std::move(mark));
}

void Context::addPath(const Path& path) { path_.append(path); }

void Context::strokePath() {
    paint(Mark::Kind::stroke, path_);
    path_ = Path();
}

void Context::fillPath() {
    paint(Mark::Kind::fill, path_);
    path_ = Path();
}

namespace {

Path ellipse(const ui::Rect& rect) {
    Path p;
    p.addEllipse(rect);
    return p;
}

Path rectangle(const ui::Rect& rect) {
    Path p;
    p.addRect(rect);
    return p;
}

}  // namespace

void Context::strokeEllipse(const ui::Rect& rect) { paint(Mark::Kind::stroke, ellipse(rect)); }
void Context::fillEllipse(const ui::Rect& rect) { paint(Mark::Kind::fill, ellipse(rect)); }
void Context::strokeRect(const ui::Rect& rect) { paint(Mark::Kind::stroke, rectangle(rect)); }
void Context::fillRect(const ui::Rect& rect) { paint(Mark::Kind::fill, rectangle(rect)); }

void Context::strokeLine(ui::Point from, ui::Point to) {
    Path p;
    p.moveTo(from);
    p.addLineTo(to);
    paint(Mark::Kind::stroke, p);
}

void Context::drawText(const std::string& text, const ui::Rect& rect, const ui::Font& font,
                       const std::optional<ui::Color>& color) {
    Mark mark;
    mark.kind = Mark::Kind::text;
    mark.text = text;
    mark.font = font;
    mark.rect = rect;
    mark.color = color.value_or(ui::Color::black());
    mark.transform = state_.transform;
    marks_.push_back(std::move(mark));
}

void Context::drawImage(const std::string& name, const ui::Rect& rect) {
    Mark mark;
    mark.kind = Mark::Kind::image;
    mark.text = name;
    mark.rect = rect;
    mark.transform = state_.transform;
    marks_.push_back(std::move(mark));
}

ui::Size Context::measureText(const std::string& text, const ui::Font& font) {
    double units = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) units += kAdvance[c - 0x20];
        else if ((c & 0xc0) != 0x80) units += 1300;  // a character beyond ASCII: an average width
    }
    const double width = units / 2048 * font.size * (isBold(font) ? 1.1 : 1.0);
    return {std::ceil(width * 100) / 100, std::ceil(font.size * kLineHeight * 100) / 100};
}

std::string Context::svgElements() const {
    std::string out;
    for (const Mark& m : marks_) {
        const std::string transform = transformAttribute(m.transform);
        switch (m.kind) {
            case Mark::Kind::stroke:
                out += "<path d=\"" + m.path + "\" fill=\"none\" stroke=\"" + cssColor(m.color) +
                       "\" stroke-width=\"" + svgNumber(m.lineWidth) + "\" stroke-linejoin=\"" + m.lineJoin +
                       "\"" + transform + "/>";
                break;
            case Mark::Kind::fill:
                out += "<path d=\"" + m.path + "\" fill=\"" + cssColor(m.color) + "\"" + transform + "/>";
                break;
            case Mark::Kind::text:
                out += "<text x=\"" + svgNumber(m.rect.x()) + "\" y=\"" +
                       svgNumber(m.rect.y() + m.font.size * kAscent) + "\" fill=\"" + cssColor(m.color) +
                       "\" style=\"" + cssFont(m.font) + ";white-space:pre\"" + transform + ">" + escapeMarkup(m.text) +
                       "</text>";
                break;
            case Mark::Kind::image:
                out += "<rect class=\"drawn-image\" data-image=\"" + escapeMarkup(m.text) + "\" x=\"" +
                       svgNumber(m.rect.x()) + "\" y=\"" + svgNumber(m.rect.y()) + "\" width=\"" +
                       svgNumber(m.rect.width()) + "\" height=\"" + svgNumber(m.rect.height()) +
                       "\" fill=\"rgba(127,127,127,0.12)\" stroke=\"#999\" stroke-dasharray=\"3 2\"" + transform +
                       "/>";
                break;
        }
    }
    return out;
}

}  // namespace graphics
