// Both front ends on a real (offscreen) QApplication: the Qt one, with one agent
// per user over a real lock and socket, and the terminal one. Then the
// installed agent in the sessions a person logs into, and the desktop entries
// read back by the desktop's own tools (gio, xdg-open, desktop-file-validate),
// skipped (and reported so) when a tool is missing.

#include "Platform/Linux/Desktop/DisplayProbe.h"
#include "Platform/Linux/Desktop/NoTrayNotice.h"
#include "Platform/Linux/Xdg/DesktopEntry.h"
#include "Platform/Linux/Xdg/IconTheme.h"
#include "Platform/Linux/Xdg/XdgLoginItems.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtIconRenderer.h"
#include "Platform/Qt/QtStatusItem.h"
#include "Platform/QtCore/QtApplication.h"
#include "Platform/QtCore/QtMainLoop.h"
#include "Platform/QtCore/QtUserDefaults.h"
#include "Platform/QtCore/QtWorkspace.h"
#include "Platform/QtCore/SingleInstance.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"
#include "Support/AgentProcess.h"
#include "Support/FakePlatform.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/MenuBarIcon.h"

#include <gmock/gmock.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::qt;
using namespace tavrelin::terminal;
using namespace tavrelin::testing;
using Health = SyncState::Health;
using Lines = std::vector<std::string>;
using Environment = std::map<std::string, std::string>;
using Entry = platform::LoginItems::LoginEntry;
namespace fs = std::filesystem;

// Fontconfig keeps the configuration it loads for the life of the process, by
// design; the dialogs' text brings it in. Read by the sanitizers when linked:
// full stacks, so the rule sees the frame inside fontconfig.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:FcInitLoadConfigAndFonts\n";
}
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

