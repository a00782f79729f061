// Both front ends on a real (offscreen) QApplication. The Qt one: main loop,
// launch, dialogs, settings, single instance, relaunch, tray item and icon. The
// terminal one: input routing, dialogs and menu.

#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Qt/QtApplication.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtIconRenderer.h"
#include "Platform/Qt/QtMainLoop.h"
#include "Platform/Qt/QtStatusItem.h"
#include "Platform/Qt/QtUserDefaults.h"
#include "Platform/Qt/QtWorkspace.h"
#include "Platform/Qt/SingleInstance.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/MenuBarIcon.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>
#include <future>
#include <sstream>

using namespace tavrelin;
using namespace tavrelin::qt;
using namespace tavrelin::terminal;
using namespace tavrelin::testing;
using Health = SyncState::Health;
using Lines = std::vector<std::string>;

// Fontconfig keeps its caches for the life of the process by design; the
// dialogs' text brings it in. Read by LeakSanitizer when it is linked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class QtPlatform : public ::testing::Test {
protected:
    void SetUp() override { application<QApplication>(); }
};

TEST_F(QtPlatform, PostedBlocksRunOnTheMainThreadInOrderAndBackgroundWorkOffIt) {
    QtMainLoop loop;
    std::vector<int> order; // -1: not where it should run
    loop.background(platform::Priority::utility, [&] {
        const bool offMain = !loop.isMainThread();
        for (int i : {0, 1, 2})
            loop.post([&, i, offMain] { order.push_back(offMain && loop.isMainThread() ? i : -1); });
    });
    EXPECT_TRUE(spinUntil([&] { return order == std::vector<int>{0, 1, 2}; })) << ::testing::PrintToString(order);
    EXPECT_TRUE(loop.waitForBackground(1));
}

TEST_F(QtPlatform, LaunchLinksComeBeforeTheEndOfLaunchAndTerminationOnce) {
    QtApplication application(*qApp);
    struct Delegate : platform::ApplicationDelegate {
        explicit Delegate(QtApplication& app) : app(app) {}
        QtApplication& app;
        Lines calls;
        void applicationWillFinishLaunching() override { calls.push_back("willFinish"); }
        void applicationDidFinishLaunching() override {
            calls.push_back("didFinish");
            app.openURL("tavrelin://later");
            QTimer::singleShot(0, [this] {
                app.terminate();
                app.terminate();
            });
        }
        void applicationWillTerminate() override { calls.push_back("willTerminate"); }
        void handleGetURL(const std::optional<std::string>& url) override { calls.push_back(url.value_or("-")); }
    } delegate(application);
    application.openURL("tavrelin://first");
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_EQ(delegate.calls, (Lines{"willFinish", "tavrelin://first", "didFinish", "tavrelin://later", "willTerminate"}));
}

TEST_F(QtPlatform, DialogButtonsAnswerInOrderAsPlainText) {
    // Clicks `button` once the box shows (closes it when empty); the answer and what the box showed.
    auto answer = [](const platform::Alert& alert, const QString& button) {
        QString shown;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            shown = box->text() + "|" + box->informativeText() + "|" + QString::number(box->textFormat());
            if (button.isEmpty())
                box->close();
            for (QAbstractButton* candidate : box->buttons())
                if (candidate->text() == button)
                    candidate->click();
        });
        const int result = QtDialogs().runModal(alert);
        return std::make_pair(result, shown.toStdString());
    };
    platform::Alert alert{platform::AlertStyle::critical, "Pair with <b>x</b>?", "<i>y</i>", {"Pair", "Cancel", "Third"}};
    EXPECT_EQ(answer(alert, "Cancel").first, 1001);
    EXPECT_EQ(answer(alert, "").first, 1002); // closing is the last, cancelling button
    alert.buttons.clear();
    EXPECT_EQ(answer(alert, "OK"), std::make_pair(1000, std::string("Pair with <b>x</b>?|<i>y</i>|0"))); // no markup
}

TEST_F(QtPlatform, UserDefaultsAreWrittenThroughToTheSettingsFile) {
    TempFolder temp;
    QtUserDefaults defaults(QString::fromStdString(temp / "Tavrelin/Tavrelin.ini"));
    defaults.setBool("shown", true);
    EXPECT_EQ(readFile(temp / "Tavrelin/Tavrelin.ini"), "[General]\nshown=true\n"); // not only at exit
    EXPECT_FALSE(defaults.boolForKey("declined"));                                  // only a stored true reads true
}

