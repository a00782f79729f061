// The Qt application platform against a real (offscreen) QApplication.

#include "Platform/Qt/QtApplication.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtMainLoop.h"
#include "Platform/Qt/QtUserDefaults.h"
#include "Platform/Qt/QtWorkspace.h"
#include "Platform/Qt/SingleInstance.h"

#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <future>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::qt;

// Fontconfig keeps its caches for the life of the process by design; the
// dialogs' text brings it in. Read by LeakSanitizer when it is linked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "QtPlatform_test";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

using tavrelin::testing::spinUntil;

class QtPlatform : public ::testing::Test {
protected:
    void SetUp() override { app(); }
};

// --- main loop ---------------------------------------------------------------

TEST_F(QtPlatform, PostedBlocksRunOnTheMainThreadInOrderFromAnyThread) {
    QtMainLoop loop;
    std::vector<int> order;
    std::atomic<bool> allOnMain = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                loop.post([&, t, i] {
                    allOnMain = allOnMain && loop.isMainThread();
                    order.push_back(t * 1000 + i);
                });
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(spinUntil([&] { return order.size() == 300; }));
    EXPECT_TRUE(allOnMain);
    for (int t = 0; t < 3; ++t) {
        std::vector<int> fromThread;
        for (int value : order)
            if (value / 1000 == t)
                fromThread.push_back(value % 1000);
        EXPECT_TRUE(std::is_sorted(fromThread.begin(), fromThread.end())) << "thread " << t;
    }
}

TEST_F(QtPlatform, BackgroundWorkRunsOffTheMainThreadAtBothPriorities) {
    QtMainLoop loop;
    EXPECT_TRUE(loop.isMainThread());
    std::atomic<int> offMain = 0;
    int handedBack = 0;
    for (auto priority : {platform::Priority::normal, platform::Priority::utility}) {
        loop.background(priority, [&] {
            if (!loop.isMainThread())
                ++offMain;
            loop.onMain([&] { ++handedBack; });
        });
    }
    ASSERT_TRUE(spinUntil([&] { return handedBack == 2; }));
    EXPECT_EQ(offMain, 2);
    EXPECT_TRUE(loop.waitForBackground(1));
}

TEST_F(QtPlatform, RepeatingTimerFiresUntilItsHandleIsDropped) {
    QtMainLoop loop;
    int fired = 0;
    auto timer = loop.repeating(0.01, [&] { ++fired; });
    ASSERT_TRUE(spinUntil([&] { return fired >= 3; }));

    // Let a firing fall due, then drop the handle before the loop delivers it.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int before = fired;
    timer.reset();
    QCoreApplication::processEvents();
    QTimer::singleShot(60, [] {});
    spinUntil([] { return false; }, 80);
    EXPECT_EQ(fired, before);
}

TEST_F(QtPlatform, TimersMadeAndDroppedOffTheMainThread) {
    QtMainLoop loop;
    std::atomic<int> fired = 0;
    std::unique_ptr<platform::Timer> timer;
    std::thread([&] { timer = loop.repeating(0.01, [&] { ++fired; }); }).join();
    ASSERT_TRUE(spinUntil([&] { return fired >= 2; }));
    std::thread([&] { timer.reset(); }).join();
    QCoreApplication::processEvents();
    int before = fired;
    spinUntil([] { return false; }, 60);
    EXPECT_EQ(fired, before);

    // Dropped before the main thread even made it: never fires.
    std::atomic<int> never = 0;
    std::thread([&] { auto t = loop.repeating(0.001, [&] { ++never; }); }).join();
    spinUntil([] { return false; }, 30);
    EXPECT_EQ(never, 0);
}

TEST_F(QtPlatform, AfterRunsOnceOnTheMainThreadAlsoWhenAskedFromAWorker) {
    QtMainLoop loop;
    int fromMain = 0, fromWorker = 0;
    bool workerBlockOnMain = false;
    loop.after(0.02, [&] { ++fromMain; });
    std::thread([&] {
        loop.after(0.01, [&] {
            ++fromWorker;
            workerBlockOnMain = loop.isMainThread();
        });
    }).join();
    ASSERT_TRUE(spinUntil([&] { return fromMain == 1 && fromWorker == 1; }));
    spinUntil([] { return false; }, 50);
    EXPECT_EQ(fromMain, 1);
    EXPECT_EQ(fromWorker, 1);
    EXPECT_TRUE(workerBlockOnMain);
}

// --- application ------------------------------------------------------------

