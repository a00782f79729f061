// The Qt application platform against a real (offscreen) QApplication.

#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Qt/QtApplication.h"
#include "Platform/Qt/QtDialogs.h"
#include "Platform/Qt/QtMainLoop.h"
#include "Platform/Qt/QtUserDefaults.h"
#include "Platform/Qt/QtWorkspace.h"
#include "Platform/Qt/SingleInstance.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::qt;
using tavrelin::testing::spinUntil;

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

class QtPlatform : public ::testing::Test {
protected:
    void SetUp() override { app(); }
};

TEST_F(QtPlatform, PostedBlocksRunOnTheMainThreadInOrderAndBackgroundWorkOffIt) {
    QtMainLoop loop;
    std::vector<int> order;
    std::atomic<int> offMain = 0;
    for (int t : {0, 1})
        loop.background(t ? platform::Priority::utility : platform::Priority::normal, [&, t] {
            offMain += !loop.isMainThread();
            for (int i = 0; i < 100; ++i)
                loop.post([&, t, i] { order.push_back(loop.isMainThread() ? t * 1000 + i : -1); });
        });
    ASSERT_TRUE(spinUntil([&] { return order.size() == 200; }));
    EXPECT_EQ(offMain, 2);
    for (int t : {0, 1}) {
        std::vector<int> fromThread;
        for (int value : order)
            if (value / 1000 == t)
                fromThread.push_back(value);
        EXPECT_EQ(fromThread.size(), 100u);
        EXPECT_TRUE(std::is_sorted(fromThread.begin(), fromThread.end()));
    }
    EXPECT_TRUE(loop.waitForBackground(1));
}

TEST_F(QtPlatform, TimersFireUnderADialogAndStopWithTheirHandle) {
    QtMainLoop loop;
    int ticks = 0;
    auto timer = loop.repeating(0.01, [&] { ++ticks; });
    // Answered only once the timer has fired a few times under the dialog.
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && ticks >= 5) {
            poll->deleteLater();
            box->buttons().front()->click();
        }
    });
    poll->start(5);
    EXPECT_EQ(QtDialogs().runModal({platform::AlertStyle::warning, "Wait", "", {"Done"}}), 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // a firing falls due
    const int before = ticks;
    timer.reset();
    spinUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, before);
}

TEST_F(QtPlatform, LaunchLinksComeBeforeTheEndOfLaunchAndTerminationOnce) {
    QtApplication application(app());
    struct Delegate : platform::ApplicationDelegate {
        std::vector<std::string> calls;
        std::function<void()> onDidFinish;
        void applicationWillFinishLaunching() override { calls.push_back("willFinish"); }
        void applicationDidFinishLaunching() override {
            calls.push_back("didFinish");
            onDidFinish();
        }
        void applicationWillTerminate() override { calls.push_back("willTerminate"); }
        void handleGetURL(const std::optional<std::string>& url) override { calls.push_back(url.value_or("-")); }
    } delegate;
    application.openURL("tavrelin://first");
    delegate.onDidFinish = [&] {
        application.openURL("tavrelin://later");
        QTimer::singleShot(0, [&] {
            application.terminate();
            application.terminate();
        });
    };
    EXPECT_EQ(application.run(delegate), 0);
    EXPECT_TRUE(application.isTerminating());
    EXPECT_EQ(delegate.calls,
              (std::vector<std::string>{"willFinish", "tavrelin://first", "didFinish", "tavrelin://later", "willTerminate"}));
}

TEST_F(QtPlatform, DialogButtonsAnswerInOrderAsPlainText) {
    auto answer = [](platform::Alert alert, QString button) {
        auto* poll = new QTimer;
        QString shown;
        QObject::connect(poll, &QTimer::timeout, [poll, button, &shown] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            poll->deleteLater();
            shown = box->text() + "|" + box->informativeText() + "|" + QString::number(box->textFormat());
            if (button.isEmpty())
                box->close();
            for (QAbstractButton* candidate : box->buttons())
                if (candidate->text() == button)
                    candidate->click();
        });
        poll->start(10);
        int result = QtDialogs().runModal(alert);
        return std::make_pair(result, shown.toStdString());
    };
    platform::Alert alert{platform::AlertStyle::critical, "Pair with <b>x</b>?", "<i>y</i>", {"Pair", "Cancel", "Third"}};
    EXPECT_EQ(answer(alert, "Pair").first, 1000);
    EXPECT_EQ(answer(alert, "Third").first, 1002);
    EXPECT_EQ(answer(alert, "").first, 1002); // closing is the last, cancelling button
    alert.buttons.clear();
    EXPECT_EQ(answer(alert, "OK"), std::make_pair(1000, std::string("Pair with <b>x</b>?|<i>y</i>|0"))); // no markup
}

