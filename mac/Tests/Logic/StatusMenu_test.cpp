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

bool near(platform::Point a, platform::Point b) {
    return std::abs(a.x - b.x) < 1e-9 && std::abs(a.y - b.y) < 1e-9;
}

platform::Point onCircle(platform::Point centre, double radius, double degrees) {
    return {centre.x + radius * std::cos(degrees * M_PI / 180), centre.y + radius * std::sin(degrees * M_PI / 180)};
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

// What a person tells apart in the tray: each health its own image, the arc
// turning only while working, a coloured dot (red when broken) exactly when
// something needs attention, a dimmed glyph when not paired, everything inside
// the canvas. The pixels themselves are checked in the icon renderer test.
TEST(MenuBarIcon, EachHealthLooksItsOwnAndOnlyTheWorkingOneTurns) {
    const Health healths[] = {Health::idle(),       Health::working(),   Health::notPaired(),
                              Health::warning("x"), Health::broken("x"), Health::needsPermission()};
    std::vector<Drawing> images;
    std::vector<Color> badges;
    for (const auto& health : healths) {
        SCOPED_TRACE(static_cast<int>(health.kind));
        const Drawing d = MenuBarIcon::image(health, 24);
        const bool coloured = MenuBarIcon::isColoured(health);
        const bool spins = health.kind == Health::Kind::working;
        for (const auto& other : images)
            EXPECT_NE(d, other);
        images.push_back(d);
        EXPECT_EQ(d == MenuBarIcon::image(health, 60), !spins);
        // The system tints only what has no colours of its own.
        EXPECT_EQ(d.isTemplate, !coloured);
        EXPECT_EQ(coloured, health.kind == Health::Kind::warning || health.kind == Health::Kind::broken ||
                                health.kind == Health::Kind::needsPermission);
        ASSERT_EQ(d.operations.size(), 2u + spins + coloured);

        // Everything inside the canvas, strokes with their width.
        for (const auto& op : d.operations) {
            const auto b = MenuBarIcon::curveBounds(op.path);
            const double pen = op.kind == DrawOperation::Kind::stroke ? op.lineWidth / 2 : 0;
            EXPECT_GE(std::min(b.x, b.y) - pen, 0);
            EXPECT_LE(std::max(b.x + b.width, b.y + b.height) + pen, 18);
        }
        // A closed ring, fainter than the glyph centred inside it, aspect kept.
        const auto& ring = d.operations[0];
        const auto& glyph = d.operations[1];
        const auto r = MenuBarIcon::curveBounds(ring.path), g = MenuBarIcon::curveBounds(glyph.path);
        const auto raw = MenuBarIcon::curveBounds(MenuBarIcon::rawTamselPath());
        EXPECT_TRUE(near(ring.path.elements.front().to, ring.path.elements.back().to));
        EXPECT_NEAR(r.width, r.height, 1e-3);
        EXPECT_LT(ring.color.alpha, glyph.color.alpha);
        // A coloured image keeps its glyph in the text colour, which follows light and dark.
        EXPECT_EQ(glyph.color.role, coloured ? ColorRole::label : ColorRole::black);
        EXPECT_EQ(ring.color.role, glyph.color.role);
        EXPECT_TRUE(near({g.midX(), g.midY()}, {r.midX(), r.midY()}));
        EXPECT_NEAR(g.width / g.height, raw.width / raw.height, 1e-9);
        EXPECT_LT(std::hypot(g.width, g.height), r.width) << "the glyph crosses the ring";
        EXPECT_GT(g.height, r.height / 2) << "the glyph is lost inside the ring";
        if (spins) {
            // On the ring from the angle, counter-clockwise over the top, and
            // bolder than the ring it turns on.
            const auto& spinner = d.operations[2];
            const platform::Point centre{r.midX(), r.midY()};
            EXPECT_TRUE(near(spinner.path.elements.front().to, onCircle(centre, r.width / 2, 24)));
            const auto s = MenuBarIcon::curveBounds(spinner.path);
            EXPECT_NEAR(s.y + s.height, r.y + r.height, 1e-3);
            EXPECT_GT(s.width, 0);
            EXPECT_LT(s.width, r.width);
            EXPECT_GT(spinner.lineWidth, ring.lineWidth);
            EXPECT_GT(spinner.color.alpha, ring.color.alpha);
        }
        if (coloured) {
            // In the bottom-right corner (y up), clear of the glyph's middle.
            const auto b = MenuBarIcon::curveBounds(d.operations.back().path);
            EXPECT_GE(b.x, r.midX());
            EXPECT_LE(b.y + b.height, r.midY());
            EXPECT_GT(b.width, 0);
            for (const auto& badge : badges)
                EXPECT_NE(d.operations.back().color, badge);
            badges.push_back(d.operations.back().color);
            if (health.kind == Health::Kind::broken) {
                EXPECT_EQ(d.operations.back().color.role, ColorRole::systemRed);
            }
        }
    }
    // Not paired: the same glyph, dimmed.
    EXPECT_LT(MenuBarIcon::image(Health::notPaired(), 0).operations[1].color.alpha,
              MenuBarIcon::image(Health::idle(), 0).operations[1].color.alpha);
}