struct RecordingDelegate : platform::ApplicationDelegate {
    std::vector<std::string> calls;
    std::function<void()> onDidFinish;
    void applicationWillFinishLaunching() override { calls.push_back("willFinish"); }
    void applicationDidFinishLaunching() override {
        calls.push_back("didFinish");
        if (onDidFinish)
            onDidFinish();
    }
    void applicationWillTerminate() override { calls.push_back("willTerminate"); }
    void handleGetURL(const std::optional<std::string>& url) override { calls.push_back("url " + url.value_or("-")); }
};

TEST_F(QtPlatform, RunDeliversLaunchUrlsBeforeTheEndOfLaunchAndTerminatesOnce) {
    QtApplication application(app());
    RecordingDelegate delegate;
    application.openURL("tavrelin://pair?first");
    application.openURL("tavrelin://pair?second");
    delegate.onDidFinish = [&] {
        application.openURL("tavrelin://pair?later");
        // A later link, then quitting from the loop: the link comes first.
        QTimer::singleShot(0, [&] {
            application.terminate();
            application.terminate();
        });
    };
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_EQ(delegate.calls, (std::vector<std::string>{"willFinish", "url tavrelin://pair?first", "url tavrelin://pair?second",
                                                        "didFinish", "url tavrelin://pair?later", "willTerminate"}));
}

TEST_F(QtPlatform, TerminatingDuringLaunchSkipsTheLoop) {
    QtApplication application(app());
    RecordingDelegate delegate;
    delegate.onDidFinish = [&] { application.terminate(); };
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_EQ(delegate.calls, (std::vector<std::string>{"willFinish", "didFinish", "willTerminate"}));
}

TEST_F(QtPlatform, SignalsTerminateThroughTheDelegate) {
    QtApplication application(app());
    application.terminateOnSignals();
    RecordingDelegate delegate;
    delegate.onDidFinish = [] { ::kill(::getpid(), SIGTERM); };
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_EQ(delegate.calls.back(), "willTerminate");
}

// --- dialogs ----------------------------------------------------------------

// Once the next message box is up: lets the test look at it, then clicks the
// button with the given text, or closes the box when the text is empty.
void answerNextBox(const QString& button, std::function<void(QMessageBox&)> inspect = {}) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, button, inspect] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->deleteLater();
        if (inspect)
            inspect(*box);
        if (button.isEmpty()) {
            box->close();
            return;
        }
        for (QAbstractButton* candidate : box->buttons())
            if (candidate->text() == button)
                candidate->click();
    });
    poll->start(10);
}

int runAndClick(const platform::Alert& alert, const QString& button, std::function<void(QMessageBox&)> inspect = {}) {
    answerNextBox(button, std::move(inspect));
    return QtDialogs().runModal(alert);
}

TEST_F(QtPlatform, DialogButtonsAnswerInTheOrderAddedAndClosingIsTheLast) {
    platform::Alert alert{
        platform::AlertStyle::critical, "Pair this Mac with evil.example?", "text", {"Pair anyway", "Cancel", "Third"}};
    EXPECT_EQ(runAndClick(alert, "Pair anyway"), 1000);
    EXPECT_EQ(runAndClick(alert, "Cancel"), 1001);
    EXPECT_EQ(runAndClick(alert, "Third"), 1002);
    EXPECT_EQ(runAndClick(alert, ""), 1002);

    // Without buttons there is one OK.
    QStringList shown;
    alert.buttons.clear();
    EXPECT_EQ(runAndClick(alert, "OK",
                          [&](QMessageBox& box) {
                              for (QAbstractButton* button : box.buttons())
                                  shown << button->text();
                          }),
              1000);
    EXPECT_EQ(shown, QStringList{"OK"});
}

TEST_F(QtPlatform, DialogShowsStyleTitleAndTextAsPlainText) {
    struct Case {
        platform::AlertStyle style;
        QMessageBox::Icon icon;
    };
    for (Case c : {Case{platform::AlertStyle::warning, QMessageBox::Warning},
                   Case{platform::AlertStyle::informational, QMessageBox::Information},
                   Case{platform::AlertStyle::critical, QMessageBox::Critical}}) {
        // A host name from a link must not become markup.
        platform::Alert alert{c.style, "Pair this Mac with <b>x</b>?", "<i>from</i> <a href='y'>y</a>\n\nsecond", {}};
        QMessageBox::Icon icon{};
        QString title, informative;
        Qt::TextFormat titleFormat{}, informativeFormat{};
        runAndClick(alert, "OK", [&](QMessageBox& box) {
            icon = box.icon();
            title = box.text();
            titleFormat = box.textFormat();
            informative = box.informativeText();
            if (auto* label = box.findChild<QLabel*>("qt_msgbox_informativelabel"))
                informativeFormat = label->textFormat();
        });
        EXPECT_EQ(icon, c.icon);
        EXPECT_EQ(title, "Pair this Mac with <b>x</b>?");
        EXPECT_EQ(informative, "<i>from</i> <a href='y'>y</a>\n\nsecond");
        EXPECT_EQ(titleFormat, Qt::PlainText);
        EXPECT_EQ(informativeFormat, Qt::PlainText);
    }
}

