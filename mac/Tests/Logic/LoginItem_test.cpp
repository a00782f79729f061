// The installed copy's desktop entries through the shell: which copy keeps
// them, the menu's switch, "off stays off", and entries that follow the copy.

#include "Support/ShellHarness.h"
#include "TavrelinMac/LoginItem.h"

using namespace tavrelin;
using namespace tavrelin::fake;

namespace {

const std::string installed = "/home/user/Applications/Tavrelin.app";
const std::string switchTitle(words::install::startAtLogin());

// A shell that keeps the entries, launched and settled.
struct Desktop : Shell {
    FakeLoginItems items;
    // `switchInMenu` false is the macOS words' menu.
    explicit Desktop(const std::string& bundlePath = installed, bool switchInMenu = true) {
        loginItems = &items;
        features.startAtLoginInMenu = switchInMenu;
        bundle.bundlePath = bundlePath;
        relaunch();
    }
    void start() {
        launch();
        mainLoop.drain();
    }
    // The switch as the menu shows it: none when it is not there.
    std::optional<bool> shown() {
        for (const auto& item : item().provider())
            if (item.title == switchTitle)
                return item.checked;
        return std::nullopt;
    }
    void toggle() { ASSERT_TRUE(chooseInMenu(switchTitle)); }
};

} // namespace

TEST(LoginItem, OnlyAnInstalledCopyKeepsTheEntriesRewritingAnotherCopysAndOnlyItsMenuHasTheSwitch) {
    // The rule's edge cases are in InstalledCopy_test: the shell asks one rule.
    const std::pair<std::string, bool> cases[] = {{installed, true}, {"/home/user/Downloads/Tavrelin.app", false}};
    for (const auto& [path, kept] : cases) {
        Desktop s(path);
        s.defaults.values[InstallLocation::declinedMoveKey] = true;
        s.start();
        EXPECT_EQ(s.items.login, kept ? std::optional(path) : std::nullopt) << path;
        EXPECT_EQ(s.items.handler, kept ? std::optional(path) : std::nullopt) << path;
        EXPECT_EQ(s.shown(), kept ? std::optional(true) : std::nullopt) << path;
    }

    // The macOS words keep the spec's menu, entries or not.
    Desktop mac(installed, false);
    mac.start();
    EXPECT_EQ(mac.items.login, installed);
    EXPECT_EQ(mac.shown(), std::nullopt);

    // After a move or an update, entries naming another copy (or an older text
    // of this one, which the desktop's side reports alike) are rewritten.
    Desktop moved;
    moved.items.login = moved.items.handler = "/Applications/Tavrelin.app";
    moved.defaults.values[LoginItem::writtenKey] = true;
    moved.start();
    EXPECT_EQ(moved.items.operations, (Lines{"write login " + installed, "write handler " + installed}));
    EXPECT_EQ(moved.shown(), true); // the entry starts this copy

    // Unless the bundle was renamed or replaced under this agent (an update's
    // swap): the copy now at its path keeps them, and this one touches nothing.
    Desktop replaced;
    replaced.items.login = replaced.items.handler = "/Applications/Tavrelin.app";
    replaced.bundle.replaced = true;
    replaced.start();
    EXPECT_TRUE(replaced.items.operations.empty());
    EXPECT_EQ(replaced.items.login, "/Applications/Tavrelin.app");
}

// Turned off from the menu or in the desktop's session settings (which mark
// the entry hidden or delete it; a deleted one is in the command line test),
// it stays off, and is never written back, until it is turned on again.
TEST(LoginItem, TurnedOffFromTheMenuOrTheDesktopItStaysOffUntilTurnedOnAgain) {
    for (const std::string way : {"menu", "hidden"}) {
        SCOPED_TRACE(way);
        Desktop s;
        s.start();
        LogCapture log;
        if (way == "menu")
            s.toggle();
        else
            s.items.loginDisabled = true;
        for (int launch = 0; launch < 2; ++launch) {
            s.relaunch();
            s.start();
            // A hidden entry stays until the person deletes it; the choice is recorded by then.
            EXPECT_EQ(s.items.login.has_value(), way == "hidden" && launch == 0);
            EXPECT_EQ(s.shown(), false);
            s.items.login.reset();
        }
        EXPECT_THAT(log.lines(),
                    ::testing::Contains(::testing::HasSubstr(way == "menu" ? "start at login: the login entry was removed"
                                                                           : "outside the agent; it stays off")));
        Lines operations{"write login " + installed, "write handler " + installed};
        if (way == "menu")
            operations.push_back("remove login");
        EXPECT_EQ(s.items.operations, operations);

        s.toggle();
        EXPECT_EQ(s.shown(), true);
        s.relaunch();
        s.start();
        EXPECT_EQ(s.items.login, installed);
    }
}