TEST_F(QtPlatform, UserDefaultsAreWrittenThroughAndSurviveARestart) {
    QTemporaryDir dir;
    const QString path = dir.filePath("Tavrelin/Tavrelin.ini");
    QtUserDefaults(path).setBool("com.tavrelin.mac.hasShownWelcome", true);
    QtUserDefaults again(path);
    EXPECT_TRUE(again.boolForKey("com.tavrelin.mac.hasShownWelcome"));
    EXPECT_FALSE(again.boolForKey("com.tavrelin.mac.declinedMoveToApplications"));
}

// A client call blocks on the socket, so it runs on a worker while the main
// thread's loop lets the server answer.
template <typename F> auto whileServing(F call) {
    auto result = std::async(std::launch::async, call);
    spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    return result.get();
}

TEST_F(QtPlatform, ALaterProcessHandsItsLinkToTheAgentThatListens) {
    QTemporaryDir dir;
    const QString path = dir.filePath("agent.sock");
    // A socket file left by a crashed agent: bound, never listened on.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance later(path);
    posix::PosixProcesses processes;
    QtWorkspace workspace(later, processes, "/home/u", "", [](const std::string&) { return true; });
    EXPECT_FALSE(later.handOver("tavrelin://pair"));
    EXPECT_EQ(workspace.runningApplications("com.tavrelin.mac").size(), 1u);

    SingleInstance agent(path);
    std::vector<std::string> links;
    agent.onLink = [&](const std::string& link) { links.push_back(link); };
    ASSERT_TRUE(agent.listen());
    auto running = whileServing([&] { return workspace.runningApplications("com.tavrelin.mac"); });
    ASSERT_EQ(running.size(), 2u);
    EXPECT_FALSE(running[1].isCurrent);
    EXPECT_TRUE(workspace.runningApplications("com.example.other").empty());
    EXPECT_TRUE(whileServing([&] { return later.handOver("tavrelin://pair?a=1"); }));
    // A line break cannot smuggle a second request in.
    EXPECT_TRUE(whileServing([&] { return later.handOver("tavrelin://pair?x\nopen evil://"); }));
    ASSERT_TRUE(spinUntil([&] { return links.size() == 2; }));
    EXPECT_EQ(links, (std::vector<std::string>{"tavrelin://pair?a=1", "tavrelin://pair?x%0Aopen evil://"}));
}

TEST_F(QtPlatform, ALaterProcessAsksTheAgentToQuitOrForItsStatus) {
    QTemporaryDir dir;
    const QString path = dir.filePath("agent.sock");
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
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(whileServing([&] { return later.requestQuit(); }));
    ASSERT_TRUE(spinUntil([&] { return quits == 1; }));

    SingleInstance nobody(dir.filePath("nobody.sock"));
    EXPECT_FALSE(nobody.requestQuit());
    EXPECT_EQ(nobody.requestStatus(), std::nullopt);
}

TEST_F(QtPlatform, WorkspaceIntents) {
    tavrelin::testing::TempFolder temp;
    SingleInstance instance(QString::fromStdString(temp / "agent.sock"));
    posix::PosixProcesses processes;
    std::vector<std::string> opened;
    const std::string root = temp / "data/calendars";
    QtWorkspace workspace(instance, processes, temp.path(), root, [&](const std::string& url) {
        opened.push_back(url);
        return true;
    });
    EXPECT_EQ(workspace.applicationsFolder(), temp / "Applications");

    // The task-list root, or its nearest existing parent before it exists.
    workspace.openRemindersPrivacySettings();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root)));
    workspace.openRemindersPrivacySettings();
    EXPECT_FALSE(workspace.openURL("not a url"));
    EXPECT_EQ(opened, (std::vector<std::string>{"file://" + temp.path(), "file://" + root}));

    // The bundle path reaches the agent whole, whatever it holds.
    const std::string bundle = temp / "My \"Apps\" $HOME `id` 'x'/Tavrelin.app";
    EXPECT_THROW(workspace.relaunch(bundle), platform::ProcessError); // no agent inside yet
    const std::string agent = bundle + "/Contents/MacOS/tavrelin-agent";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(bundle + "/Contents/MacOS")));
    tavrelin::testing::writeFile(agent, "#!/bin/sh\nprintf '%s %s' \"$#\" \"$0\" > \"$(dirname \"$0\")/marker\"\n");
    ::chmod(agent.c_str(), 0700);
    workspace.relaunch(bundle);
    const std::string marker = bundle + "/Contents/MacOS/marker";
    ASSERT_TRUE(spinUntil([&] { return QFile::exists(QString::fromStdString(marker)); }, 20000));
    spinUntil([] { return false; }, 100); // the write completes
    EXPECT_EQ(tavrelin::testing::readFile(marker), "0 " + agent);
}

} // namespace