TEST_F(QtPlatform, TimersKeepFiringWhileADialogIsOpen) {
    QtMainLoop loop;
    int ticks = 0;
    auto timer = loop.repeating(0.01, [&] { ++ticks; });
    platform::Alert alert{platform::AlertStyle::warning, "Wait", "", {"Done"}};
    // Answer only once the timer has fired a few times under the dialog.
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && ticks >= 5) {
            poll->deleteLater();
            box->buttons().front()->click();
        }
    });
    poll->start(5);
    EXPECT_EQ(QtDialogs().runModal(alert), 1000);
    EXPECT_GE(ticks, 5);
}

// --- user defaults -----------------------------------------------------------

TEST_F(QtPlatform, UserDefaultsKeepKeysExactlyAndSurviveARestart) {
    QTemporaryDir dir;
    QString path = dir.filePath("Tavrelin/Tavrelin.ini");
    {
        QtUserDefaults defaults(path);
        EXPECT_FALSE(defaults.boolForKey("com.tavrelin.mac.hasShownWelcome"));
        defaults.setBool("com.tavrelin.mac.hasShownWelcome", true);
        defaults.setBool("com.tavrelin.mac.declinedMoveToApplications", false);
        EXPECT_TRUE(defaults.boolForKey("com.tavrelin.mac.hasShownWelcome"));
        // Written through at once, not at exit.
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll().contains("com.tavrelin.mac.hasShownWelcome=true"));
    }
    QtUserDefaults again(path);
    EXPECT_TRUE(again.boolForKey("com.tavrelin.mac.hasShownWelcome"));
    EXPECT_FALSE(again.boolForKey("com.tavrelin.mac.declinedMoveToApplications"));
    EXPECT_FALSE(again.boolForKey("com.tavrelin.mac.other"));
}

// --- single instance and workspace -------------------------------------------

// A client call blocks on the socket, so it runs on a worker while the main
// thread's loop lets the server answer.
template <typename F> auto whileServing(F call) {
    auto result = std::async(std::launch::async, call);
    spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    return result.get();
}

TEST_F(QtPlatform, ALaterProcessHandsItsLinkToTheListeningAgent) {
    QTemporaryDir dir;
    QString path = dir.filePath("agent.sock");
    SingleInstance agent(path);
    std::vector<std::string> links;
    agent.onLink = [&](const std::string& link) { links.push_back(link); };
    ASSERT_TRUE(agent.listen());
    EXPECT_FALSE(agent.anotherAnswers());

    SingleInstance later(path);
    EXPECT_TRUE(whileServing([&] { return later.anotherAnswers(); }));
    EXPECT_FALSE(whileServing([&] { return later.listen(); }));
    EXPECT_TRUE(whileServing([&] { return later.handOver("tavrelin://pair?token=rk_a&api=http://127.0.0.1:1"); }));
    // A line break cannot smuggle a second request in.
    EXPECT_TRUE(whileServing([&] { return later.handOver("tavrelin://pair?x\nopen evil://"); }));
    ASSERT_TRUE(spinUntil([&] { return links.size() == 2; }));
    EXPECT_EQ(links[0], "tavrelin://pair?token=rk_a&api=http://127.0.0.1:1");
    EXPECT_EQ(links[1], "tavrelin://pair?x%0Aopen evil://");
    spinUntil([] { return false; }, 50);
    EXPECT_EQ(links.size(), 2u);
}

TEST_F(QtPlatform, ALaterProcessAsksTheAgentToQuitOrForItsStatus) {
    QTemporaryDir dir;
    QString path = dir.filePath("agent.sock");
    SingleInstance agent(path);
    int quits = 0;
    agent.onQuit = [&] { ++quits; };
    std::string headline = "Tavrelin — Trouble: line one\nline two";
    agent.status = [&] { return headline; };
    ASSERT_TRUE(agent.listen());
    // Only another process asks: the agent does not quit itself this way.
    EXPECT_FALSE(agent.requestQuit());
    EXPECT_EQ(agent.requestStatus(), std::nullopt);

    SingleInstance later(path);
    EXPECT_EQ(whileServing([&] { return later.requestStatus(); }), "Tavrelin — Trouble: line one line two");
    headline.clear();
    EXPECT_EQ(whileServing([&] { return later.requestStatus(); }), "");
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(whileServing([&] { return later.requestQuit(); }));
    ASSERT_TRUE(spinUntil([&] { return quits == 1; }));
}

