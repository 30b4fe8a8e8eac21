#include "platform/graphics/Path.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace graphics {

std::string svgNumber(double value, int decimals) {
    if (!std::isfinite(value)) return "0";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

void Path::command(char op, std::initializer_list<double> numbers) {
    if (!data_.empty()) data_ += ' ';
    data_ += op;
    bool first = true;
    for (double n : numbers) {
        if (!first) data_ += ' ';
        data_ += svgNumber(n);
        first = false;
    }
}

void Path::moveTo(ui::Point point) {
    command('M', {point.x, point.y});
    current_ = start_ = point;
    hasCurrent_ = true;
}

void Path::addLineTo(ui::Point point) {
    if (!hasCurrent_) return moveTo(point);
    command('L', {point.x, point.y});
    current_ = point;
}

void Path::addArc(ui::Point center, double radius, double startAngle, double endAngle, bool clockwise) {
    constexpr double turn = 2 * std::numbers::pi;
    radius = std::fabs(radius);
    // The swept angle, positive clockwise: a whole turn at most.
    double sweep = endAngle - startAngle;
    if (clockwise) sweep = sweep >= turn ? turn : std::fmod(std::fmod(sweep, turn) + turn, turn);
    else sweep = sweep <= -turn ? -turn : -std::fmod(std::fmod(-sweep, turn) + turn, turn);
    auto at = [&](double angle) {
        return ui::Point{center.x + radius * std::cos(angle), center.y + radius * std::sin(angle)};
    };
    const ui::Point from = at(startAngle);
    if (hasCurrent_) addLineTo(from);
    else moveTo(from);
    // SVG cannot draw a whole turn in one arc: pieces of at most half a turn.
    const int pieces = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / (turn / 2) - 1e-9)));
    for (int i = 1; i <= pieces && sweep != 0; ++i) {
        const ui::Point to = at(startAngle + sweep * i / pieces);
        command('A', {radius, radius, 0, 0, sweep > 0 ? 1.0 : 0.0, to.x, to.y});
        current_ = to;
    }
}

void Path::addEllipse(const ui::Rect& rect) {
    const double rx = rect.width() / 2, ry = rect.height() / 2;
    const ui::Point c = rect.center();
    command('M', {c.x + rx, c.y});
    command('A', {rx, ry, 0, 0, 1, c.x - rx, c.y});
    command('A', {rx, ry, 0, 0, 1, c.x + rx, c.y});
    command('Z', {});
    current_ = start_ = {c.x + rx, c.y};
    hasCurrent_ = true;
}

void Path::addRect(const ui::Rect& rect) {
    moveTo(rect.origin);
    addLineTo({rect.maxX(), rect.minY()});
    addLineTo({rect.maxX(), rect.maxY()});
    addLineTo({rect.minX(), rect.maxY()});
    close();
}

void Path::addRoundedRect(const ui::Rect& rect, double cornerRadius) {
    const double r = std::clamp(cornerRadius, 0.0, std::min(rect.width(), rect.height()) / 2);
    if (r == 0) return addRect(rect);
    moveTo({rect.minX() + r, rect.minY()});
    addLineTo({rect.maxX() - r, rect.minY()});
    command('A', {r, r, 0, 0, 1, rect.maxX(), rect.minY() + r});
    addLineTo({rect.maxX(), rect.maxY() - r});
    command('A', {r, r, 0, 0, 1, rect.maxX() - r, rect.maxY()});
    addLineTo({rect.minX() + r, rect.maxY()});
    command('A', {r, r, 0, 0, 1, rect.minX(), rect.maxY() - r});
    addLineTo({rect.minX(), rect.minY() + r});
    command('A', {r, r, 0, 0, 1, rect.minX() + r, rect.minY()});
    close();
}

void Path::close() {
    if (!hasCurrent_) return;
    command('Z', {});
    current_ = start_;
}

void Path::append(const Path& other) {
    if (other.data_.empty()) return;
    if (!data_.empty()) data_ += ' ';
    data_ += other.data_;
    current_ = other.current_;
    start_ = other.start_;
    hasCurrent_ = other.hasCurrent_;
}

bool Path::currentPoint(ui::Point& point) const {
    if (!hasCurrent_) return false;
    point = current_;
    return true;
}

}  // namespace graphics
