// The menu and its button; every menu line is checked here, once.

#include "Support/FakePlatform.h"
#include "TavrelinMac/StatusMenu.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tavrelin;
using platform::MenuItem;
using Lines = std::vector<std::string>;

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
        MenuItem filed, lists;
        filed.title = "2 filed";
        lists.title = "Lists";
        lists.enabled = true;
        lists.submenu.push_back(filed);
        return {filed, lists};
    }
};

// One line per item: "-" for a separator, else the title with markers for
// enabled (+), key (⌘k) and indentation (>n).
Lines describe(const std::vector<MenuItem>& items) {
    Lines lines;
    for (const auto& item : items) {
        std::string line = item.separator ? "-" : (item.enabled ? "+ " : "  ") + item.title;
        if (!item.keyEquivalent.empty())
            line += " ⌘" + item.keyEquivalent;
        if (item.indentation)
            line += " >" + std::to_string(item.indentation);
        lines.push_back(line);
        EXPECT_EQ(static_cast<bool>(item.action), item.enabled && item.submenu.empty()) << item.title;
    }
    return lines;
}

struct StatusMenuTest : ::testing::Test {
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeApplication application;
    fake::FakeDialogs dialogs;
    fake::FakeStatusBar statusBar;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    DialogGate gate{application, dialogs, mainLoop};
    SyncState state{clock};
    std::shared_ptr<StatusMenu> menu =
        StatusMenu::create(statusBar, mainLoop, appInfo, gate, state, {std::make_shared<FakeModule>()});
    fake::FakeStatusItem& item = *statusBar.last;

    void SetUp() override {
        state.onChange = [this] { menu->refreshButton(); };
    }
    Lines menuLines() { return describe(item.provider()); }
    double drawnSpinnerAngle() const {
        for (const auto& op : item.image->operations)
            if (op.roundCaps) {
                auto start = op.path.elements.front().to;
                return std::atan2(start.y - 9, start.x - 9) * 180 / M_PI;
            }
        return NAN;
    }
};

} // namespace

TEST_F(StatusMenuTest, MenusForEachHealth) {
    auto expected = [](Lines head, const std::string& summary, bool paired) {
        head.insert(head.end(), {"-", "  Version 1.4.2 · " + summary, "+ Check for Updates…", "-"});
        if (paired)
            head.push_back("+ Unpair this Mac…");
        head.push_back("+ Quit Tavrelin ⌘q");
        return head;
    };
    EXPECT_EQ(menuLines(),
              expected({"  Tavrelin — Not paired", "-", "  Not paired with the extension yet", "+ How to pair…"}, "", false));

    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.record({PollOutcome::AccessDenied{}});
    EXPECT_EQ(menuLines(), expected({"  Tavrelin — Needs Reminders access", "  Backend: relay.example", "-",
                                     "  Tavrelin needs access to Reminders", "+ Open Privacy & Security settings…"},
                                    "", true));
    // Every other health shows the modules' sections.
    state.beginAttempt();
    menu->updateSummary = [] { return std::string("Up to date"); };
    EXPECT_EQ(menuLines(), expected({"  Tavrelin — Checking…", "  Backend: relay.example", "-", "  Apple Reminders",
                                     "     Last checked just now", "  2 filed >1", "+ Lists >1", "-", "+ Check now ⌘r"},
                                    "Up to date", true));
    EXPECT_EQ(item.toolTip, "Tavrelin — Checking…");
}

TEST_F(StatusMenuTest, TheSpinnerTurnsOnlyWhileWorkingAndRestartsFromTheTop) {
    EXPECT_TRUE(item.image->isTemplate);
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    state.beginAttempt();
    EXPECT_NEAR(drawnSpinnerAngle(), 90, 1e-9);
    for (int frame = 1; frame <= 19; ++frame) {
        mainLoop.advance(1.0 / 12);
        EXPECT_EQ(menu->spinnerAngle(), frame < 19 ? 90 - 24 * frame : -6); // wraps once past a full turn
        EXPECT_NEAR(std::remainder(drawnSpinnerAngle() - menu->spinnerAngle(), 360.0), 0, 1e-9);
    }
    state.beginAttempt(); // still working: the same spinner goes on
    EXPECT_EQ(menu->spinnerAngle(), -6);
    EXPECT_EQ(mainLoop.activeTimers(), 1u);

    state.record({PollOutcome::Failed{RelayError::unauthorized()}});
    EXPECT_FALSE(item.image->isTemplate); // coloured: it needs attention
    EXPECT_EQ(menu->spinnerAngle(), 90);
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
}

TEST_F(StatusMenuTest, NothingOutlivesTheMenuAndAnItemWithoutButtonIsNeverDrawn) {
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.beginAttempt();
    int calls = 0;
    menu->onSyncNow = [&] { ++calls; };
    menu->onUnpair = [&] { ++calls; };
    dialogs.script = {0};
    auto items = item.provider();
    auto provider = item.provider;
    state.onChange = nullptr;
    menu.reset();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    for (const auto& entry : items)
        if (entry.action)
            entry.action();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(provider().empty());

    statusBar.itemsHaveButton = false;
    menu = StatusMenu::create(statusBar, mainLoop, appInfo, gate, state, {});
    EXPECT_FALSE(statusBar.last->image);
    EXPECT_TRUE(statusBar.last->toolTip.empty());
    EXPECT_FALSE(menu->spinnerRunning());
    EXPECT_FALSE(statusBar.last->provider().empty());
}
