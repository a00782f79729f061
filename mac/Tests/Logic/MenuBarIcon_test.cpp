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

void expectOnRing(Point p, double degrees) {
    EXPECT_NEAR(p.x, 9 + 8 * std::cos(degrees * M_PI / 180), 1e-9);
    EXPECT_NEAR(p.y, 9 + 8 * std::sin(degrees * M_PI / 180), 1e-9);
}

void expectBounds(const Path& path, double x, double y, double width, double height) {
    const auto b = MenuBarIcon::curveBounds(path);
    EXPECT_NEAR(b.x, x, 1e-9);
    EXPECT_NEAR(b.y, y, 1e-9);
    EXPECT_NEAR(b.width, width, 1e-9);
    EXPECT_NEAR(b.height, height, 1e-9);
}

// Each segment of an arc on the ring ends on it and stays on it halfway to
// within the usual cubic fit, counter-clockwise from `start` to `end`.
void expectCircle(const Path& arc, std::size_t segments, double start = 0, double end = 360) {
    ASSERT_EQ(arc.elements.size(), segments + 1);
    expectOnRing(arc.elements.front().to, start);
    for (std::size_t i = 1; i <= segments; ++i) {
        const auto& e = arc.elements[i];
        expectOnRing(e.to, start + (end - start) * i / segments);
        const Point from = arc.elements[i - 1].to;
        const Point mid{(from.x + 3 * e.control1.x + 3 * e.control2.x + e.to.x) / 8,
                        (from.y + 3 * e.control1.y + 3 * e.control2.y + e.to.y) / 8};
        EXPECT_NEAR(std::hypot(mid.x - 9, mid.y - 9), 8, 0.01);
    }
}

} // namespace

TEST(MenuBarIcon, BoundsFollowTheCurveNotItsControlPoints) {
    Path arch; // peaks at 3 (t = 0.5), well below its controls at 4
    arch.moveTo({0, 0});
    arch.curveTo({4, 0}, {0, 4}, {4, 4});
    expectBounds(arch, 0, 0, 4, 3);
    // x(t) = 9t(1-t)(1-2t) swings to ±√3/2 while its controls reach ±3.
    Path s;
    s.moveTo({0, 0});
    s.curveTo({0, 3}, {3, 1}, {-3, 2});
    expectBounds(s, -std::sqrt(3) / 2, 0, std::sqrt(3), 3);
    // The glyph fills its box along the larger side, centred.
    const auto glyph = MenuBarIcon::curveBounds(MenuBarIcon::tamselPath({3.25, 3.25, 11.5, 11.5}));
    EXPECT_NEAR(std::max(glyph.width, glyph.height), 11.5, 1e-9);
    EXPECT_NEAR(glyph.midX(), 9.0, 1e-9);
    EXPECT_NEAR(glyph.midY(), 9.0, 1e-9);
    const auto flat = MenuBarIcon::curveBounds(MenuBarIcon::tamselPath({0, 0, 100, 2}));
    EXPECT_NEAR(flat.height, 2, 1e-9);
}

TEST(MenuBarIcon, ColoursTemplateSpinnerAndBadgePerHealth) {
    struct Case {
        Health health;
        std::optional<ColorRole> badge;
        platform::Color glyph;
    };
    const Case cases[] = {
        {Health::idle(), std::nullopt, {ColorRole::black, 1}},
        {Health::working(), std::nullopt, {ColorRole::black, 1}},
        {Health::notPaired(), std::nullopt, {ColorRole::black, 0.45}},
        {Health::warning("x"), ColorRole::systemYellow, {ColorRole::label, 1}},
        {Health::broken("x"), ColorRole::systemRed, {ColorRole::label, 1}},
        {Health::needsPermission(), ColorRole::systemOrange, {ColorRole::label, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.health.kind));
        const auto d = MenuBarIcon::image(c.health, -336);
        const auto base = c.badge ? ColorRole::label : ColorRole::black;
        EXPECT_EQ(d.isTemplate, !c.badge);
        EXPECT_EQ(MenuBarIcon::isColoured(c.health), c.badge.has_value());
        const bool spins = c.health.kind == Health::Kind::working;
        ASSERT_EQ(d.operations.size(), 2u + spins + c.badge.has_value());
        EXPECT_EQ(d.operations[0].color, (platform::Color{base, 0.3})); // the ring
        EXPECT_EQ(d.operations[0].kind, DrawOperation::Kind::stroke);
        EXPECT_EQ(d.operations[0].lineWidth, 1.3);
        expectCircle(d.operations[0].path, 4);
        EXPECT_EQ(std::pair(d.width, d.height), std::pair(18.0, 18.0));
        EXPECT_EQ(d.operations[1].color, c.glyph);
        EXPECT_EQ(d.operations[1].kind, DrawOperation::Kind::fill);
        if (spins) {
            const auto& spinner = d.operations[2];
            EXPECT_TRUE(spinner.roundCaps);
            EXPECT_EQ(spinner.lineWidth, 1.6);
            EXPECT_EQ(spinner.color, (platform::Color{base, 1}));
            expectCircle(spinner.path, 2, 24, 134);
        }
        if (c.badge) {
            EXPECT_EQ(d.operations.back().color, (platform::Color{*c.badge, 1}));
            expectBounds(d.operations.back().path, 12, 0, 6, 6); // bottom-right corner
        }
    }
}
