#include "Support/FakePlatform.h"
#include "TavrelinMac/StatusMenu.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tavrelin;
using platform::MenuItem;
using Health = SyncState::Health;

namespace {

class FakeModule final : public DeliveryModule {
public:
    std::string id() const override { return "reminders"; }
    std::string title() const override { return "Apple Reminders"; }
    std::string statusLine() const override { return "Last checked just now"; }
    void start(const Pairing&) override {}
    void stop() override {}
    void syncNow() override {}
    std::vector<MenuItem> menuItems() const override {
        MenuItem filed;
        filed.title = "2 reminders filed this session";
        MenuItem lists;
        lists.title = "Lists on this Mac";
        lists.enabled = true;
        MenuItem inbox;
        inbox.title = "Inbox";
        lists.submenu.push_back(inbox);
        return {filed, lists};
    }
};

// One line per item: "-" for a separator, else the title with markers for
// enabled (+), key (⌘k) and indentation (>n).
std::vector<std::string> describe(const std::vector<MenuItem>& items) {
    std::vector<std::string> lines;
    for (const auto& item : items) {
        if (item.separator) {
            lines.push_back("-");
            continue;
        }
        std::string line = (item.enabled ? "+ " : "  ") + item.title;
        if (!item.keyEquivalent.empty())
            line += " ⌘" + item.keyEquivalent;
        if (item.indentation)
            line += " >" + std::to_string(item.indentation);
        lines.push_back(line);
        // Items with an action are enabled; informational ones have none.
        EXPECT_EQ(static_cast<bool>(item.action), item.enabled && item.submenu.empty()) << item.title;
    }
    return lines;
}

struct StatusMenuTest : ::testing::Test {
    fake::FakePlatform p;
    SyncState state{p.clock};
    std::shared_ptr<FakeModule> module = std::make_shared<FakeModule>();
    std::shared_ptr<StatusMenu> menu = StatusMenu::create(p.services, state, {module});
    fake::FakeStatusItem& item = *p.statusBar.last;

    void setHealth(Health health) {
        state.health = std::move(health);
        menu->refreshButton();
    }
    // The start point of the spinner arc in the item's current image, as an angle.
    std::optional<double> drawnSpinnerAngle() const {
        for (const auto& op : item.image->operations)
            if (op.roundCaps) {
                auto start = op.path.elements.front().to;
                return std::atan2(start.y - 9, start.x - 9) * 180 / M_PI;
            }
        return std::nullopt;
    }
};

} // namespace

TEST_F(StatusMenuTest, NotPairedMenu) {
    EXPECT_EQ(describe(item.openMenu()), (std::vector<std::string>{
                                             "  Tavrelin — Not paired",
                                             "-",
                                             "  Not paired with the extension yet",
                                             "+ How to pair…",
                                             "-",
                                             "  Version 1.4.2 · ",
                                             "+ Check for Updates…",
                                             "-",
                                             "+ Quit Tavrelin ⌘q",
                                         }));
}

TEST_F(StatusMenuTest, NeedsPermissionMenuHasNoModuleSection) {
    state.pairedHost = "relay.example";
    setHealth(Health::needsPermission());
    menu->updateSummary = [] { return std::string("Up to date"); };
    EXPECT_EQ(describe(item.openMenu()), (std::vector<std::string>{
                                             "  Tavrelin — Needs Reminders access",
                                             "  Backend: relay.example",
                                             "-",
                                             "  Tavrelin needs access to Reminders",
                                             "+ Open Privacy & Security settings…",
                                             "-",
                                             "  Version 1.4.2 · Up to date",
                                             "+ Check for Updates…",
                                             "-",
                                             "+ Unpair this Mac…",
                                             "+ Quit Tavrelin ⌘q",
                                         }));
}

TEST_F(StatusMenuTest, HealthyMenuShowsEachModuleIndented) {
    state.pairedHost = "relay.example";
    setHealth(Health::idle());
    auto items = item.openMenu();
    EXPECT_EQ(describe(items), (std::vector<std::string>{
                                   "  Tavrelin — Connected",
                                   "  Backend: relay.example",
                                   "-",
                                   "  Apple Reminders",
                                   "     Last checked just now",
                                   "  2 reminders filed this session >1",
                                   "+ Lists on this Mac >1",
                                   "-",
                                   "+ Check now ⌘r",
                                   "-",
                                   "  Version 1.4.2 · ",
                                   "+ Check for Updates…",
                                   "-",
                                   "+ Unpair this Mac…",
                                   "+ Quit Tavrelin ⌘q",
                               }));
    ASSERT_EQ(items[6].submenu.size(), 1u);
    EXPECT_EQ(items[6].submenu[0].title, "Inbox");

    // Every other non-paired health shows the same section.
    for (auto health : {Health::working(), Health::warning("Network trouble"), Health::broken("Token refused")}) {
        setHealth(health);
        auto lines = describe(item.openMenu());
        EXPECT_EQ(lines[3], "  Apple Reminders");
        EXPECT_EQ(lines[8], "+ Check now ⌘r");
    }
}