TEST(LoginItem, PassesRunOneAtATimeAChangeElsewhereReachesTheMenuAndFailuresAreLoggedNotShownAsDone) {
    Desktop s;
    s.start();
    s.mainLoop.autoRunBackground = false;
    const std::size_t before = s.mainLoop.backgroundPriorities.size();
    ASSERT_TRUE(s.item().choose(switchTitle)); // off: under way
    ASSERT_TRUE(s.item().choose(switchTitle)); // on again: waits, shown at once
    EXPECT_EQ(s.shown(), true);
    s.items.changed(); // a look adds nothing to the pass that waits
    s.mainLoop.drain();
    EXPECT_EQ(s.mainLoop.backgroundPriorities.size() - before, 2u);
    EXPECT_EQ(s.items.operations,
              (Lines{"write login " + installed, "write handler " + installed, "remove login", "write login " + installed}));
    EXPECT_EQ(s.shown(), true);
    s.mainLoop.autoRunBackground = true;

    // `--start-at-login off` elsewhere: the entry goes, the watcher says so,
    // and the menu is redrawn, so a tray holding it shows the change.
    s.item().toolTip.clear();
    s.items.login.reset();
    s.items.changed();
    s.mainLoop.drain();
    EXPECT_EQ(s.shown(), false);
    EXPECT_FALSE(s.item().toolTip.empty());
    EXPECT_FALSE(s.defaults.boolForKey(LoginItem::turnedOffKey)); // the other process records the choice

    s.items.failing = "write login";
    LogCapture log;
    s.toggle();
    EXPECT_THAT(log.lines(),
                ::testing::Contains("warn could not keep the desktop entries: No room for write login " + installed + "."));
    EXPECT_EQ(s.items.login, std::nullopt);
    EXPECT_FALSE(s.defaults.boolForKey(LoginItem::writtenKey));
}

TEST(LoginItem, TheCommandLineTurnsItOnForTheInstalledCopyFromAnyCopy) {
    using Command = LoginItem::Command;
    using Report = LoginItem::CommandReport;
    FakeServices s;
    FakeLoginItems items;
    auto run = [&](Command command) { return LoginItem::command(command, s.bundle, s.defaults, items, s.files); };
    // The login entry, the link handler, and whether start at login was turned off.
    using Entries = std::tuple<std::optional<std::string>, std::optional<std::string>, bool>;
    auto entries = [&] { return Entries(items.login, items.handler, s.defaults.boolForKey(LoginItem::turnedOffKey)); };
    const std::string elsewhere = s.bundle.bundlePath = "/home/user/src/build/Tavrelin.app";

    // Nothing installed yet: the choice is kept for the copy to come.
    s.defaults.values[LoginItem::turnedOffKey] = true;
    EXPECT_EQ(run(Command::on),
              (Report{{"Start at login is on. It takes effect once Tavrelin is installed in /home/user/Applications "
                       "(scripts/install puts it there)."},
                      {}}));
    EXPECT_EQ(entries(), Entries(std::nullopt, std::nullopt, false));

    s.files.files[installed + "/Contents/MacOS/tavrelin-agent"] = "#!";
    run(Command::on);
    EXPECT_EQ(items.login, installed);
    EXPECT_TRUE(s.defaults.boolForKey(LoginItem::writtenKey));

    // A copy elsewhere registers itself as the handler, but never starts at login.
    EXPECT_EQ(run(Command::registerCopy), (Report{{"tavrelin:// links open with " + elsewhere + ".",
                                                   "Start at login is only for a copy in an Applications folder."},
                                                  {}}));
    EXPECT_EQ(entries(), Entries(installed, elsewhere, false));
    EXPECT_EQ(run(Command::off), (Report{{"Start at login is off."}, {}}));
    EXPECT_EQ(entries(), Entries(std::nullopt, elsewhere, true));

    // Registering the installed copy honours the choice, also one made on
    // the desktop; unregistering keeps it.
    s.bundle.bundlePath = installed;
    run(Command::on);
    items.login.reset();
    EXPECT_EQ(run(Command::registerCopy), (Report{{"Start at login was turned off on the desktop; it stays off.",
                                                   "tavrelin:// links open with " + installed + ".", "Start at login is off."},
                                                  {}}));
    EXPECT_EQ(entries(), Entries(std::nullopt, installed, true));
    run(Command::unregisterCopy);
    EXPECT_EQ(entries(), Entries(std::nullopt, std::nullopt, true));

    // Installed again after an uninstall: the entry comes back, not taken for
    // one the desktop removed.
    run(Command::on);
    run(Command::unregisterCopy);
    EXPECT_EQ(items.login, std::nullopt);
    run(Command::registerCopy);
    EXPECT_EQ(items.login, installed);

    items.failing = "remove login";
    // What failed is told apart from what was done, and nothing claims the change.
    EXPECT_EQ(run(Command::off), (Report{{}, {"No room for remove login."}}));
    items.failing = "remove handler";
    EXPECT_EQ(run(Command::unregisterCopy), (Report{{}, {"No room for remove handler."}}));
}
