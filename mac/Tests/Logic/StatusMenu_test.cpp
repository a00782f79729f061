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
        MenuItem filed, lists, inbox;
        filed.title = "2 reminders filed this session";
        lists.title = "Lists on this Mac";
        lists.enabled = true;
        inbox.title = "Inbox";
        lists.submenu.push_back(inbox);
        return {filed, lists};
    }
};

// One line per item: "-" for a separator, else the title with markers for
// enabled (+), key (⌘k) and indentation (>n).
Lines describe(const std::vector<MenuItem>& items) {
    Lines lines;
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
    void paired() { state.setPaired(Pairing{"https://relay.example", "rk_x", {}}); }
    void outcome(PollOutcome outcome) { state.record(outcome); }
    void idle() { outcome({PollOutcome::Succeeded{}}); }
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
    const Lines tail = {"-", "  Version 1.4.2 · ", "+ Check for Updates…", "-"};
    auto expected = [&](Lines head, Lines end) {
        head.insert(head.end(), tail.begin(), tail.end());
        head.insert(head.end(), end.begin(), end.end());
        return head;
    };
    EXPECT_EQ(describe(item.openMenu()),
              expected({"  Tavrelin — Not paired", "-", "  Not paired with the extension yet", "+ How to pair…"},
                       {"+ Quit Tavrelin ⌘q"}));

    paired();
    outcome({PollOutcome::AccessDenied{}});
    EXPECT_EQ(describe(item.openMenu()),
              expected({"  Tavrelin — Needs Reminders access", "  Backend: relay.example", "-",
                        "  Tavrelin needs access to Reminders", "+ Open Privacy & Security settings…"},
                       {"+ Unpair this Mac…", "+ Quit Tavrelin ⌘q"}));

    // Every other health shows the modules' sections.
    const Lines section = {
        "  Apple Reminders", "     Last checked just now", "  2 reminders filed this session >1", "+ Lists on this Mac >1", "-",
        "+ Check now ⌘r"};
    const std::pair<std::function<void()>, std::string> healths[] = {
        {[&] { idle(); }, "Connected"},
        {[&] { state.beginAttempt(); }, "Checking…"},
        {[&] { outcome({PollOutcome::Failed{RelayError::http(500)}}); }, "Trouble: Backend returned HTTP 500."},
        {[&] { outcome({PollOutcome::AccessFailed{"no database"}}); }, "Stopped: Reminders access failed: no database"},
    };
    for (const auto& [set, headline] : healths) {
        set();
        Lines head = {"  Tavrelin — " + headline, "  Backend: relay.example", "-"};
        head.insert(head.end(), section.begin(), section.end());
        EXPECT_EQ(describe(item.openMenu()), expected(head, {"+ Unpair this Mac…", "+ Quit Tavrelin ⌘q"}));
        EXPECT_EQ(item.toolTip, "Tavrelin — " + headline);
    }
    menu->updateSummary = [] { return std::string("Up to date"); };
    EXPECT_EQ(describe(item.openMenu())[10], "  Version 1.4.2 · Up to date");
}

TEST_F(StatusMenuTest, ActionsCallTheirCallbacksAndDoNothingWithout) {
    Lines called;
    menu->onPairingHelp = [&] { called.push_back("help"); };
    menu->onCheckForUpdates = [&] { called.push_back("updates"); };
    menu->onQuit = [&] { called.push_back("quit"); };
    menu->onOpenRemindersSettings = [&] { called.push_back("settings"); };
    menu->onSyncNow = [&] { called.push_back("sync"); };
    menu->onUnpair = [&] { called.push_back("unpair"); };
    for (const char* title : {"How to pair…", "Check for Updates…", "Quit Tavrelin"})
        EXPECT_TRUE(item.choose(title));
    paired();
    outcome({PollOutcome::AccessDenied{}});
    EXPECT_TRUE(item.choose("Open Privacy & Security settings…"));
    idle();
    EXPECT_TRUE(item.choose("Check now"));
    EXPECT_TRUE(item.choose("Unpair this Mac…")); // the empty script cancels
    dialogs.script = {0};
    EXPECT_TRUE(item.choose("Unpair this Mac…"));
    EXPECT_EQ(called, (Lines{"help", "updates", "quit", "settings", "sync", "unpair"}));
    EXPECT_EQ(application.activations, 2);

    menu->onSyncNow = nullptr;
    EXPECT_TRUE(item.choose("Check now"));
    EXPECT_EQ(called.size(), 6u);
}

TEST_F(StatusMenuTest, TheButtonKeepsItsColoursOnlyWhenSomethingNeedsAttention) {
    EXPECT_TRUE(item.image->isTemplate);
    outcome({PollOutcome::Failed{RelayError::unauthorized()}});
    EXPECT_FALSE(item.image->isTemplate);
}

TEST_F(StatusMenuTest, TheSpinnerTurnsOnlyWhileWorkingAndRestartsFromTheTop) {
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    state.beginAttempt();
    EXPECT_NEAR(drawnSpinnerAngle(), 90, 1e-9);
    const int toolTips = item.toolTipSets;
    std::vector<double> angles;
    for (int frame = 0; frame < 19; ++frame) {
        mainLoop.advance(1.0 / 12);
        angles.push_back(menu->spinnerAngle());
        EXPECT_NEAR(std::remainder(drawnSpinnerAngle() - menu->spinnerAngle(), 360.0), 0, 1e-9);
    }
    EXPECT_EQ(angles.front(), 66);
    EXPECT_EQ(angles[17], -342);
    EXPECT_EQ(angles[18], -6); // wrapped
    EXPECT_EQ(item.toolTipSets, toolTips);

    state.beginAttempt(); // still working: the same spinner goes on
    EXPECT_EQ(menu->spinnerAngle(), -6);
    EXPECT_EQ(mainLoop.activeTimers(), 1u);

    idle();
    EXPECT_EQ(menu->spinnerAngle(), 90);
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    state.beginAttempt();
    mainLoop.advance(1.0 / 12);
    EXPECT_EQ(menu->spinnerAngle(), 66);
}

TEST_F(StatusMenuTest, NothingOutlivesTheMenu) {
    paired();
    state.beginAttempt();
    int calls = 0;
    menu->onSyncNow = [&] { ++calls; };
    menu->onUnpair = [&] { ++calls; };
    dialogs.script = {0};
    auto items = item.openMenu();
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
}

TEST(StatusMenu, AnItemWithoutButtonIsNeverDrawn) {
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeApplication application;
    fake::FakeDialogs dialogs;
    fake::FakeStatusBar statusBar;
    statusBar.itemsHaveButton = false;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    DialogGate gate{application, dialogs, mainLoop};
    SyncState state{clock};
    state.beginAttempt();
    auto menu = StatusMenu::create(statusBar, mainLoop, appInfo, gate, state, {});
    EXPECT_EQ(statusBar.last->imageSets + statusBar.last->toolTipSets, 0);
    EXPECT_FALSE(menu->spinnerRunning());
    EXPECT_FALSE(statusBar.last->openMenu().empty());
}
