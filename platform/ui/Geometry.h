#pragma once

#include <compare>
#include <cstdint>

namespace ui {

// Points, as on the phone: doubles, origin at the top left.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

    double x() const { return origin.x; }
    double y() const { return origin.y; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    Point center() const { return {origin.x + size.width / 2, origin.y + size.height / 2}; }
    bool operator==(const Rect&) const = default;
};

struct EdgeInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    bool operator==(const EdgeInsets&) const = default;
};

// A row (or item) in a section of a table or collection view.
struct IndexPath {
    int64_t section = 0;
    int64_t row = 0;
    int64_t item() const { return row; }
    auto operator<=>(const IndexPath&) const = default;
};

// A range of text in UTF-16 units, as the platform's text positions count.
struct TextRange {
    int64_t location = 0;
    int64_t length = 0;
    bool operator==(const TextRange&) const = default;
};

}  // namespace ui