TEST_F(StatusMenuTest, ActionsCallTheirCallbacks) {
    std::vector<std::string> called;
    menu->onSyncNow = [&] { called.push_back("sync"); };
    menu->onPairingHelp = [&] { called.push_back("help"); };
    menu->onOpenRemindersSettings = [&] { called.push_back("settings"); };
    menu->onCheckForUpdates = [&] { called.push_back("updates"); };
    menu->onQuit = [&] { called.push_back("quit"); };

    EXPECT_TRUE(item.choose("How to pair…"));
    EXPECT_TRUE(item.choose("Check for Updates…"));
    EXPECT_TRUE(item.choose("Quit Tavrelin"));
    setHealth(Health::needsPermission());
    EXPECT_TRUE(item.choose("Open Privacy & Security settings…"));
    setHealth(Health::idle());
    EXPECT_TRUE(item.choose("Check now"));
    EXPECT_EQ(called, (std::vector<std::string>{"help", "updates", "quit", "settings", "sync"}));

    // With no callback installed an action does nothing.
    menu->onSyncNow = nullptr;
    EXPECT_TRUE(item.choose("Check now"));
    EXPECT_EQ(called.size(), 5u);
}

TEST_F(StatusMenuTest, ButtonFollowsTheHealth) {
    EXPECT_EQ(item.toolTip, "Tavrelin — Not paired");
    setHealth(Health::broken("Token refused"));
    EXPECT_EQ(item.toolTip, "Tavrelin — Stopped: Token refused");
    EXPECT_FALSE(item.image->isTemplate);
}

TEST_F(StatusMenuTest, SpinnerTurnsWhileWorkingWithoutTouchingTheToolTip) {
    EXPECT_FALSE(menu->spinnerRunning());
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
    setHealth(Health::working());
    ASSERT_TRUE(menu->spinnerRunning());
    EXPECT_NEAR(*drawnSpinnerAngle(), 90, 1e-9);

    const int toolTips = item.toolTipSets;
    const int images = item.imageSets;
    std::vector<double> angles;
    for (int frame = 0; frame < 21; ++frame) {
        p.mainLoop.advance(1.0 / 12);
        angles.push_back(menu->spinnerAngle());
        auto drawn = *drawnSpinnerAngle();
        EXPECT_NEAR(std::remainder(drawn - menu->spinnerAngle(), 360.0), 0, 1e-9);
    }
    std::vector<double> expected;
    for (double a = 66; a > -360; a -= 24)
        expected.push_back(a); // 66 … -342: 18 frames
    expected.insert(expected.end(), {-6, -30, -54});
    EXPECT_EQ(angles, expected);
    EXPECT_EQ(item.imageSets, images + 21);
    EXPECT_EQ(item.toolTipSets, toolTips);

    // Another redraw while working keeps the running spinner and its angle.
    menu->refreshButton();
    EXPECT_EQ(menu->spinnerAngle(), -54);
    EXPECT_EQ(p.mainLoop.activeTimers(), 1u);

    // Leaving working stops the timer and resets the angle in the same redraw.
    setHealth(Health::idle());
    EXPECT_FALSE(menu->spinnerRunning());
    EXPECT_EQ(menu->spinnerAngle(), 90);
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
    const int afterStop = item.imageSets;
    p.mainLoop.advance(1);
    EXPECT_EQ(item.imageSets, afterStop);

    // The next poll starts from the top again.
    setHealth(Health::working());
    p.mainLoop.advance(1.0 / 12);
    EXPECT_EQ(menu->spinnerAngle(), 66);
}

TEST_F(StatusMenuTest, UnpairAsksFirstAndOnlyTheFirstButtonUnpairs) {
    state.pairedHost = "relay.example";
    setHealth(Health::idle());
    int unpaired = 0;
    menu->onUnpair = [&] { ++unpaired; };

    EXPECT_TRUE(item.choose("Unpair this Mac…")); // script empty: "Cancel"
    EXPECT_EQ(unpaired, 0);
    ASSERT_EQ(p.dialogs.shown.size(), 1u);
    const auto& alert = p.dialogs.shown[0];
    EXPECT_EQ(alert.style, platform::AlertStyle::warning);
    EXPECT_EQ(alert.title, "Unpair this Mac?");
    EXPECT_EQ(alert.text, "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server "
                          "and will arrive when you pair again.\n\nReminders already in your Reminders app are not touched.");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Unpair", "Cancel"}));
    EXPECT_EQ(p.application.activations, 1);

    p.dialogs.script = {0};
    EXPECT_TRUE(item.choose("Unpair this Mac…"));
    EXPECT_EQ(unpaired, 1);
    EXPECT_EQ(p.application.activations, 2);
}

TEST_F(StatusMenuTest, CallbacksOutlivingTheMenuDoNothing) {
    state.pairedHost = "relay.example";
    setHealth(Health::working());
    int calls = 0;
    menu->onSyncNow = [&] { ++calls; };
    menu->onUnpair = [&] { ++calls; };
    p.dialogs.script = {0};
    auto items = item.openMenu();
    auto provider = item.provider;

    menu.reset(); // takes the status item and the spinner timer with it
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
    p.mainLoop.advance(1);
    for (const auto& entry : items)
        if (entry.action)
            entry.action();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(p.dialogs.shown.empty());
    EXPECT_TRUE(provider().empty());
}

TEST(StatusMenu, ItemWithoutButtonIsNeverDrawn) {
    fake::FakePlatform p;
    p.statusBar.itemsHaveButton = false;
    SyncState state{p.clock};
    state.health = Health::working();
    auto menu = StatusMenu::create(p.services, state, {});
    EXPECT_EQ(p.statusBar.last->imageSets, 0);
    EXPECT_EQ(p.statusBar.last->toolTipSets, 0);
    EXPECT_FALSE(menu->spinnerRunning());
    // The menu still opens.
    EXPECT_FALSE(p.statusBar.last->openMenu().empty());
}
