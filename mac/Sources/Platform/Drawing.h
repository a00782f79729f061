#pragma once

#include <vector>

namespace tavrelin::platform {

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool operator==(const Rect&) const = default;
};

// A path of straight and cubic Bézier segments (y up).
struct Path {
    enum class Kind { move, line, curve, close };
    struct Element {
        Kind kind;
        Point to;       // end point (move, line, curve)
        Point control1; // curve only
        Point control2; // curve only
        bool operator==(const Element&) const = default;
    };
    std::vector<Element> elements;

    void moveTo(Point p) { elements.push_back({Kind::move, p, {}, {}}); }
    void lineTo(Point p) { elements.push_back({Kind::line, p, {}, {}}); }
    void curveTo(Point p, Point c1, Point c2) { elements.push_back({Kind::curve, p, c1, c2}); }
    void close() { elements.push_back({Kind::close, {}, {}, {}}); }
    bool operator==(const Path&) const = default;
};

// Colours are named roles; the renderer decides their exact values.
enum class ColorRole { label, black, white, systemRed, systemOrange, systemYellow };

struct Color {
    ColorRole role = ColorRole::black;
    double alpha = 1;
    bool operator==(const Color&) const = default;
};

struct DrawOperation {
    enum class Kind { fill, stroke };
    Kind kind = Kind::fill;
    Path path;
    Color color;
    double lineWidth = 1;   // stroke only
    bool roundCaps = false; // stroke only
    bool operator==(const DrawOperation&) const = default;
};

// A vector image in points, origin bottom-left, y up, drawn in order.
struct Drawing {
    double width = 18, height = 18;
    // Template images are tinted by the system to match the tray.
    bool isTemplate = false;
    std::vector<DrawOperation> operations;
    bool operator==(const Drawing&) const = default;
};

} // namespace tavrelin::platform