namespace {

struct QtPlatform : ::testing::Test {
    QApplication& app = application<QApplication>();
};

TEST_F(QtPlatform, PostedBlocksRunOnTheMainThreadInOrderAndQuittingLeavesStuckBackgroundWork) {
    QtMainLoop loop;
    std::vector<int> order; // -1: not where it should run
    loop.background(platform::Priority::utility, [&] {
        const bool offMain = !loop.isMainThread();
        for (int i : {0, 1, 2})
            loop.post([&, i, offMain] { order.push_back(offMain && loop.isMainThread() ? i : -1); });
    });
    EXPECT_TRUE(spinUntil([&] { return order == std::vector<int>{0, 1, 2}; })) << ::testing::PrintToString(order);

    // Quitting waits for the worker pools up to its deadline, and leaves
    // blocks that are stuck past it running.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto finished = std::make_shared<std::atomic<int>>(0);
    // Each block gives up by itself after a minute, so a failure here cannot hang.
    for (auto priority : {platform::Priority::normal, platform::Priority::utility})
        loop.background(priority, [released, finished] {
            released.wait_for(std::chrono::seconds(60));
            ++*finished;
        });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.waitForBackground(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "it did not wait";
    EXPECT_EQ(finished->load(), 0) << "the quit waited for the stuck blocks";

    release.set_value();
    EXPECT_TRUE(loop.waitForBackground(30));
    EXPECT_EQ(finished->load(), 2);
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
    Deadline deadline(10000, "the application did not terminate", [] { QCoreApplication::exit(1); });
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_EQ(delegate.calls, (Lines{"willFinish", "tavrelin://first", "didFinish", "tavrelin://later", "willTerminate"}));
}

// A signal quits from the event loop, as Quit does; its handler runs on
// whatever thread it interrupts, maybe between a failing call and the reading
// of errno, so it leaves errno as it was, also once its pipe is full.
TEST_F(QtPlatform, ASignalTerminatesFromTheLoopAndLeavesErrnoAsItWas) {
    QtApplication application(*qApp);
    int terminations = 0;
    application.onTerminate = [&] { ++terminations; };
    application.terminateOnSignals();
    int changed = 0;
    for (int i = 0; i < 5000; ++i) {
        errno = EDOM;
        ASSERT_EQ(::raise(SIGHUP), 0);
        changed += errno != EDOM;
    }
    EXPECT_EQ(changed, 0) << "signals changed errno";
    EXPECT_EQ(terminations, 0) << "terminated inside the signal handler";
    EXPECT_TRUE(spinUntil([&] { return terminations > 0; })) << "the signal did not terminate";
    EXPECT_EQ(terminations, 1);
}

TEST_F(QtPlatform, DialogButtonsAnswerInOrderAsPlainText) {
    // Clicks `button` once the box shows (closes it when empty); the answer and what the box showed.
    auto answer = [](const platform::Alert& alert, const QString& button) {
        QString shown;
        Deadline deadline(10000, "the dialog was not answered", [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return; // the deadline says so
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

// A form: its fields in order with their values shown, the hidden one a
// password field; the button clicked and the texts typed come back, and
// closing it is the last button.
TEST_F(QtPlatform, AFormAnswersItsButtonAndTheTextsTypedWithThePasswordHidden) {
    const platform::Form form{{platform::AlertStyle::informational, "Sign in to <b>x</b>", "Text", {"Sign In", "Cancel"}},
                              {{"Server address", "https://dav.example.com/"}, {"User name", ""}, {"Password", "", true}}};
    for (const QString& button : {QString("Sign In"), QString()}) {
        std::vector<QLineEdit::EchoMode> modes;
        QString shown;
        Deadline deadline(10000, "the form was not answered", [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog)
                return; // the deadline says so
            for (QLabel* label : dialog->findChildren<QLabel*>())
                shown += label->text() + "|";
            const auto edits = dialog->findChildren<QLineEdit*>();
            for (QLineEdit* edit : edits)
                modes.push_back(edit->echoMode());
            if (edits.size() == 3) {
                edits[1]->setText("alice");
                edits[2]->setText("pass word");
            }
            if (button.isEmpty())
                dialog->close();
            for (QPushButton* candidate : dialog->findChildren<QPushButton*>())
                if (candidate->text() == button)
                    candidate->click();
        });
        const platform::FormAnswer answer = QtDialogs().runForm(form);
        EXPECT_EQ(modes, (std::vector{QLineEdit::Normal, QLineEdit::Normal, QLineEdit::Password}));
        EXPECT_THAT(shown.toStdString(), ::testing::HasSubstr("Sign in to <b>x</b>|Text|"));
        EXPECT_EQ(answer.button, button.isEmpty() ? 1001 : 1000);
        EXPECT_EQ(answer.values, (Lines{"https://dav.example.com/", "alice", "pass word"}));
    }
}

TEST_F(QtPlatform, UserDefaultsAreWrittenThroughToTheSettingsFileAndReadAsStored) {
    TempFolder temp;
    QtUserDefaults defaults(QString::fromStdString(temp / "Tavrelin/Tavrelin.ini"));
    defaults.setBool("shown", true);
    EXPECT_EQ(readFile(temp / "Tavrelin/Tavrelin.ini"), "[General]\nshown=true\n"); // not only at exit
    EXPECT_FALSE(defaults.boolForKey("declined"));                                  // only a stored true reads true
    // Text (the backend setting) reads as stored; an absent key is none.
    writeFile(temp / "Tavrelin.ini", "[General]\nremindersBackend=eds\n");
    const QtUserDefaults stored(QString::fromStdString(temp / "Tavrelin.ini"));
    EXPECT_EQ(stored.stringForKey("remindersBackend"), "eds");
    EXPECT_EQ(stored.stringForKey("absent"), std::nullopt);
}

// A bundle at `path` whose agent writes the arguments it was started with,
// one per line, into `record`.
std::string fakeBundle(const std::string& path, const std::string& record) {
    return writeProgram(path + "/Contents/MacOS/tavrelin-agent",
                        "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + record + "'\n");
}

class WorkspaceTest : public QtPlatform {
protected:
    // A desktop entry in `folder` for the task application `name`.
    void entry(const std::string& folder, const std::string& name, const std::string& lines) {
        writeProgram(temp / (folder + "/" + name), "[Desktop Entry]\nType=Application\nName=x\n" + lines + "\n");
    }
    QtWorkspace workspace(
        const SingleInstance& instance, const std::string& lists = "calendars",
        QtWorkspace::Opener opener = [](const std::string&) { return true; }) {
        return QtWorkspace(instance, processes, temp.path(), temp / lists, std::move(opener), "com.tavrelin.mac");
    }

    TempFolder temp;
    InstancePaths paths = InstancePaths::resolve(temp.path(), ::getuid(), temp.path());
    posix::PosixProcesses processes;
};

TEST_F(WorkspaceTest, RelaunchStartsTheBundlesAgentWhateverItsPathHolds) {
    const std::string bundle = temp / "My \"Apps\" $HOME `id` 'x'/Tavrelin.app";
    const SingleInstance instance(paths);
    EXPECT_THROW(workspace(instance).relaunch(bundle), platform::ProcessError); // no agent inside
    const std::string agent = fakeBundle(bundle, temp / "ran");
    workspace(instance).relaunch(bundle);
    EXPECT_TRUE(spinUntil([&] { return fs::exists(temp / "ran") && readFile(temp / "ran") == agent + "\n"; }, 20000))
        << "the relaunched agent did not run, or not without arguments";
}

TEST_F(WorkspaceTest, TheFirstShownTaskApplicationFoundIsStartedWithoutItsFieldCodes) {
    const std::string evolution = writeProgram(temp / "evolution"), spaced = writeProgram(temp / "my app");
    const Lines folders{temp / "user", temp / "system"};
    const std::string todoEntry = "org.gnome.Todo.desktop", evolutionEntry = "org.gnome.Evolution.desktop";

    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), std::nullopt);
    entry("system", evolutionEntry, "Exec=" + evolution + " %U");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
    // A better fit wins over an earlier folder's worse one.
    entry("system", todoEntry, "Exec=\"" + spaced + "\" --one \"a \\\"b\\\" c\" 100%% %F");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{spaced, "--one", "a \"b\" c", "100%"}));
    // The user's hidden entry hides the system's, as on the desktop.
    entry("user", todoEntry, "Hidden=true\nExec=" + spaced);
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
    // Looked up on the PATH when named bare; skipped when not there.
    entry("user", todoEntry, "Exec=sh");
    EXPECT_THAT(QtWorkspace::taskApplicationCommand(folders).value_or(Lines{}),
                ::testing::ElementsAre(::testing::MatchesRegex("/.*/sh")));
    entry("user", todoEntry, "Exec=no-such-task-application-here");
    EXPECT_EQ(QtWorkspace::taskApplicationCommand(folders), (Lines{evolution, "-c", "tasks"}));
}

TEST_F(WorkspaceTest, ThePrivacyActionOpensTheTaskApplicationForEdsAndTheFolderForTheVdir) {
    const SavedEnvironment data("XDG_DATA_HOME", temp / "data"), dirs("XDG_DATA_DIRS", temp / "none");
    const std::string marker = temp / "ran";
    entry("data/applications", "org.gnome.Calendar.desktop",
          "Exec=" + writeProgram(temp / "calendar", "#!/bin/sh\ntouch '" + marker + "'\n") + " %u");
    fs::create_directories(temp / "calendars");
    const SingleInstance instance(paths);
    Lines opened;
    QtWorkspace shown = workspace(instance, "calendars/not-yet", [&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    shown.openRemindersPrivacySettings();
    EXPECT_EQ(opened, Lines{"file://" + temp / "calendars"}); // the nearest folder that exists
    shown.setTaskLists(QtWorkspace::TaskLists::evolutionDataServer);
    shown.openRemindersPrivacySettings();
    EXPECT_TRUE(spinUntil([&] { return fs::exists(marker); }, 20000)) << "the task application did not start";
    EXPECT_EQ(opened.size(), 1u);
}

// Enabled when it has a key; notes its title in `chosen` when chosen. Its id is its title.
platform::MenuItem entry(Lines& chosen, const std::string& title, const std::string& key = "") {
    platform::MenuItem item;
    item.id = item.title = title;
    item.enabled = !key.empty();
    item.keyEquivalent = key;
    item.action = [&chosen, title] { chosen.push_back(title); };
    return item;
}

// The tray's menu on a clock the test moves. How hosts see it over D-Bus is
// the StatusNotifier test's part.
class Tray : public QtPlatform {
protected:
    fake::FakeClock clock;
    fake::FakeMainLoop loop{clock};
    QtStatusItem item{loop};
    std::vector<platform::MenuItem> items; // what the menu is asked for
    Lines chosen;

    void SetUp() override {
        item.setMenuProvider([this] { return items; });
    }

    // "id" a plain line, "id=Title" one titled otherwise, "-id" a separator,
    // "!id" an entry one can choose, "id>a,b" an entry with a submenu of a and b.
    static platform::MenuItem parse(const std::string& spec, Lines& chosen) {
        if (spec[0] == '-')
            return platform::MenuItem::separatorItem(spec.substr(1));
        if (spec[0] == '!')
            return entry(chosen, spec.substr(1), "k");
        platform::MenuItem item;
        const auto cut = spec.find_first_of("=>");
        item.id = spec.substr(0, cut);
        item.title = cut != std::string::npos && spec[cut] == '=' ? spec.substr(cut + 1) : item.id;
        if (cut != std::string::npos && spec[cut] == '>') {
            item.enabled = true;
            std::istringstream names(spec.substr(cut + 1));
            for (std::string name; std::getline(names, name, ',');)
                item.submenu.push_back(parse(name, chosen));
        }
        return item;
    }
    void show(const Lines& layout) {
        items.clear();
        for (const auto& spec : layout)
            items.push_back(parse(spec, chosen));
        item.syncMenu();
    }

    // The visible actions by a path of ids ("lists/Work"), the first where ids
    // repeat; each must show its item's title (a "&&" is the "&" it shows).
    static void walk(const QMenu& menu, const std::vector<platform::MenuItem>& items, const std::string& prefix,
                     std::map<std::string, QAction*>& out) {
        std::vector<QAction*> shown;
        std::ranges::copy_if(menu.actions(), std::back_inserter(shown), &QAction::isVisible);
        ASSERT_EQ(shown.size(), items.size()) << prefix;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const QString text = shown[i]->isSeparator() ? "-" : shown[i]->text().trimmed().replace("&&", "&");
            EXPECT_EQ(text.toStdString(), items[i].separator ? "-" : items[i].title) << prefix << i;
            out.emplace(prefix + items[i].id, shown[i]);
            if (!items[i].submenu.empty()) {
                ASSERT_TRUE(shown[i]->menu()) << items[i].id;
                walk(*shown[i]->menu(), items[i].submenu, prefix + items[i].id + "/", out);
            }
        }
    }
    std::map<std::string, QAction*> actions() {
        std::map<std::string, QAction*> out;
        walk(item.menu(), items, "", out);
        return out;
    }
};

TEST_F(Tray, AnEntryKeepsItsActionWhateverAppearsGoesOrTradesPlacesAroundItAndNonePileUp) {
    const std::vector<Lines> steps{
        {"headline=Tavrelin — Idle", "-header", "status=Last checked 5s ago", "lists>Inbox,Work", "-modules", "!Check now",
         "!Quit"},
        // Lines appear above the actions and in the submenu; texts change in place.
        {"headline=Tavrelin — Connected", "-header", "status=Last checked just now", "filed", "refused/Groceries=1 waiting",
         "lists>Home,Inbox,Work", "-modules", "!Check now", "!Quit"},
        // One goes, another comes; a separator goes.
        {"headline", "-header", "status", "refused/Apple", "lists>Inbox", "!Check now", "!Quit"},
        // The one that went comes back, with another count, and the separator too.
        {"headline", "-header", "status", "refused/Apple", "refused/Groceries=3 waiting", "lists>Inbox,Work", "-modules",
         "!Check now", "!Quit"},
        // Nothing but the actions.
        {"!Check now", "!Quit"},
        // Entries trade places, an id comes twice, and one title holds an ampersand.
        {"lists>Inbox,Work,Home", "filed", "headline"},
        {"headline", "filed", "lists>Home,Work,Inbox,Work", "filed", "!Unpair R&D", "!Check now"},
    };
    std::map<std::string, QAction*> first; // each id's action when first shown
    for (std::size_t step = 0; step < steps.size(); ++step) {
        show(steps[step]);
        SCOPED_TRACE("step " + std::to_string(step));
        for (const auto& [id, action] : actions()) {
            auto [known, fresh] = first.emplace(id, action);
            EXPECT_TRUE(fresh || known->second == action) << id << " was made anew at step " << step;
        }
    }

    // A click on an entry taken from the first layout works, once the trigger
    // has returned; one on an entry that is hidden now does nothing.
    first.at("Check now")->trigger();
    first.at("refused/Apple")->trigger();
    EXPECT_EQ(chosen, Lines{});
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, Lines{"Check now"});
    EXPECT_EQ(first.at("Unpair R&D")->text().toStdString(), "Unpair R&&D"); // not a mnemonic

    // Ids that come and go do not pile up.
    for (int i = 0; i < 200; ++i)
        show({"refused/" + std::to_string(i), "lists>list" + std::to_string(i), "!Check now"});
    EXPECT_EQ(actions().at("Check now"), first.at("Check now"));
    EXPECT_LE(item.menu().actions().size(), 2 * QtStatusItem::hiddenEntriesKept + 3);
    EXPECT_LE(item.menu().findChildren<QAction*>().size(), 3 * QtStatusItem::hiddenEntriesKept + 8);
}

TEST_F(Tray, TheTrayHearsOfChangesAtMostFourTimesASecondAndNotAtAllOfOnesUndoneInTime) {
    item.trayAppeared();
    // A spinner at twelve frames a second, for two seconds, then still.
    for (int frame = 0; frame < 24; ++frame) {
        item.setImage(MenuBarIcon::image(Health::working(), 90 - 24 * frame));
        loop.advance(1.0 / 12);
    }
    loop.advance(1);
    EXPECT_EQ(item.iconUpdates(), 8);
    // The newest frame, in the colours for a panel nobody told us about.
    const auto shown = [](const platform::Drawing& drawing) {
        return QtIconRenderer::icon(drawing, IconColors::forPanel(PanelScheme::unknown)).pixmap(18, 18).toImage();
    };
    EXPECT_EQ(item.trayIcon()->icon().pixmap(18, 18).toImage(), shown(MenuBarIcon::image(Health::working(), 90 - 24 * 23)));

    // A new tool tip alone sends no image again. A poll that ends before the
    // next flush: its "Checking…" and back leaves nothing scheduled, so
    // nothing wakes up for it.
    item.setToolTip("Tavrelin — Connected");
    loop.advance(1);
    EXPECT_EQ(item.iconUpdates(), 8);
    item.setToolTip("Tavrelin — Checking…");
    item.setImage(MenuBarIcon::image(Health::working(), 90));
    EXPECT_EQ(loop.activeTimers(), 1u);
    item.setImage(MenuBarIcon::image(Health::working(), 90 - 24 * 23));
    item.setToolTip("Tavrelin — Connected");
    EXPECT_EQ(loop.activeTimers(), 0u);
    EXPECT_EQ(item.trayIcon()->toolTip().toStdString(), "Tavrelin — Connected");

    // A menu whose text changed is a change too.
    show({"status=Last checked just now"});
    items = {parse("status=Last checked 30s ago", chosen)};
    item.setToolTip("Tavrelin — Connected");
    loop.advance(QtStatusItem::flushSeconds);
    EXPECT_EQ(item.menu().actions().at(0)->text().toStdString(), "Last checked 30s ago");
    EXPECT_EQ(loop.activeTimers(), 0u);
}

TEST_F(Tray, ATrayMissingAtStartIsReportedOnceAndOneThatComesLaterAnnounced) {
    auto host = std::make_shared<QtTrayHost>();
    if (host->present())
        GTEST_SKIP() << "this session has a tray, so its absence cannot be staged";
    int missing = 0, appeared = 0;
    const QtStatusItem::Callbacks counted{.noTray = [&] { ++missing; }, .trayAppeared = [&] { ++appeared; }};
    QtStatusItem late(loop, host, counted);
    // A login's panel comes seconds after the agent, more on a cold start:
    // half a minute in, nothing is said yet.
    loop.advance(30);
    EXPECT_EQ(missing, 0);
    loop.advance(QtStatusItem::trayGraceSeconds - 30 - 1);
    EXPECT_EQ(missing, 0);
    loop.advance(60);
    EXPECT_EQ(missing, 1);
    late.trayAppeared();
    late.trayAppeared();
    EXPECT_EQ(appeared, 1);

    // In time, it cancels the report.
    QtStatusItem early(loop, host, counted);
    early.trayAppeared();
    loop.advance(60);
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(loop.activeTimers(), 0u);
}

// Without a tray, or on one that has not said where the icon is, a click
// from the agent itself opens nothing: a menu at the pointer points at nothing.
TEST_F(Tray, TheMenuOpensFromTheAgentOnlyWhereTheIconIs) {
    show({"status=Last checked just now"});
    EXPECT_FALSE(item.isShown());
    EXPECT_FALSE(item.canOpenMenuAtIcon());
    item.performClick();
    QCoreApplication::processEvents();
    EXPECT_FALSE(item.menu().isVisible());
    item.trayAppeared(); // offscreen: a tray that tells no place
    EXPECT_TRUE(item.isShown());
    EXPECT_FALSE(item.canOpenMenuAtIcon());
    item.performClick();
    QCoreApplication::processEvents();
    EXPECT_FALSE(item.menu().isVisible());
}

// The notice of a missing tray closes itself once a tray comes, and is not
// shown a second time.
TEST_F(QtPlatform, TheNoTrayNoticeClosesWhenATrayAppearsAndComesOnce) {
    fake::FakeUserDefaults defaults;
    NoTrayNotice notice;
    EXPECT_TRUE(notice.showOnce(defaults));
    EXPECT_TRUE(notice.isOpen());
    EXPECT_TRUE(spinUntil(
        [] { return std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget* w) { return w->isVisible(); }); }));
    notice.close();
    EXPECT_TRUE(spinUntil([&] { return !notice.isOpen(); })) << "the notice stayed open";
    EXPECT_FALSE(notice.showOnce(defaults));
    EXPECT_FALSE(notice.isOpen());
    notice.close(); // nothing open: fine
}

