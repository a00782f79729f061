#include "TavrelinMac/MenuBarIcon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace tavrelin;
using platform::ColorRole;
using platform::DrawOperation;
using platform::Path;
using platform::Point;
using Health = SyncState::Health;

namespace {

constexpr double tolerance = 1e-9;

void expectNear(Point actual, Point expected, double eps = 1e-9) {
    EXPECT_NEAR(actual.x, expected.x, eps);
    EXPECT_NEAR(actual.y, expected.y, eps);
}

Point circlePoint(double degrees) {
    const double r = degrees * M_PI / 180;
    return {9 + 8 * std::cos(r), 9 + 8 * std::sin(r)};
}

const DrawOperation* spinnerOf(const platform::Drawing& d) {
    for (const auto& op : d.operations)
        if (op.kind == DrawOperation::Kind::stroke && op.roundCaps)
            return &op;
    return nullptr;
}

std::optional<ColorRole> badgeOf(const platform::Drawing& d) {
    // The badge is the only fill after the glyph.
    int fills = 0;
    for (const auto& op : d.operations)
        if (op.kind == DrawOperation::Kind::fill && ++fills == 2)
            return op.color.role;
    return std::nullopt;
}

} // namespace

TEST(MenuBarIcon, CurveBoundsUseTheCurveNotItsControlPoints) {
    // A symmetric arch from (0,0) to (4,0) with both controls at height 4:
    // the curve peaks at 3 (t = 0.5), well below the control points.
    Path arch;
    arch.moveTo({0, 0});
    arch.curveTo({4, 0}, {0, 4}, {4, 4});
    auto b = MenuBarIcon::curveBounds(arch);
    EXPECT_NEAR(b.x, 0, tolerance);
    EXPECT_NEAR(b.y, 0, tolerance);
    EXPECT_NEAR(b.width, 4, tolerance);
    EXPECT_NEAR(b.height, 3, tolerance);

    // An S-curve: x(t) = 9t(1-t)(1-2t) swings to ±√3/2 at t = 1/2 ∓ √3/6,
    // while its control points reach ±3.
    Path s;
    s.moveTo({0, 0});
    s.curveTo({0, 3}, {3, 1}, {-3, 2});
    auto sb = MenuBarIcon::curveBounds(s);
    EXPECT_NEAR(sb.x, -std::sqrt(3) / 2, 1e-9);
    EXPECT_NEAR(sb.x + sb.width, std::sqrt(3) / 2, 1e-9);
    EXPECT_NEAR(sb.y, 0, tolerance);
    EXPECT_NEAR(sb.height, 3, tolerance);
}

TEST(MenuBarIcon, GlyphFillsTheBoxAlongItsLargerSideAndIsCentred) {
    const platform::Rect target{3.25, 3.25, 11.5, 11.5};
    auto b = MenuBarIcon::curveBounds(MenuBarIcon::tamselPath(target));
    EXPECT_NEAR(std::max(b.width, b.height), 11.5, 1e-9);
    EXPECT_LT(std::min(b.width, b.height), 11.5);
    EXPECT_NEAR(b.midX(), 9.0, 1e-9);
    EXPECT_NEAR(b.midY(), 9.0, 1e-9);

    // A flat target: the height limits the scale instead.
    auto flat = MenuBarIcon::curveBounds(MenuBarIcon::tamselPath({0, 0, 100, 2}));
    EXPECT_NEAR(flat.height, 2, 1e-9);
    EXPECT_NEAR(flat.midX(), 50, 1e-9);
}