// A later process asks the listening agent over its socket. The client call
// blocks, so it runs on a worker while the main loop lets the agent answer.
TEST_F(QtPlatform, ALaterProcessHandsOverLinksAndAsksForStatusOrQuit) {
    TempFolder temp;
    SingleInstance agent(QString::fromStdString(temp / "agent.sock")), later(agent.socketPath());
    Lines got;
    agent.onLink = [&](const std::string& link) { got.push_back(link); };
    agent.onQuit = [&] { got.push_back("quit"); };
    agent.status = [] { return std::string("Trouble: line one\nline two"); };
    EXPECT_FALSE(later.requestQuit()); // nobody listens yet
    ASSERT_TRUE(agent.listen());
    auto serving = [](auto call) {
        auto result = std::async(std::launch::async, call);
        spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
        return result.get();
    };
    EXPECT_EQ(serving([&] { return later.requestStatus(); }), "Trouble: line one line two");
    // A line break cannot smuggle a second request in.
    EXPECT_TRUE(serving([&] { return later.handOver("tavrelin://pair?x\nquit"); }));
    EXPECT_TRUE(serving([&] { return later.requestQuit(); }));
    EXPECT_TRUE(spinUntil([&] { return got == Lines{"tavrelin://pair?x%0Aquit", "quit"}; })) << ::testing::PrintToString(got);
}

TEST_F(QtPlatform, RelaunchStartsTheBundlesAgentWhateverItsPathHolds) {
    TempFolder temp;
    SingleInstance instance(QString::fromStdString(temp / "agent.sock"));
    posix::PosixProcesses processes;
    QtWorkspace workspace(instance, processes, temp.path(), temp / "calendars", [](const std::string&) { return true; });
    const std::string bundle = temp / "My \"Apps\" $HOME `id` 'x'/Tavrelin.app";
    EXPECT_THROW(workspace.relaunch(bundle), platform::ProcessError); // no agent inside
    const std::string agent = bundle + "/Contents/MacOS/tavrelin-agent", marker = agent + ".ran";
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    writeFile(agent, "#!/bin/sh\nprintf '%s %s' \"$#\" \"$0\" > \"$0.tmp\"\nmv \"$0.tmp\" \"$0.ran\"\n");
    std::filesystem::permissions(agent, std::filesystem::perms::owner_all);
    workspace.relaunch(bundle);
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(marker); }, 20000));
    EXPECT_EQ(readFile(marker), "0 " + agent);
}

// Enabled when it has a key; notes its title in `chosen` when chosen.
platform::MenuItem entry(Lines& chosen, const std::string& title, const std::string& key = "") {
    return {title, !key.empty(), false, key, 0, [&chosen, title] { chosen.push_back(title); }, {}, {}};
}

// Updating the menu in place is seen through D-Bus in the StatusNotifier test.
TEST_F(QtPlatform, TheTrayMenuRunsActionsAfterTheTriggerReturnsAndNoneOfAHiddenEntry) {
    QtStatusItem item;
    bool paired = true;
    Lines chosen;
    item.setMenuProvider([&] {
        std::vector<platform::MenuItem> items{entry(chosen, "Check now", "r")};
        if (paired)
            items.push_back(entry(chosen, "Unpair R&D", "u"));
        return items;
    });
    QCoreApplication::processEvents();
    const QList<QAction*> before = item.menu().actions();
    ASSERT_EQ(before.size(), 2);
    EXPECT_EQ(before[1]->text().toStdString(), "Unpair R&&D"); // shown as typed, not as a mnemonic
    before[0]->trigger();
    EXPECT_TRUE(chosen.empty());
    paired = false;
    item.syncMenu();
    EXPECT_FALSE(before[1]->isVisible());
    before[1]->trigger(); // a stale click on a hidden entry does nothing
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, Lines{"Check now"});
}

TEST_F(QtPlatform, TheTrayGetsAtMostFourImagesASecond) {
    QtStatusItem item;
    item.trayAppeared();
    // A spinner at twelve frames a second, for a second.
    for (int frame = 0; frame < 12; ++frame) {
        item.setImage(MenuBarIcon::image(Health::working(), 90 - 24 * frame));
        spinUntil([] { return false; }, 1000 / 12);
    }
    EXPECT_GE(item.iconUpdates(), 3);
    EXPECT_LE(item.iconUpdates(), 5);
}