TEST_F(Tray, AnOpenMenuAgesUntilItClosesOrAHostForgetsToSay) {
    show({"status=Last checked just now"});
    auto status = [&] { return item.menu().actions().at(0)->text().toStdString(); };
    emit item.menu().aboutToShow();
    items = {parse("status=Last checked 1s ago", chosen)};
    loop.advance(QtStatusItem::agingSeconds);
    EXPECT_EQ(status(), "Last checked 1s ago");
    emit item.menu().aboutToHide();
    EXPECT_EQ(loop.activeTimers(), 0u);

    // A StatusNotifier host may show the menu and never say it closed.
    emit item.menu().aboutToShow();
    loop.advance(QtStatusItem::agingSeconds * QtStatusItem::longestOpenRefreshes);
    EXPECT_EQ(loop.activeTimers(), 1u);
    loop.advance(QtStatusItem::agingSeconds);
    EXPECT_EQ(loop.activeTimers(), 0u);
}

TEST_F(QtPlatform, TheIconDrawsEachColourAtEachSizeAndReadsOnEveryPanel) {
    // The ring at the top shows, fainter than the glyph. 1× and 2×, and a panel's usual
    // 22 px with its 2×; the yellow badge sits bottom-right (y is flipped); a template is a mask.
    const QImage idle = QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 1);
    EXPECT_GT(idle.pixelColor(8, 1).alpha(), 0);
    EXPECT_LT(idle.pixelColor(8, 1).alpha(), idle.pixelColor(9, 9).alpha());
    const QIcon coloured = QtIconRenderer::icon(MenuBarIcon::image(Health::warning("x"), 90));
    EXPECT_EQ(coloured.availableSizes(), (QList<QSize>{{18, 18}, {22, 22}, {36, 36}, {44, 44}}));
    const QColor badge = coloured.pixmap(QSize(36, 36)).toImage().pixelColor(33, 33);
    EXPECT_TRUE(badge.red() > 200 && badge.green() > 150 && badge.blue() < 80) << badge.name().toStdString();
    EXPECT_FALSE(coloured.isMask());
    EXPECT_TRUE(QtIconRenderer::icon(MenuBarIcon::image(Health::idle(), 90)).isMask());

    // On a panel of known colour the glyph stands out from it. (Unknown ones get a
    // halo, seen on real panels in the StatusNotifier test.)
    auto glyph = [](PanelScheme scheme) {
        return QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 1, IconColors::forPanel(scheme)).pixelColor(9, 9);
    };
    EXPECT_GT(glyph(PanelScheme::dark).lightness(), 200);
    EXPECT_LT(glyph(PanelScheme::light).lightness(), 60);
    EXPECT_EQ(glyph(PanelScheme::light).alpha(), 255);
    // The tray's icons keep what they drew; each panel still gets its own colours.
    auto shown = [](PanelScheme scheme) {
        const QIcon icon = QtIconRenderer::icon(MenuBarIcon::image(Health::idle(), 90), IconColors::forPanel(scheme));
        return icon.pixmap(18, 18).toImage().pixelColor(9, 9);
    };
    for (PanelScheme scheme : {PanelScheme::dark, PanelScheme::light, PanelScheme::dark, PanelScheme::light})
        EXPECT_EQ(shown(scheme), glyph(scheme));
}

