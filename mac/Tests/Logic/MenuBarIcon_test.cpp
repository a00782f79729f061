#include "TavrelinMac/MenuBarIcon.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace tavrelin;
using namespace tavrelin::platform;
using Health = SyncState::Health;
using namespace ::testing;

namespace {

void expectBounds(const Path& path, std::vector<double> xywh, double tolerance = 1e-9) {
    const auto b = MenuBarIcon::curveBounds(path);
    EXPECT_THAT((std::vector{b.x, b.y, b.width, b.height}), Pointwise(DoubleNear(tolerance), xywh));
}

// An arc on the ring, counter-clockwise from `start` to `end`: each segment
// ends on the ring and stays on it halfway, to within the usual cubic fit.
void expectArc(const Path& arc, std::size_t segments, double start, double end) {
    ASSERT_EQ(arc.elements.size(), segments + 1);
    for (std::size_t i = 0; i <= segments; ++i) {
        const auto& e = arc.elements[i];
        const double a = (start + (end - start) * i / segments) * M_PI / 180;
        EXPECT_THAT((std::vector{e.to.x, e.to.y}),
                    Pointwise(DoubleNear(1e-9), std::vector{9 + 8 * std::cos(a), 9 + 8 * std::sin(a)}));
        if (i > 0) {
            const auto from = arc.elements[i - 1].to;
            const double x = (from.x + 3 * e.control1.x + 3 * e.control2.x + e.to.x) / 8;
            const double y = (from.y + 3 * e.control1.y + 3 * e.control2.y + e.to.y) / 8;
            EXPECT_NEAR(std::hypot(x - 9, y - 9), 8, 0.01);
        }
    }
}

} // namespace

// The glyph's bounds below cover the quadratic case; this one the linear one.
TEST(MenuBarIcon, BoundsFollowTheCurveNotItsControlPoints) {
    Path arch; // peaks at 3 (t = 0.5), well below its controls at 4
    arch.moveTo({0, 0});
    arch.curveTo({4, 0}, {0, 4}, {4, 4});
    expectBounds(arch, {0, 0, 4, 3});
}

TEST(MenuBarIcon, RingGlyphSpinnerAndBadgePerHealth) {
    const std::tuple<Health, std::optional<ColorRole>, Color> cases[] = {
        {Health::idle(), std::nullopt, {ColorRole::black, 1}},
        {Health::working(), std::nullopt, {ColorRole::black, 1}},
        {Health::broken("x"), ColorRole::systemRed, {ColorRole::label, 1}},
    };
    // Pen and colour; the paths are checked on their own. The other badges and
    // the dimmed glyph are told apart by their pixels in the icon renderer test.
    auto pen = [](const DrawOperation& op) { return std::tuple(op.kind, op.color, op.lineWidth, op.roundCaps); };
    for (const auto& [health, badge, glyph] : cases) {
        SCOPED_TRACE(static_cast<int>(health.kind));
        const auto d = MenuBarIcon::image(health, -336);
        const auto base = badge ? ColorRole::label : ColorRole::black;
        const bool spins = health.kind == Health::Kind::working;
        EXPECT_EQ(std::tuple(d.width, d.height, d.isTemplate), std::tuple(18.0, 18.0, !badge));
        ASSERT_EQ(d.operations.size(), 2u + spins + badge.has_value());
        EXPECT_EQ(pen(d.operations[0]), std::tuple(DrawOperation::Kind::stroke, Color{base, 0.3}, 1.3, false));
        expectArc(d.operations[0].path, 4, 0, 360);
        EXPECT_EQ(pen(d.operations[1]), std::tuple(DrawOperation::Kind::fill, glyph, 1.0, false));
        // Centred in its box, as tall as the box allows.
        expectBounds(d.operations[1].path, {9 - 9.493 / 2, 3.25, 9.493, 11.5}, 1e-3);
        if (spins) {
            EXPECT_EQ(pen(d.operations[2]), std::tuple(DrawOperation::Kind::stroke, Color{base, 1}, 1.6, true));
            expectArc(d.operations[2].path, 2, 24, 134);
        }
        if (badge) {
            EXPECT_EQ(pen(d.operations.back()), std::tuple(DrawOperation::Kind::fill, Color{*badge, 1}, 1.0, false));
            expectBounds(d.operations.back().path, {12, 0, 6, 6}); // bottom-right corner
        }
    }
}
