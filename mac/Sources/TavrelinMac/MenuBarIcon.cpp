#include "TavrelinMac/MenuBarIcon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavrelin {

using platform::Color;
using platform::ColorRole;
using platform::DrawOperation;
using platform::Path;
using platform::Point;
using platform::Rect;

namespace {

constexpr Point center{9, 9};
constexpr double ringRadius = 8;

double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

Point onCircle(Point c, double r, double degrees) {
    return {c.x + r * std::cos(radians(degrees)), c.y + r * std::sin(radians(degrees))};
}

double cubicAt(double p0, double p1, double p2, double p3, double t) {
    const double u = 1 - t;
    return u * u * u * p0 + 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t * p3;
}

// Parameters in (0, 1) where the derivative of one coordinate of a cubic vanishes.
std::vector<double> extremaParameters(double p0, double p1, double p2, double p3) {
    const double a = p1 - p0, b = p2 - p1, c = p3 - p2;
    // B'(t)/3 = (a - 2b + c) t² + 2 (b - a) t + a
    const double qa = a - 2 * b + c, qb = 2 * (b - a), qc = a;
    std::vector<double> roots;
    constexpr double epsilon = 1e-12;
    if (std::abs(qa) < epsilon) {
        if (std::abs(qb) > epsilon)
            roots.push_back(-qc / qb);
    } else {
        const double discriminant = qb * qb - 4 * qa * qc;
        if (discriminant >= 0) {
            const double root = std::sqrt(discriminant);
            roots.push_back((-qb + root) / (2 * qa));
            roots.push_back((-qb - root) / (2 * qa));
        }
    }
    std::erase_if(roots, [](double t) { return !(t > 0 && t < 1); });
    return roots;
}

Path transformed(const Path& path, double dx1, double dy1, double scale, double dx2, double dy2) {
    auto map = [&](Point p) { return Point{(p.x + dx1) * scale + dx2, (p.y + dy1) * scale + dy2}; };
    Path out;
    for (const auto& e : path.elements) {
        if (e.kind == Path::Kind::close)
            out.elements.push_back(e);
        else if (e.kind == Path::Kind::curve)
            out.elements.push_back({e.kind, map(e.to), map(e.control1), map(e.control2)});
        else
            out.elements.push_back({e.kind, map(e.to), {}, {}});
    }
    return out;
}

} // namespace

bool MenuBarIcon::isColoured(const SyncState::Health& health) {
    using Kind = SyncState::Health::Kind;
    return health.kind == Kind::warning || health.kind == Kind::broken || health.kind == Kind::needsPermission;
}

Path MenuBarIcon::rawTamselPath() {
    Path p;
    p.moveTo({23.5, 25.0});
    p.curveTo({12.3, 18.4}, {18.7, 24.4}, {14.6, 22.0});
    p.curveTo({9.7, 9.5}, {10.7, 15.9}, {9.9, 12.9});
    p.lineTo({8.5, 7.1});
    p.curveTo({9.1, 6.6}, {8.3, 6.7}, {8.8, 6.3});
    p.lineTo({11.1, 8.3});
    p.curveTo({19.7, 11.1}, {14.5, 8.4}, {17.4, 9.3});
    p.curveTo({23.5, 25.0}, {23.0, 13.7}, {24.3, 17.9});
    p.close();
    return p;
}

Rect MenuBarIcon::curveBounds(const Path& path) {
    bool any = false;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    auto include = [&](Point p) {
        if (!any) {
            minX = maxX = p.x;
            minY = maxY = p.y;
            any = true;
            return;
        }
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    };
    Point current{};
    for (const auto& e : path.elements) {
        switch (e.kind) {
        case Path::Kind::move:
        case Path::Kind::line:
            include(e.to);
            current = e.to;
            break;
        case Path::Kind::curve:
            include(e.to);
            for (double t : extremaParameters(current.x, e.control1.x, e.control2.x, e.to.x))
                include({cubicAt(current.x, e.control1.x, e.control2.x, e.to.x, t),
                         cubicAt(current.y, e.control1.y, e.control2.y, e.to.y, t)});
            for (double t : extremaParameters(current.y, e.control1.y, e.control2.y, e.to.y))
                include({cubicAt(current.x, e.control1.x, e.control2.x, e.to.x, t),
                         cubicAt(current.y, e.control1.y, e.control2.y, e.to.y, t)});
            current = e.to;
            break;
        case Path::Kind::close:
            // Back to the subpath's start, which is already included.
            break;
        }
    }
    if (!any)
        return {};
    return {minX, minY, maxX - minX, maxY - minY};
}