// The glyph follows the panel that shows it, not the preference: GNOME
// Shell's top bar is dark under the light and default preferences too, so its
// tray gets a light glyph whatever the portal says; LXQt's and XFCE's panels
// follow themes of their own, so their trays get the glyph that reads on
// either; other hosts follow the preference. Told from the program that owns
// the watcher.
TEST_F(QtPlatform, TheGlyphFollowsThePanelNotThePreference) {
    const auto centre = [](PanelScheme scheme) {
        return QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 2, IconColors::forPanel(scheme))
            .pixelColor(18, 18);
    };
    using Panel = QtTrayHost::HostPanel;
    const auto gnome = QtTrayHost::coloursOfHost("gnome-shell");
    EXPECT_EQ(gnome.panel, Panel::own);
    EXPECT_GT(centre(gnome.scheme).lightness(), 200);
    EXPECT_EQ(centre(gnome.scheme).alpha(), 255);
    for (const char* host : {"lxqt-panel", "xfce4-panel", "wrapper-2.0"}) {
        const auto colours = QtTrayHost::coloursOfHost(host);
        EXPECT_EQ(colours.panel, Panel::own) << host;
        // Dark with a light halo: both show on a panel of either colour.
        const QImage unknown =
            QtIconRenderer::render(MenuBarIcon::image(Health::idle(), 90), 2, IconColors::forPanel(colours.scheme));
        EXPECT_LT(unknown.pixelColor(18, 18).lightness(), 80) << host;
        EXPECT_GT(unknown.pixelColor(18, 0).lightness(), 200) << host;
    }
    for (const char* host : {"plasmashell", ""})
        EXPECT_EQ(QtTrayHost::coloursOfHost(host).panel, Panel::followsPreference) << host;
}

class Terminal : public QtPlatform {
protected:
    void SetUp() override {
        console.setRoutes({
            .showMenu = [this] { calls.push_back("menu"); },
            .chooseMenuItem = [this](const std::string& line) { return line == "2" && (calls.push_back("choose"), true); },
            .openURL = [this](const std::string& url) { calls.push_back("open " + url); },
            .quit = [this] { calls.push_back("quit"); },
            .menuReady = [this] { return menuReady; },
            // Said on standard error; kept here too.
            .lineTooLong = [this] { return hints.emplace_back("too long"); },
            .notAnAnswer = [this](std::size_t buttons) { return hints.emplace_back("1 to " + std::to_string(buttons)); },
            .unknownCommand = [this] { return hints.emplace_back("unknown"); },
        });
    }
    int ask(Lines buttons) {
        Deadline deadline(10000, "the dialog was not answered", [this] { console.receiveEnd(); });
        return dialogs.runModal({platform::AlertStyle::warning, "Title", "", std::move(buttons)});
    }

    TerminalConsole console{-1};
    TerminalDialogs dialogs{console};
    Lines calls, hints;
    bool menuReady = true;
};

// While launch is still choosing the task lists there is no menu yet: a menu
// command waits for it, and what comes after it keeps its place.
TEST_F(Terminal, LinesOutsideADialogAreCommandsAndMenuOnesWaitForTheMenu) {
    menuReady = false;
    console.receive("open tavrelin://a\nmenu\n  2 \r\n\nbogus\nqu");
    console.receive("it\nmenu"); // the last line counts at the end without its line feed
    console.receiveEnd();
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, Lines{"open tavrelin://a"});
    menuReady = true;
    console.resume();
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 5; })) << ::testing::PrintToString(calls);
    EXPECT_EQ(calls, (Lines{"open tavrelin://a", "menu", "choose", "quit", "menu"}));
    EXPECT_EQ(hints, Lines{"unknown"}); // "bogus"
}

TEST_F(Terminal, ALineTooLongIsDroppedAndSaidSo) {
    console.receive(std::string(1 << 20, 'x')); // far past any line
    console.receive("menu\n");
    EXPECT_EQ(hints, Lines{"too long"});
    EXPECT_TRUE(spinUntil([&] { return calls == Lines{"menu"}; })) << "the line after it counts";
}

