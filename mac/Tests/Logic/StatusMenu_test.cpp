// The menu and its button; every menu line is checked here, once.

#include "Support/FakePlatform.h"
#include "TavrelinMac/MenuBarIcon.h"
#include "TavrelinMac/StatusMenu.h"
#include "TavrelinMac/Words.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace tavrelin;
using platform::MenuItem;
using Lines = std::vector<std::string>;

namespace {

// Its own menu items are one separator unless a test gives others; the menu indents them.
struct FakeModule final : DeliveryModule {
    std::string id() const override { return "reminders"; }
    std::string title() const override { return "Apple Reminders"; }
    std::string statusLine() const override { return "Last checked just now"; }
    void start(const Pairing&) override {}
    void stop() override {}
    void syncNow() override {}
    std::vector<MenuItem> menuItems() const override { return section; }
    std::vector<MenuItem> section{MenuItem::separatorItem()};
};

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
    std::shared_ptr<FakeModule> module = std::make_shared<FakeModule>();
    std::shared_ptr<StatusMenu> menu =
        StatusMenu::create(statusBar, mainLoop, appInfo, gate, state, {module}, platform::RemindersPlace::taskListFolder);
    fake::FakeStatusItem& item = *statusBar.last;

    void SetUp() override {
        state.onChange = [this] { menu->refreshButton(); };
    }
    // One line per item: "-" for a separator, else the title with markers for
    // enabled (+), key (⌘k) and indentation (>n).
    Lines menuLines() const {
        Lines lines;
        for (const auto& entry : item.provider()) {
            std::string line = entry.separator ? "-" : (entry.enabled ? "+ " : "  ") + entry.title;
            line += entry.keyEquivalent.empty() ? "" : " ⌘" + entry.keyEquivalent;
            line += entry.indentation ? " >" + std::to_string(entry.indentation) : "";
            lines.push_back(line);
        }
        return lines;
    }
};

} // namespace

TEST_F(StatusMenuTest, MenusForEachHealth) {
    auto expected = [](Lines head, const std::string& summary, bool paired) {
        head.insert(head.end(), {"-", "  Version 1.4.2 · " + summary, "+ Check for Updates…", "-"});
        if (paired)
            head.push_back("+ " + words::menu::unpair());
        head.push_back("+ Quit Tavrelin ⌘q");
        return head;
    };
    EXPECT_EQ(menuLines(),
              expected({"  Tavrelin — Not paired", "-", "  Not paired with the extension yet", "+ How to pair…"}, "", false));

    // Every health but these two shows the modules' sections; the privacy
    // settings item is reached through the shell.
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.beginAttempt();
    menu->updateSummary = [] { return std::string("Up to date"); };
    EXPECT_EQ(menuLines(), expected({"  Tavrelin — Checking…", "  Backend: relay.example", "-", "  Apple Reminders",
                                     "     Last checked just now", "- >1", "-", "+ Check now ⌘r"},
                                    "Up to date", true));
    EXPECT_EQ(item.toolTip, "Tavrelin — Checking…");
}

// A front end keys what it shows by the ids: they must be unique, and an
// entry's must not change with what stands before it or with the health.
TEST_F(StatusMenuTest, EntriesAreKnownByWhatTheyAreNotByWhereTheyStand) {
    auto idsByTitle = [this] {
        std::map<std::string, std::string> ids;
        std::set<std::string> seen;
        for (const auto& entry : item.provider()) {
            EXPECT_FALSE(entry.id.empty()) << entry.title;
            EXPECT_TRUE(seen.insert(entry.id).second) << entry.id << " twice";
            ids[entry.separator ? entry.id : entry.title] = entry.id;
        }
        return ids;
    };
    const auto unpaired = idsByTitle();
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.record({PollOutcome::Succeeded{}});
    module->section = {};
    const auto bare = idsByTitle();
    // The module's own ids cannot clash with the menu's.
    auto line = [](std::string id) {
        MenuItem entry;
        entry.id = entry.title = std::move(id);
        return entry;
    };
    module->section = {line("filed"), line("quit"), line("headline")};
    const auto grown = idsByTitle();
    EXPECT_EQ(grown.size(), bare.size() + 3);
    for (const auto* other : {&unpaired, &grown})
        for (const auto& [title, id] : bare)
            EXPECT_EQ(other->count(title) ? other->at(title) : id, id) << title;
    EXPECT_EQ(unpaired.at("Quit Tavrelin"), bare.at("Quit Tavrelin"));
}

TEST_F(StatusMenuTest, TheSpinnerTurnsOnlyWhileWorkingAndRestartsFromTheTop) {
    state.beginAttempt();
    for (int frame = 1; frame <= 19; ++frame)
        mainLoop.advance(1.0 / 12);
    EXPECT_EQ(menu->spinnerAngle(), -6); // 90 - 19 · 24, wrapped once past a full turn
    EXPECT_EQ(item.image, MenuBarIcon::image(state.health(), -6));

    state.record({PollOutcome::Failed{RelayError::unauthorized()}});
    EXPECT_EQ(menu->spinnerAngle(), 90);
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
}

// A terminal shows the tool tip but no image.
TEST(StatusMenuWithoutImages, TurnsNoSpinnerButFollowsTheHeadline) {
    struct TextItem final : platform::StatusItem {
        bool hasButton() const override { return true; }
        bool showsImages() const override { return false; }
        void setImage(const platform::Drawing&) override {}
        void setToolTip(const std::string& text) override { toolTip = text; }
        void setMenuProvider(std::function<std::vector<MenuItem>()>) override {}
        void performClick() override {}
        std::string toolTip;
    };
    struct TextBar final : platform::StatusBar {
        std::unique_ptr<platform::StatusItem> makeStatusItem() override {
            auto item = std::make_unique<TextItem>();
            last = item.get();
            return item;
        }
        TextItem* last = nullptr;
    } bar;
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeApplication application;
    fake::FakeDialogs dialogs;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    DialogGate gate{application, dialogs, mainLoop};
    SyncState state{clock};
    auto menu = StatusMenu::create(bar, mainLoop, appInfo, gate, state, {}, platform::RemindersPlace::taskListFolder);
    state.onChange = [&] { menu->refreshButton(); };
    state.beginAttempt();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    EXPECT_EQ(bar.last->toolTip, "Tavrelin — Checking…");
}

TEST_F(StatusMenuTest, NothingOutlivesTheMenu) {
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    state.beginAttempt();
    bool synced = false;
    menu->onSyncNow = [&] { synced = true; };
    const auto items = item.provider();
    const auto provider = item.provider;
    menu.reset();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    for (const auto& entry : items)
        if (entry.action)
            entry.action();
    EXPECT_FALSE(synced); // every action goes through the same weak reference
    EXPECT_TRUE(provider().empty());
}