TEST_F(QtPlatform, NobodyListeningMeansNoHandOverAndAStaleSocketIsReplaced) {
    QTemporaryDir dir;
    QString path = dir.filePath("agent.sock");
    SingleInstance nobody(path);
    EXPECT_FALSE(nobody.handOver("tavrelin://pair"));
    EXPECT_FALSE(nobody.anotherAnswers());
    EXPECT_FALSE(nobody.requestQuit());
    EXPECT_EQ(nobody.requestStatus(), std::nullopt);

    // A socket file left by a crashed agent: bound, never listened on.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(path));

    SingleInstance agent(path);
    EXPECT_TRUE(agent.listen());
    EXPECT_TRUE(agent.isListening());
}

TEST_F(QtPlatform, AnOverlongRequestIsDropped) {
    QTemporaryDir dir;
    QString path = dir.filePath("agent.sock");
    SingleInstance agent(path);
    int links = 0;
    agent.onLink = [&](const std::string&) { ++links; };
    ASSERT_TRUE(agent.listen());
    bool dropped = whileServing([&] {
        QLocalSocket socket;
        socket.connectToServer(path);
        if (!socket.waitForConnected(2000))
            return false;
        socket.write(QByteArray(SingleInstance::maxLineBytes + 10, 'a'));
        socket.waitForBytesWritten(2000);
        return socket.waitForDisconnected(8000) || socket.state() == QLocalSocket::UnconnectedState;
    });
    EXPECT_TRUE(dropped);
    EXPECT_EQ(links, 0);
}

TEST_F(QtPlatform, WorkspaceListsAnotherAgentOnlyWhenOneAnswers) {
    QTemporaryDir dir;
    QString path = dir.filePath("agent.sock");
    SingleInstance self(path);
    QtWorkspace workspace(self, dir.filePath("calendars").toStdString(), [](const std::string&) { return true; });

    auto running = workspace.runningApplications("com.tavrelin.mac");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(running[0].isCurrent);
    EXPECT_TRUE(workspace.runningApplications("com.example.other").empty());

    SingleInstance other(path);
    ASSERT_TRUE(other.listen());
    running = whileServing([&] { return workspace.runningApplications("com.tavrelin.mac"); });
    ASSERT_EQ(running.size(), 2u);
    EXPECT_TRUE(running[0].isCurrent);
    EXPECT_FALSE(running[1].isCurrent);

    // The listening agent itself sees nobody else.
    QtWorkspace own(other, "", [](const std::string&) { return true; });
    EXPECT_EQ(own.runningApplications("com.tavrelin.mac").size(), 1u);
}

TEST_F(QtPlatform, WorkspaceOpensTheTaskListRootForTheRemindersPrivacyPane) {
    QTemporaryDir dir;
    SingleInstance instance(dir.filePath("agent.sock"));
    std::vector<std::string> opened;
    QString root = dir.filePath("data/calendars");
    QtWorkspace workspace(instance, root.toStdString(), [&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    const std::string privacy = "x-apple.systempreferences:com.apple.preference.security?Privacy_Reminders";

    // Not created yet: its nearest existing parent.
    EXPECT_TRUE(workspace.openURL(privacy));
    ASSERT_TRUE(QDir().mkpath(root));
    EXPECT_TRUE(workspace.openURL(privacy));
    EXPECT_TRUE(workspace.openURL("https://relay.tavrelin.app/help"));
    EXPECT_FALSE(workspace.openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_Camera"));
    EXPECT_FALSE(workspace.openURL("not a url"));
    EXPECT_EQ(opened, (std::vector<std::string>{QUrl::fromLocalFile(dir.path()).toString().toStdString(),
                                                QUrl::fromLocalFile(root).toString().toStdString(),
                                                "https://relay.tavrelin.app/help"}));
}

TEST_F(QtPlatform, TheOpenCommandStartsTheAgentInsideTheBundle) {
    QTemporaryDir dir;
    QString bundle = dir.filePath("My Apps/Tavrelin.app");
    ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
    QFile agent(bundle + "/Contents/MacOS/tavrelin-agent");
    ASSERT_TRUE(agent.open(QIODevice::WriteOnly));
    agent.write("#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/marker\"\n");
    agent.close();
    agent.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    SingleInstance instance(dir.filePath("agent.sock"));
    QtWorkspace workspace(instance, "", [](const std::string&) { return true; });
    // As the relaunch after a move uses it: the bundle quoted after the command.
    QProcess shell;
    shell.start("/bin/sh", {"-c", QString::fromStdString(workspace.openApplicationCommand()) + " \"" + bundle + "\""});
    ASSERT_TRUE(shell.waitForFinished(10000));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    QFile marker(bundle + "/Contents/MacOS/marker");
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(marker.readAll(), "0\n"); // started with no arguments
}

} // namespace