TEST_F(Terminal, TheNextLineAnswersTheOpenDialogAndTheEndOfInputItsLastButton) {
    // Out of range, unknown and blank lines do not answer.
    for (auto [input, answer] : {std::pair{"1\n", 1000}, {"Cancel\n", 1001}, {"3\n0\nnope\n\n2\n", 1001}}) {
        console.receive(input);
        EXPECT_EQ(ask({"Pair this Mac", "Cancel"}), answer) << input;
    }
    EXPECT_EQ(hints, (Lines{"1 to 2", "1 to 2", "1 to 2"})) << "one for each line that is not blank";
    std::vector<int> answers;
    // A dialog opened from inside another one: both are waiting at the end.
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] { console.receiveEnd(); }); // once the inner one waits
        answers.push_back(ask({"A", "B", "C"}));
    });
    answers.push_back(ask({"Replace", "Cancel"}));
    EXPECT_EQ(answers, (std::vector<int>{1002, 1001}));
    EXPECT_EQ(ask({"Switch backend", "Cancel"}), 1001); // later ones do not wait
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, Lines{}) << "answers leaked to the menu";
}

TEST(TerminalStatusItem, PrintsTheMenuAndChoosesByNumberOrTitle) {
    std::string out;
    TerminalStatusBar bar{[&out](std::string_view text) { out += text; }};
    auto owned = bar.makeStatusItem();
    Lines chosen;
    owned->setMenuProvider([&] {
        platform::MenuItem lists = entry(chosen, "Lists");
        lists.indentation = 1;
        lists.submenu = {entry(chosen, "Inbox")};
        return std::vector{lists, entry(chosen, "Check now", "r"), platform::MenuItem::separatorItem(),
                           entry(chosen, "Quit Tavrelin", "q")};
    });
    EXPECT_FALSE(bar.activate("1")); // nothing numbered before the menu is shown
    ASSERT_TRUE(bar.showMenu());
    EXPECT_EQ(out, "[menu]\n    Lists\n        Inbox\n1. Check now  (Ctrl+R)\n---\n2. Quit Tavrelin  (Ctrl+Q)\n[end]\n");
    ASSERT_TRUE(bar.showMenu()); // numbered afresh each time: "3" stays unknown
    for (const char* line : {"2\n", " 1 ", "Check now"})
        EXPECT_TRUE(bar.activate(line)) << line;
    for (const char* line : {"0", "3", "99999999999999999999", "Inbox", "Lists", "check now", ""})
        EXPECT_FALSE(bar.activate(line)) << line;
    EXPECT_EQ(chosen, (Lines{"Quit Tavrelin", "Check now", "Check now"}));

    out.clear();
    for (const char* tip : {"Not paired", "Not paired", "Checking…"})
        owned->setToolTip(tip);
    EXPECT_EQ(out, "[status] Not paired\n[status] Checking…\n");
    owned.reset();
    EXPECT_FALSE(bar.activate("Check now"));
}

// Sends the request, closes the sending side, and reads to the end, as a shell one-liner would.
std::string rawExchange(const std::string& socketPath, const std::string& request) {
    const char* script = "import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.settimeout(10)\n"
                         "s.connect(sys.argv[1]); s.sendall(sys.argv[2].encode()); s.shutdown(socket.SHUT_WR)\n"
                         "sys.stdout.write(b''.join(iter(lambda: s.recv(256), b'')).decode())\n";
    return posix::PosixProcesses()
        .run("/usr/bin/python3", {"-c", script, socketPath, request}, std::chrono::seconds(120))
        .output;
}

// Runs a blocking client call on a worker while the event loop lets the agent answer.
template <class Call> auto serving(Call call) {
    auto result = std::async(std::launch::async, call);
    EXPECT_TRUE(spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000))
        << "no answer within 10 s";
    return result.get();
}

using SingleInstanceTest = WorkspaceTest;

TEST_F(SingleInstanceTest, OnlyAPrivateRuntimeFolderOfTheUsersCountsElseOneFallbackForAll) {
    const uid_t me = ::getuid();
    const std::string fallback = temp / "tavrelin-" + std::to_string(me);
    auto folder = [](const std::string& path, fs::perms perms) {
        fs::create_directories(path);
        fs::permissions(path, perms, fs::perm_options::replace);
        return path;
    };
    const std::string good = folder(temp / "run", fs::perms::owner_all), missing = temp / "missing";
    const std::string wide = folder(temp / "wide", fs::perms::owner_all | fs::perms::group_all);
    const std::string deep = folder(good + "/" + std::string(100, 'd'), fs::perms::owner_all);

    writeFile(temp / "file", "");
    // Relative, empty, missing, open to others, not a folder, too deep for a socket's path.
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {good, good},        {std::nullopt, fallback}, {"run", fallback},         {"", fallback},
        {missing, fallback}, {wide, fallback},         {temp / "file", fallback}, {deep, fallback}};
    for (const auto& [runtime, folder] : cases) {
        const InstancePaths paths = InstancePaths::resolve(runtime, me, temp.path());
        EXPECT_EQ(std::tie(paths.folder, paths.socket, paths.lock),
                  std::tuple(folder, folder + "/tavrelin-agent.sock", folder + "/tavrelin-agent.lock"))
            << runtime.value_or("(unset)");
    }
    EXPECT_FALSE(InstancePaths::usableRuntimeFolder(good, me + 1)); // owned by another
    EXPECT_EQ(fs::symlink_status(fallback).permissions(), fs::perms::owner_all);

    // A fallback that lost its mode is ours and put right; one that is a link
    // or someone else's is refused.
    fs::permissions(fallback, fs::perms::owner_all | fs::perms::others_all, fs::perm_options::replace);
    InstancePaths::resolve(std::nullopt, me, temp.path());
    EXPECT_EQ(fs::symlink_status(fallback).permissions(), fs::perms::owner_all);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me + 1, temp.path()), InstanceError); // our folder, not theirs
    fs::remove(fallback);
    fs::create_directory_symlink(good, fallback);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me, temp.path()), InstanceError);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me, temp.path() + "/" + std::string(100, 't')), InstanceError);
}

// Deferring to a running agent, handing over, asking for the status and
// quitting between processes is the end-to-end agents' part; here, what a
// client could break, and a holder that never lets go.
TEST_F(SingleInstanceTest, AnAgentRemovesOnlyItsOwnSocketAndSurvivesClientsThatMisbehave) {
    SingleInstance agent(paths), later(paths);
    EXPECT_THROW(agent.listen(), InstanceError); // not without the lock
    ASSERT_TRUE(agent.tryLock());
    agent.listen();
    // A request longer than a line may be is dropped unanswered, and the
    // agent goes on answering; a line break cannot smuggle a second request in.
    Lines links;
    agent.onLink = [&](const std::string& link) { links.push_back(link); };
    EXPECT_FALSE(serving([&] { return later.handOver(std::string(SingleInstance::maxLineBytes, 'x'), 2000); }));
    EXPECT_TRUE(serving([&] { return later.handOver("tavrelin://pair?x\nquit"); }));
    EXPECT_TRUE(serving([&] { return later.ping(); }));
    EXPECT_TRUE(spinUntil([&] { return links == Lines{"tavrelin://pair?x%0Aquit"}; })) << ::testing::PrintToString(links);

    // A client that closes its side right after its request, as a shell
    // one-liner does, still gets its answer, on one line.
    agent.status = [] { return std::string("Trouble: line one\nline two"); };
    EXPECT_EQ(serving([&] { return rawExchange(paths.socket, "status\n"); }), "ok Trouble: line one line two\n");
    EXPECT_EQ(serving([&] { return rawExchange(paths.socket, "no such request\n"); }), "?\n");

    // Someone else's file at the path since: it stays.
    fs::rename(paths.socket, temp / "moved.sock");
    writeFile(paths.socket, "not ours");
    agent.stopListening();
    EXPECT_EQ(readFile(paths.socket), "not ours");
    // Holding the lock without answering: a start waits, then names the holder.
    EXPECT_THAT([&] { later.claim(std::chrono::milliseconds(200), [&] { return later.ping(); }); },
                ::testing::ThrowsMessage<InstanceError>(::testing::HasSubstr("(process " + std::to_string(::getpid()) + ")")));
}

