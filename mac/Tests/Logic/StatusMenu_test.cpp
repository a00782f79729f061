// The menu's entries, keys and button, and the icon it draws; the menu's words
// are checked in Texts_test.

#include "Support/FakePlatform.h"
#include "TavrelinMac/MenuBarIcon.h"
#include "TavrelinMac/RemindersModule.h"
#include "TavrelinMac/StatusMenu.h"
#include "TavrelinMac/Words.h"

#include <cmath>

using namespace tavrelin;
using namespace tavrelin::platform;
using Health = SyncState::Health;

namespace {

struct StatusMenuTest : ::testing::Test, fake::FakeServices {
    DialogGate gate{application, dialogs, mainLoop};
    SyncState state{clock};
    // The module's own lines, and their indenting, are in Texts_test.
    std::shared_ptr<RemindersModule> module =
        std::make_shared<RemindersModule>(mainLoop, clock, http, appInfo, reminders, state);
    std::shared_ptr<StatusMenu> menu =
        StatusMenu::create(statusBar, mainLoop, appInfo, gate, state, {module}, [this] { return reminders.place(); });
    fake::FakeStatusItem& item = *statusBar.last;

    void SetUp() override {
        state.onChange = [this] { menu->refreshButton(); };
    }
};

void expectBounds(const Path& path, std::vector<double> xywh, double tolerance = 1e-9) {
    const auto b = MenuBarIcon::curveBounds(path);
    EXPECT_THAT((std::vector{b.x, b.y, b.width, b.height}), ::testing::Pointwise(::testing::DoubleNear(tolerance), xywh));
}

// An arc on the ring, counter-clockwise from `start` to `end`: it starts and
// ends on the ring there, and its curves fill the box of the true arc, to
// within the usual cubic fit (so they bulge as far as the ring does).
void expectArc(const Path& arc, double start, double end, std::vector<double> xywh) {
    for (const auto& [point, degrees] : {std::pair(arc.elements.front().to, start), std::pair(arc.elements.back().to, end)})
        EXPECT_THAT((std::vector{point.x, point.y}),
                    ::testing::Pointwise(::testing::DoubleNear(1e-9), std::vector{9 + 8 * std::cos(degrees * M_PI / 180),
                                                                                  9 + 8 * std::sin(degrees * M_PI / 180)}));
    expectBounds(arc, std::move(xywh), 1e-3);
}

} // namespace

TEST_F(StatusMenuTest, MenusForEachHealthAndNothingOutlivesTheMenu) {
    EXPECT_EQ(item.toolTip, "Tavrelin — Not paired"); // drawn as soon as it is made

    // Every health but these two shows the modules' sections; the privacy
    // settings item is reached through the shell.
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.beginAttempt();
    menu->updateSummary = [] { return std::string("Up to date"); };
    EXPECT_EQ(item.menu(true), "Tavrelin — Checking…\nBackend: relay.example\n---\n" + module->title() +
                                   "\n   No reminders collected yet\n---\n+ Check now ⌘r\n---\nVersion 1.4.2 · Up to date\n"
                                   "+ Check for Updates…\n---\n+ " +
                                   words::menu::unpair() + "\n+ Quit Tavrelin ⌘q\n");

    // Nothing outlives the menu: every action goes through the same weak reference.
    bool synced = false;
    menu->onSyncNow = [&] { synced = true; };
    const auto items = item.provider();
    const auto provider = item.provider;
    menu.reset();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    for (const auto& entry : items)
        if (entry.action)
            entry.action();
    EXPECT_FALSE(synced);
    EXPECT_TRUE(provider().empty());
}

TEST_F(StatusMenuTest, TheSpinnerTurnsOnlyWhileWorkingAndShownAndRestartsFromTheTop) {
    state.beginAttempt();
    for (int frame = 1; frame <= 19; ++frame)
        mainLoop.advance(1.0 / 12);
    EXPECT_EQ(item.image, MenuBarIcon::image(state.health(), -6)); // 90 - 19 · 24, wrapped once past a full turn

    state.record({PollOutcome::Failed{RelayError::unauthorized()}});
    EXPECT_EQ(menu->spinnerAngle(), 90);
    EXPECT_EQ(mainLoop.activeTimers(), 0u);

    // A terminal shows the tool tip but no image, so nothing spins.
    item.images = false;
    state.beginAttempt();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    EXPECT_EQ(item.toolTip, "Tavrelin — Checking…");
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
        expectArc(d.operations[0].path, 0, 360, {1, 1, 16, 16});
        EXPECT_EQ(pen(d.operations[1]), std::tuple(DrawOperation::Kind::fill, glyph, 1.0, false));
        // Centred in its box, as tall as the box allows.
        expectBounds(d.operations[1].path, {9 - 9.493 / 2, 3.25, 9.493, 11.5}, 1e-3);
        if (spins) {
            EXPECT_EQ(pen(d.operations[2]), std::tuple(DrawOperation::Kind::stroke, Color{base, 1}, 1.6, true));
            expectArc(d.operations[2].path, 24, 134, {3.4427, 12.2538, 12.8656, 4.7462}); // over the top
        }
        if (badge) {
            EXPECT_EQ(pen(d.operations.back()), std::tuple(DrawOperation::Kind::fill, Color{*badge, 1}, 1.0, false));
            expectBounds(d.operations.back().path, {12, 0, 6, 6}); // bottom-right corner
        }
    }
}