TEST_F(QtPlatform, TheIconDrawsEachColourAtEachSizeAndReadsOnEveryPanel) {
    // The ring alone keeps its 30 % at the top. 1× and 2×, and a panel's usual 22 px
    // with its 2×; the badge sits bottom-right (y is flipped); a template is a mask.
    EXPECT_NEAR(QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 1).pixelColor(8, 1).alpha(), 77, 30);
    const QIcon coloured = QtIconRenderer::icon(MenuBarIcon::image(Health::warning("x"), 90));
    EXPECT_EQ(coloured.availableSizes(), (QList<QSize>{{18, 18}, {22, 22}, {36, 36}, {44, 44}}));
    EXPECT_EQ(coloured.pixmap(QSize(36, 36)).toImage().pixelColor(33, 33).rgb(), QColor(255, 204, 0).rgb());
    EXPECT_FALSE(coloured.isMask());
    EXPECT_TRUE(QtIconRenderer::icon(MenuBarIcon::image(Health::idle(), 90)).isMask());

    // On a panel of known colour the glyph stands out from it. (Unknown ones get a
    // halo, seen on real panels in the StatusNotifier test.)
    auto glyph = [](PanelScheme scheme) {
        return QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 1, IconColors::forPanel(scheme)).pixelColor(9, 9);
    };
    EXPECT_GT(glyph(PanelScheme::dark).lightness(), 200);
    EXPECT_EQ(glyph(PanelScheme::light), QColor(0x20, 0x20, 0x20)); // opaque
}

class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        application<QApplication>();
        console.setRoutes({
            .showMenu = [this] { calls.push_back("menu"); },
            .chooseMenuItem = [this](const std::string& line) { return line == "2" && (calls.push_back("choose"), true); },
            .openURL = [this](const std::string& url) { calls.push_back("open " + url); },
            .quit = [this] { calls.push_back("quit"); },
        });
    }
    int ask(Lines buttons) { return dialogs.runModal({platform::AlertStyle::warning, "Title", "", std::move(buttons)}); }

    TerminalConsole console{-1};
    TerminalDialogs dialogs{console};
    Lines calls;
};

TEST_F(Terminal, LinesOutsideADialogAreCommands) {
    console.receive("menu\n  2 \r\nopen tavrelin://pair?x\n\nbogus\nqu");
    console.receive("it\nmenu"); // the last line counts at the end without its line feed
    console.receiveEnd();
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 5; }));
    EXPECT_EQ(calls, (Lines{"menu", "choose", "open tavrelin://pair?x", "quit", "menu"}));
}

TEST_F(Terminal, TheNextLineAnswersTheOpenDialogAndTheEndOfInputItsLastButton) {
    // Out of range, unknown and blank lines do not answer.
    for (auto [input, answer] : {std::pair{"1\n", 1000}, {"Cancel\n", 1001}, {"3\n0\nnope\n\n2\n", 1001}}) {
        console.receive(input);
        EXPECT_EQ(ask({"Pair this Mac", "Cancel"}), answer) << input;
    }
    std::vector<int> answers;
    // A dialog opened from inside another one: both are waiting at the end.
    QTimer::singleShot(0, [&] { answers.push_back(ask({"A", "B", "C"})); });
    QTimer::singleShot(5, [&] { console.receiveEnd(); });
    answers.push_back(ask({"Replace", "Cancel"}));
    EXPECT_EQ(answers, (std::vector<int>{1002, 1001}));
    EXPECT_EQ(ask({"Switch backend", "Cancel"}), 1001); // later ones do not wait
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, Lines{}) << "answers leaked to the menu";
}

TEST(TerminalStatusItem, PrintsTheMenuAndChoosesByNumberOrTitle) {
    std::ostringstream out;
    TerminalStatusBar bar{out};
    auto owned = bar.makeStatusItem();
    Lines chosen;
    owned->setMenuProvider([&] {
        return std::vector{platform::MenuItem{"Lists", false, false, "", 1, {}, {entry(chosen, "Inbox")}, {}},
                           entry(chosen, "Check now", "r"), platform::MenuItem::separatorItem(),
                           entry(chosen, "Quit Tavrelin", "q")};
    });
    EXPECT_FALSE(bar.activate("1")); // nothing numbered before the menu is shown
    ASSERT_TRUE(bar.showMenu());
    EXPECT_EQ(out.str(), "[menu]\n    Lists\n        Inbox\n1. Check now  (⌘R)\n---\n2. Quit Tavrelin  (⌘Q)\n[end]\n");
    ASSERT_TRUE(bar.showMenu()); // numbered afresh each time: "3" stays unknown
    for (const char* line : {"2\n", " 1 ", "Check now"})
        EXPECT_TRUE(bar.activate(line)) << line;
    for (const char* line : {"0", "3", "99999999999999999999", "Inbox", "Lists", "check now", ""})
        EXPECT_FALSE(bar.activate(line)) << line;
    EXPECT_EQ(chosen, (Lines{"Quit Tavrelin", "Check now", "Check now"}));

    out.str("");
    for (const char* tip : {"Not paired", "Not paired", "Checking…"})
        owned->setToolTip(tip);
    EXPECT_EQ(out.str(), "[status] Not paired\n[status] Checking…\n");
    owned.reset();
    EXPECT_FALSE(bar.activate("Check now"));
}

} // namespace