struct Desktop {
    TempFolder temp;
    std::string config = temp / "config", data = temp / "data";
    posix::PosixFiles files;
    xdg::XdgLoginItems items{files, config, data};
};

// Which display is tried, in which order, and what is said of those passed over.
// (One that answers first, and none set at all: the agent under Weston below.)
TEST(Sessions, TheDisplayIsChosenInQtsOrderAndOnlyOneThatAnswers) {
    const std::string runtime = "/run/user/1000";
    // What is set, whether Qt's Wayland plugin is there, the platform chosen and what is said.
    const std::tuple<qt::DisplayEnvironment, bool, std::optional<std::string>, std::vector<std::string>> rows[] = {
        {{"", "wayland-9", runtime, ":0", ""}, true, "xcb", {"WAYLAND_DISPLAY=wayland-9 does not answer"}},
        {{"", "wayland-1", runtime, "", ""},
         false,
         {},
         {"WAYLAND_DISPLAY=wayland-1 answers, but Qt's Wayland platform plugin (qt6-wayland) is missing"}},
        {{"", "", runtime, "", "wayland"}, true, {}, {"WAYLAND_DISPLAY=wayland-0 does not answer"}},
        {{"", "/tmp/wayland-1", "", ":9", ""}, true, "wayland", {}},
        {{"", "wayland-1", "", ":9", ""},
         true,
         {},
         {"WAYLAND_DISPLAY=wayland-1 needs XDG_RUNTIME_DIR, which is not set", "DISPLAY=:9 does not answer"}},
        // QT_QPA_PLATFORM decides the order; a kind that needs no display is Qt's to open.
        {{"xcb;wayland", "wayland-1", runtime, ":0", ""}, true, "xcb", {}},
        {{"xcb", "wayland-1", runtime, ":9", ""}, true, {}, {"DISPLAY=:9 does not answer"}},
        {{"offscreen", "", "", "", ""}, true, "offscreen", {}},
    };
    const auto waylandAnswers = [&](const std::string& path) {
        return path == runtime + "/wayland-1" || path == "/tmp/wayland-1";
    };
    const auto x11Answers = [](const std::string& display) { return display == ":0"; };
    for (const auto& [environment, plugin, platform, problems] : rows) {
        const qt::DisplayChoice choice = qt::chooseDisplay(environment, waylandAnswers, x11Answers, plugin);
        EXPECT_EQ(std::tie(choice.platform, choice.problems), std::tie(platform, problems))
            << environment.waylandDisplay << " " << environment.x11Display;
    }
}

// Qt aborts when the display it picks does not answer; the agent asks first.
TEST(Sessions, TheAgentRunsUnderWaylandAloneAndCarriesOnWhenNoDisplayAnswers) {
    if (!installed("/usr/bin/weston"))
        GTEST_SKIP() << "weston is not installed (scripts/setup installs it)";
    const AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\nremindersBackend=vdir\n"};
    Child weston({"/usr/bin/weston", "--backend=headless-backend.so", "--socket=tavrelin-test", "--idle-time=0", "--no-config",
                  "--shell=kiosk-shell.so"},
                 withSanitizers({{"XDG_RUNTIME_DIR", home.environment.at("XDG_RUNTIME_DIR")}}));
    ASSERT_TRUE(eventually([&] { return fs::exists(home.environment.at("XDG_RUNTIME_DIR") + "/tavrelin-test"); }))
        << "weston did not come up:\n"
        << weston.output();
    const std::string agent = installCopy(home.root / "home");

    // The displays named, and what the agent says of them.
    const std::pair<Environment, std::string> rows[] = {
        {{{"WAYLAND_DISPLAY", "tavrelin-test"}}, ""},
        {{{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "tavrelin-gone"}, {"DISPLAY", ":7913"}},
         "no display could be opened (WAYLAND_DISPLAY=tavrelin-gone does not answer; DISPLAY=:7913 does not answer)"},
        {{}, "no display could be opened (neither WAYLAND_DISPLAY nor DISPLAY is set)"},
    };
    for (const auto& [displays, said] : rows) {
        Environment environment = home.environment;
        environment.insert(displays.begin(), displays.end());
        const std::string shown = displays.empty() ? "none" : displays.begin()->second;
        Child running({agent}, withSanitizers(environment));
        const auto answers = [&] { return runToEnd({agent, "--status"}, environment).first == 0; };
        ASSERT_TRUE(eventually(answers)) << shown << "\n" << running.output();
        // Nothing said of displays when one answers.
        EXPECT_EQ(running.output().find(said.empty() ? "no display" : said) != std::string::npos, !said.empty())
            << shown << "\n"
            << running.output();
        EXPECT_EQ(runToEnd({agent, "--quit"}, environment).first, 0) << shown;
        EXPECT_EQ(running.wait(), 0) << shown << "\n" << running.output();
    }
}

namespace {

// A Unix socket that takes connections into its queue and never says a word;
// a name starting with "@" is in the abstract namespace.
class SilentListener {
public:
    explicit SilentListener(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), std::min(name.size(), sizeof address.sun_path - 1));
        if (name.starts_with("@"))
            address.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + !name.starts_with("@"));
        listening_ =
            fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd_, 16) == 0;
    }
    ~SilentListener() { ::close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    bool listening() const { return listening_; }

private:
    int fd_;
    bool listening_ = false;
};

} // namespace

// A display that takes the connection and never answers is no display: the
// agent does not wait for it, carries on without a tray, says why, and answers
// --status. The X display is one libxcb finds in the abstract namespace first.
TEST(Sessions, ADisplayThatNeverAnswersIsNoDisplay) {
    const AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\nremindersBackend=vdir\n"};
    const std::string agent = installCopy(home.root / "home");
    SilentListener wayland(home.environment.at("XDG_RUNTIME_DIR") + "/tavrelin-silent");
    ASSERT_TRUE(wayland.listening());
    std::unique_ptr<SilentListener> x11;
    int display = 5000 + ::getpid() % 1000;
    for (int tries = 0; tries < 100 && !(x11 && x11->listening()); ++tries, ++display)
        x11 = std::make_unique<SilentListener>("@/tmp/.X11-unix/X" + std::to_string(display));
    ASSERT_TRUE(x11->listening()) << "no free X display number";
    --display;

    Environment environment = home.environment;
    environment.insert(
        {{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "tavrelin-silent"}, {"DISPLAY", ":" + std::to_string(display)}});
    Child running({agent}, withSanitizers(environment));
    const auto answers = [&] { return runToEnd({agent, "--status"}, environment).first == 0; };
    ASSERT_TRUE(eventually(answers)) << running.output();
    EXPECT_THAT(running.output(), ::testing::HasSubstr("no display could be opened (WAYLAND_DISPLAY=tavrelin-silent does not "
                                                       "answer; DISPLAY=:" +
                                                       std::to_string(display) + " does not answer)"));
    EXPECT_EQ(runToEnd({agent, "--quit"}, environment).first, 0);
    EXPECT_EQ(running.wait(), 0) << running.output();
}