TEST(MenuBarIcon, ArcsRunCounterClockwiseFromStartToEnd) {
    struct Case {
        double start, end;
        int segments;
    };
    for (auto c : {Case{90, 200, 2}, Case{-336, -226, 2}, Case{0, 360, 4}, Case{10, 40, 1}}) {
        SCOPED_TRACE(c.start);
        auto arc = MenuBarIcon::arc({9, 9}, 8, c.start, c.end);
        ASSERT_EQ(arc.elements.size(), static_cast<std::size_t>(c.segments + 1));
        EXPECT_EQ(arc.elements.front().kind, Path::Kind::move);
        expectNear(arc.elements.front().to, circlePoint(c.start));
        expectNear(arc.elements.back().to, circlePoint(c.end));
        // Every curve point stays on the circle to within the usual cubic error,
        // and the angles increase (counter-clockwise).
        double previous = c.start;
        for (std::size_t i = 1; i < arc.elements.size(); ++i) {
            const auto& e = arc.elements[i];
            ASSERT_EQ(e.kind, Path::Kind::curve);
            Point from = arc.elements[i - 1].to;
            Point mid{(from.x + 3 * e.control1.x + 3 * e.control2.x + e.to.x) / 8,
                      (from.y + 3 * e.control1.y + 3 * e.control2.y + e.to.y) / 8};
            EXPECT_NEAR(std::hypot(mid.x - 9, mid.y - 9), 8, 0.01);
            double angle = std::atan2(e.to.y - 9, e.to.x - 9) * 180 / M_PI;
            while (angle < previous - 1e-6)
                angle += 360;
            EXPECT_GT(angle, previous);
            previous = angle;
        }
    }
}

TEST(MenuBarIcon, SpinnerArcFollowsTheAngle) {
    auto at90 = MenuBarIcon::image(Health::working(), 90);
    const auto* spinner = spinnerOf(at90);
    ASSERT_NE(spinner, nullptr);
    expectNear(spinner->path.elements.front().to, {9, 17}); // top of the ring
    expectNear(spinner->path.elements.back().to, circlePoint(200));
    EXPECT_DOUBLE_EQ(spinner->lineWidth, 1.6);
    EXPECT_EQ(spinner->color, (platform::Color{ColorRole::black, 1}));

    auto wrapped = MenuBarIcon::image(Health::working(), -336);
    spinner = spinnerOf(wrapped);
    ASSERT_NE(spinner, nullptr);
    expectNear(spinner->path.elements.front().to, circlePoint(24));
    expectNear(spinner->path.elements.back().to, circlePoint(134));

    EXPECT_EQ(spinnerOf(MenuBarIcon::image(Health::idle(), 90)), nullptr);
}

TEST(MenuBarIcon, ColoursTemplateAndBadgePerHealth) {
    struct Case {
        Health health;
        bool isTemplate;
        std::optional<ColorRole> badge;
        platform::Color ring, glyph;
    };
    const platform::Color black30{ColorRole::black, 0.3}, label30{ColorRole::label, 0.3};
    const platform::Color black{ColorRole::black, 1}, label{ColorRole::label, 1};
    const Case cases[] = {
        {Health::idle(), true, std::nullopt, black30, black},
        {Health::working(), true, std::nullopt, black30, black},
        {Health::notPaired(), true, std::nullopt, black30, {ColorRole::black, 0.45}},
        {Health::warning("x"), false, ColorRole::systemYellow, label30, label},
        {Health::broken("x"), false, ColorRole::systemRed, label30, label},
        {Health::needsPermission(), false, ColorRole::systemOrange, label30, label},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.health.kind));
        auto d = MenuBarIcon::image(c.health, 90);
        EXPECT_EQ(d.isTemplate, c.isTemplate);
        EXPECT_EQ(MenuBarIcon::isColoured(c.health), !c.isTemplate);
        EXPECT_EQ(d.width, 18);
        EXPECT_EQ(d.height, 18);
        ASSERT_GE(d.operations.size(), 2u);
        EXPECT_EQ(d.operations[0].kind, DrawOperation::Kind::stroke);
        EXPECT_EQ(d.operations[0].color, c.ring);
        EXPECT_DOUBLE_EQ(d.operations[0].lineWidth, 1.3);
        EXPECT_EQ(d.operations[1].kind, DrawOperation::Kind::fill);
        EXPECT_EQ(d.operations[1].color, c.glyph);
        EXPECT_EQ(badgeOf(d), c.badge);
    }
    // The badge sits in the bottom-right corner, radius 3 around (15, 3).
    auto badge = MenuBarIcon::image(Health::broken("x"), 90).operations.back();
    auto b = MenuBarIcon::curveBounds(badge.path);
    EXPECT_NEAR(b.x, 12, 1e-9);
    EXPECT_NEAR(b.y, 0, 1e-9);
    EXPECT_NEAR(b.width, 6, 1e-9);
    EXPECT_NEAR(b.height, 6, 1e-9);
}