Path MenuBarIcon::tamselPath(const Rect& target) {
    Path raw = rawTamselPath();
    const Rect b = curveBounds(raw);
    if (b.width <= 0 || b.height <= 0)
        return raw;
    const double s = std::min(target.width / b.width, target.height / b.height);
    return transformed(raw, -b.midX(), -b.midY(), s, target.midX(), target.midY());
}

Path MenuBarIcon::arc(Point c, double r, double startDegrees, double endDegrees) {
    const double sweep = endDegrees - startDegrees; // 0…360: the ring and the spinner
    Path p;
    p.moveTo(onCircle(c, r, startDegrees));
    const int segments = std::max(1, static_cast<int>(std::ceil(sweep / 90.0 - 1e-9)));
    const double step = sweep / segments;
    // Control points at k·r along the tangents give the usual close fit.
    const double k = 4.0 / 3.0 * std::tan(radians(step) / 4);
    for (int i = 0; i < segments; ++i) {
        const double a0 = startDegrees + step * i;
        const double a1 = a0 + step;
        const Point p0 = onCircle(c, r, a0), p1 = onCircle(c, r, a1);
        const Point c1{p0.x - k * r * std::sin(radians(a0)), p0.y + k * r * std::cos(radians(a0))};
        const Point c2{p1.x + k * r * std::sin(radians(a1)), p1.y - k * r * std::cos(radians(a1))};
        p.curveTo(p1, c1, c2);
    }
    return p;
}

Path MenuBarIcon::oval(const Rect& rect) {
    Path p = arc({rect.midX(), rect.midY()}, std::min(rect.width, rect.height) / 2, 0, 360);
    p.close();
    return p;
}

platform::Drawing MenuBarIcon::image(const SyncState::Health& health, double spinnerAngle) {
    using Kind = SyncState::Health::Kind;
    const bool coloured = isColoured(health);
    const ColorRole base = coloured ? ColorRole::label : ColorRole::black;
    const Color glyph = health.kind == Kind::notPaired ? Color{ColorRole::black, 0.45} : Color{base, 1};

    platform::Drawing d;
    d.width = 18;
    d.height = 18;
    d.isTemplate = !coloured;

    DrawOperation ring;
    ring.kind = DrawOperation::Kind::stroke;
    ring.path = arc(center, ringRadius, 0, 360);
    ring.color = {base, 0.3};
    ring.lineWidth = 1.3;
    d.operations.push_back(std::move(ring));

    DrawOperation tamsel;
    tamsel.kind = DrawOperation::Kind::fill;
    tamsel.path = tamselPath({3.25, 3.25, 11.5, 11.5});
    tamsel.color = glyph;
    d.operations.push_back(std::move(tamsel));

    if (health.kind == Kind::working) {
        DrawOperation spinner;
        spinner.kind = DrawOperation::Kind::stroke;
        spinner.path = arc(center, ringRadius, spinnerAngle, spinnerAngle + 110);
        spinner.color = {base, 1};
        spinner.lineWidth = 1.6;
        spinner.roundCaps = true;
        d.operations.push_back(std::move(spinner));
    }

    if (coloured) {
        DrawOperation badge;
        badge.kind = DrawOperation::Kind::fill;
        badge.path = oval({12, 0, 6, 6});
        badge.color = {health.kind == Kind::broken            ? ColorRole::systemRed
                       : health.kind == Kind::needsPermission ? ColorRole::systemOrange
                                                              : ColorRole::systemYellow,
                       1};
        d.operations.push_back(std::move(badge));
    }
    return d;
}

platform::Drawing MenuBarIcon::applicationIcon() {
    platform::Drawing d;
    d.width = 18;
    d.height = 18;

    DrawOperation disc;
    disc.kind = DrawOperation::Kind::fill;
    disc.path = oval({0.5, 0.5, 17, 17});
    disc.color = {ColorRole::black, 0.85};
    d.operations.push_back(std::move(disc));

    DrawOperation tamsel;
    tamsel.kind = DrawOperation::Kind::fill;
    tamsel.path = tamselPath({4, 4, 10, 10});
    tamsel.color = {ColorRole::white, 1};
    d.operations.push_back(std::move(tamsel));
    return d;
}

} // namespace tavrelin