// Blanks, quotes, dollars, backquotes, backslashes and per cents in a path:
// GLib reads them back in the hostile home folders below.
TEST(DesktopEntries, ExecNamesTheProgramAsTheEntryRulesQuoteIt) {
    EXPECT_EQ(xdg::execProgram("/h/it's;&|<>~*?#()/a"), R"("/h/it's;&|<>~*?#()/a")");
    EXPECT_EQ(xdg::execProgram("/h/line\nbreak\ttab/a"), R"("/h/line\nbreak\ttab/a")");
    for (const std::string path : {"/h/\x01/a", "/h/\xff/a", "/h/\xc0\xaf/a"})
        EXPECT_THROW(xdg::execProgram(path), std::invalid_argument);

    const std::string handler = xdg::linkHandlerEntry("/h/a b/a");
    EXPECT_NE(handler.find("\nMimeType=x-scheme-handler/tavrelin;\n"), std::string::npos) << handler;
    EXPECT_EQ(xdg::loginEntry("/h/a").find("MimeType"), std::string::npos);
}

// The home folder names a person could have, each read back by GLib, which
// starts the very program with the link as its one argument.
TEST(DesktopEntries, AHostileHomeFolderStillStartsTheAgentWithTheLink) {
    if (!installed("/usr/bin/gio"))
        GTEST_SKIP() << "gio is not installed (scripts/setup installs libglib2.0-bin)";
    const std::string link = "tavrelin://pair?token=rk_x&api=https://a.example/$HOME";
    for (const std::string home : {"plain", "with space", R"(q"u'o`t$e)", R"(back\slash)", "per%cent %u %%", "ünï"}) {
        Desktop d;
        const std::string bundle = d.temp / (home + "/Applications/Tavrelin.app");
        const std::string record = d.temp / "arguments";
        const std::string agent = fakeBundle(bundle, record);
        // Runs `command`, which should start the agent with `link` (or nothing) as its arguments.
        const auto starts = [&](const std::vector<std::string>& command, const Environment& environment, bool withLink) {
            fs::remove(record);
            const auto [status, output] = runToEnd(command, environment);
            EXPECT_EQ(status, 0) << home << "\n" << output;
            const std::string expected = agent + "\n" + (withLink ? link + "\n" : "");
            EXPECT_TRUE(
                eventually([&] { return fs::exists(record) && readFile(record) == expected; }, std::chrono::seconds(10)))
                << home << " " << command.front() << "\n"
                << output;
        };
        d.items.writeLinkHandler(bundle);
        d.items.writeLoginEntry(bundle);
        EXPECT_EQ(d.items.loginEntry(bundle), Entry::thisCopy) << home;
        EXPECT_TRUE(d.items.handlesLinks(bundle)) << home;
        for (const bool handler : {true, false}) {
            const std::string entry = handler ? d.items.linkHandlerPath() : d.items.loginEntryPath();
            if (installed("/usr/bin/desktop-file-validate")) {
                EXPECT_THAT(runToEnd({"/usr/bin/desktop-file-validate", entry}), ::testing::Pair(0, ::testing::_)) << home;
            }
            std::vector<std::string> command{"/usr/bin/gio", "launch", entry};
            if (handler)
                command.push_back(link);
            starts(command, {{"HOME", d.temp.path()}}, handler);
        }
        // xdg-open outside a known desktop splits Exec at blanks: a plain path must stay plain.
        if (home == "plain" && installed("/usr/bin/xdg-open")) {
            // The display is only looked at, never opened.
            const Environment session{
                {"HOME", d.temp.path()}, {"XDG_CONFIG_HOME", d.config}, {"XDG_DATA_HOME", d.data}, {"DISPLAY", ":55"}};
            starts({"/usr/bin/xdg-open", link}, session, true);
        }
    }
}

// Changes from another process are heard; what the running agent's menu makes
// of them is the login item logic's.
TEST(DesktopEntries, TheLoginEntryTellsThisCopyAnotherAndOneTheDesktopTurnedOffAndChangesFromElsewhereAreSeen) {
    application<QApplication>();
    Desktop d;
    const std::string here = d.temp / "Applications/Tavrelin.app", there = "/Applications/Tavrelin.app";
    EXPECT_EQ(d.items.loginEntry(here), Entry::none);
    fs::create_directories(d.config);
    // What the entry was each time a change was reported.
    std::vector<Entry> seen;
    d.items.watchLoginEntry([&] { seen.push_back(d.items.loginEntry(here)); });
    // The autostart folder appears with the entry in it (this copy's: the hostile homes above).
    xdg::XdgLoginItems elsewhere(d.files, d.config, d.data);
    elsewhere.writeLoginEntry(here);
    EXPECT_TRUE(spinUntil([&] { return std::ranges::count(seen, Entry::thisCopy) > 0; })) << "the entry was written unseen";
    EXPECT_EQ(d.items.loginEntry(there), Entry::otherCopy);
    const std::string written = readFile(d.items.loginEntryPath());
    for (const std::string added : {"Hidden=true\n", "X-GNOME-Autostart-enabled=false\n", "Hidden = true\n"}) {
        writeFile(d.items.loginEntryPath(), written + added);
        EXPECT_EQ(d.items.loginEntry(here), Entry::turnedOffByDesktop) << added;
    }
    writeFile(d.items.loginEntryPath(), written + "[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(d.items.loginEntry(here), Entry::otherCopy);
    elsewhere.removeLoginEntry();
    elsewhere.removeLoginEntry(); // nothing there: fine
    EXPECT_TRUE(spinUntil([&] { return std::ranges::count(seen, Entry::none) > 0; })) << "the entry was removed unseen";
}

// The icon comes and goes with the link handler: every size and the SVG,
// named by both entries; one file missing or stale is put right by the
// launch-time keeping, and the removal leaves the theme's folders.
TEST(DesktopEntries, TheIconIsInstalledInTheThemeWithTheEntriesAndRemovedWithThem) {
    application<QApplication>();
    Desktop d;
    xdg::XdgLoginItems items(d.files, d.config, d.data, MenuBarIcon::applicationIcon());
    const std::string bundle = d.temp / "Applications/Tavrelin.app";
    items.writeLinkHandler(bundle);
    items.writeLoginEntry(bundle);
    for (const std::string& entry : {items.linkHandlerPath(), items.loginEntryPath()})
        EXPECT_EQ(xdg::value(readFile(entry), "Icon"), std::string(xdg::iconName)) << entry;
    const std::string theme = d.data + "/icons/hicolor/";
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string png = theme + std::to_string(size) + "x" + std::to_string(size) + "/apps/tavrelin-agent.png";
        const QImage image(QString::fromStdString(png));
        ASSERT_EQ(image.size(), QSize(size, size)) << png;
        // The glyph's white on the dark disc, and nothing in the corners.
        EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << png;
        EXPECT_GT(image.pixelColor(size / 2, size / 2).alpha(), 200) << png;
    }
    const std::string scalable = theme + "scalable/apps/tavrelin-agent.svg";
    EXPECT_THAT(readFile(scalable), ::testing::StartsWith("<?xml"));
    EXPECT_TRUE(items.handlesLinks(bundle));

    fs::remove(theme + "48x48/apps/tavrelin-agent.png");
    EXPECT_FALSE(items.handlesLinks(bundle));
    items.writeLinkHandler(bundle);
    EXPECT_TRUE(items.handlesLinks(bundle));
    writeFile(scalable, "<svg/>");
    EXPECT_FALSE(items.handlesLinks(bundle));

    items.removeLinkHandler();
    for (const std::string& path : {theme + "48x48/apps/tavrelin-agent.png", scalable, items.linkHandlerPath()})
        EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::is_directory(theme + "scalable/apps"));
    items.removeLinkHandler(); // nothing there: fine
}

// The SVG is the same drawing: another renderer (ImageMagick's) covers about
// the pixels ours covers, the right way up.
TEST(DesktopEntries, TheScalableIconIsTheDrawingTheRightWayUp) {
    if (!installed("/usr/bin/convert"))
        GTEST_SKIP() << "convert is not installed (scripts/setup installs imagemagick)";
    application<QApplication>();
    TempFolder temp;
    // A disc at the bottom left and the glyph: the flip shows.
    platform::Drawing drawing = MenuBarIcon::applicationIcon();
    platform::DrawOperation corner;
    corner.path = MenuBarIcon::oval({0, 0, 6, 6});
    corner.color = {platform::ColorRole::systemRed, 1};
    drawing.operations.push_back(corner);
    const std::string svgPath = temp / "icon.svg", pngPath = temp / "icon.png";
    writeFile(svgPath, xdg::svg(drawing, [](const platform::Color& color) {
                  const QColor c = QtIconRenderer::color(color, {}, false);
                  return xdg::SvgPaint{c.name().toStdString(), c.alphaF()};
              }));
    // 72 px: four pixels a point.
    ASSERT_EQ(runToEnd({"/usr/bin/convert", "-background", "none", "-density", "384", svgPath, "png:" + pngPath}).first, 0);
    const QImage theirs = QImage(QString::fromStdString(pngPath)).convertToFormat(QImage::Format_ARGB32);
    const QImage ours = QtIconRenderer::render(drawing, 4).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(theirs.size(), ours.size());
    int both = 0, either = 0;
    for (int y = 0; y < ours.height(); ++y)
        for (int x = 0; x < ours.width(); ++x) {
            const bool a = qAlpha(ours.pixel(x, y)) > 128, b = qAlpha(theirs.pixel(x, y)) > 128;
            both += a && b;
            either += a || b;
        }
    // Its own circle and antialiasing differ from ours by a pixel's width.
    EXPECT_GT(double(both) / either, 0.8);
    // The red disc is at the bottom left in both.
    EXPECT_GT(QColor(theirs.pixel(8, 64)).red(), 200);
    EXPECT_LT(QColor(theirs.pixel(8, 64)).green(), 80);
}

// One reader of desktop entries: values of the main group with their escapes
// undone, and Exec split as launchers split it, read back from what the
// agent writes for paths a person could have.
TEST(DesktopEntries, EntriesReadBackAsWritten) {
    for (const std::string path : {"/h/plain/a", "/h/with space/a", R"(/h/q"u'o`t$e/a)", R"(/h/back\slash/a)", "/h/ünï/a"}) {
        const std::string entry = xdg::linkHandlerEntry(path);
        EXPECT_EQ(xdg::execArguments(xdg::value(entry, "Exec").value_or("")), Lines{path}) << entry;
        EXPECT_EQ(xdg::value(entry, "TryExec"), path);
        EXPECT_EQ(xdg::value(entry, "Name"), "Tavrelin");
    }
    // A path with a per cent runs through the shell, by argument.
    EXPECT_EQ(xdg::execArguments(xdg::value(xdg::loginEntry("/h/100%/a"), "Exec").value_or("")),
              (Lines{"/bin/sh", "-c", R"(exec "$0" "$@")", "/h/100%/a"}));
    const std::string entry = "[Desktop Entry]\nName=A\nName = B\nComment=\\sleading\\tand \\\\ \\q\n"
                              "[Desktop Action x]\nName=C\n";
    EXPECT_EQ(xdg::value(entry, "Name"), "B"); // the last of repeated keys, in the main group only
    EXPECT_EQ(xdg::value(entry, "Comment"), " leading\tand \\ \\q");
    EXPECT_EQ(xdg::value(entry, "Exec"), std::nullopt);
    EXPECT_EQ(xdg::value("Name=A\n", "Name"), std::nullopt); // outside any group
}

TEST(DesktopEntries, TheHandlerBecomesTheDefaultAndEveryOtherDefaultStays) {
    const std::string ours = "x-scheme-handler/tavrelin=tavrelin-agent.desktop;\n";
    // mimeapps.list before, with the agent as the default, and with it taken out again.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"", "[Default Applications]\n" + ours, ""},
        {"[Added Associations]\ntext/plain=a.desktop;\n",
         "[Added Associations]\ntext/plain=a.desktop;\n\n[Default Applications]\n" + ours,
         "[Added Associations]\ntext/plain=a.desktop;\n"},
        {"[Default Applications]\ntext/html=b.desktop;\n\n[Added Associations]\nx=y;\n",
         "[Default Applications]\ntext/html=b.desktop;\n" + ours + "\n[Added Associations]\nx=y;\n",
         "[Default Applications]\ntext/html=b.desktop;\n\n[Added Associations]\nx=y;\n"},
        // An older default (twice over) is replaced where readers took it from.
        {"[Default Applications]\nx-scheme-handler/tavrelin=old.desktop;\nx-scheme-handler/tavrelin = other.desktop\na=b;\n",
         "[Default Applications]\n" + ours + "a=b;\n", "[Default Applications]\na=b;\n"},
    };
    for (const auto& [before, withAgent, without] : rows) {
        EXPECT_EQ(xdg::withDefault(before, xdg::linkMimeType, xdg::desktopId), withAgent) << before;
        EXPECT_EQ(xdg::defaultFor(withAgent, xdg::linkMimeType), std::string(xdg::desktopId)) << before;
        EXPECT_EQ(xdg::withoutDefault(withAgent, xdg::linkMimeType, xdg::desktopId), without) << before;
    }
    // Taking it out of a default that names others too leaves them.
    EXPECT_EQ(xdg::withoutDefault("[Default Applications]\nx-scheme-handler/tavrelin=tavrelin-agent.desktop;kept.desktop;\n",
                                  xdg::linkMimeType, xdg::desktopId),
              "[Default Applications]\nx-scheme-handler/tavrelin=kept.desktop;\n");

    // On disk (read by xdg-open in the hostile homes above); a list that held only ours goes with it.
    Desktop d;
    const std::string bundle = d.temp / "Applications/Tavrelin.app";
    const std::string others = "[Default Applications]\ntext/html=firefox.desktop;\n";
    writeFile(d.items.defaultsPath(), others);
    d.items.writeLinkHandler(bundle);
    d.items.removeLinkHandler();
    EXPECT_EQ(readFile(d.items.defaultsPath()), others);
    EXPECT_FALSE(fs::exists(d.items.linkHandlerPath()));
    fs::remove(d.items.defaultsPath());
    d.items.writeLinkHandler(bundle);
    d.items.removeLinkHandler();
    EXPECT_FALSE(fs::exists(d.items.defaultsPath()));

    // A list that cannot be read is never replaced by one holding only ours.
    fs::create_directories(d.items.defaultsPath());
    EXPECT_THROW(d.items.writeLinkHandler(bundle), platform::FileError);
    EXPECT_FALSE(fs::exists(d.items.linkHandlerPath()));
}

} // namespace
