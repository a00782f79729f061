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
#include <QTimer>

#include <atomic>
#include <functional>
#include <future>
#include <sys/stat.h>

using namespace tavrelin;
using namespace tavrelin::qt;
using tavrelin::testing::spinUntil;

// Fontconfig keeps its caches for the life of the process by design; the
// dialogs' text brings it in. Read by LeakSanitizer when it is linked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class QtPlatform : public ::testing::Test {
protected:
    void SetUp() override { tavrelin::testing::application<QApplication>(); }
};

TEST_F(QtPlatform, PostedBlocksRunOnTheMainThreadInOrderAndBackgroundWorkOffIt) {
    QtMainLoop loop;
    std::vector<int> order;
    std::atomic<int> offMain = 0;
    loop.background(platform::Priority::utility, [&] {
        offMain += !loop.isMainThread();
        for (int i = 0; i < 100; ++i)
            loop.post([&, i] { order.push_back(loop.isMainThread() ? i : -1); });
    });
    ASSERT_TRUE(spinUntil([&] { return order.size() == 100; }));
    EXPECT_EQ(offMain, 1);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.front(), 0);
    EXPECT_TRUE(loop.waitForBackground(1));
}

TEST_F(QtPlatform, LaunchLinksComeBeforeTheEndOfLaunchAndTerminationOnce) {
    QtApplication application(*qApp);
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

TEST_F(QtPlatform, UserDefaultsAreWrittenThroughToTheSettingsFile) {
    tavrelin::testing::TempFolder temp;
    const QString path = QString::fromStdString(temp / "Tavrelin/Tavrelin.ini");
    QtUserDefaults(path).setBool("com.tavrelin.mac.hasShownWelcome", true);
    QtUserDefaults again(path);
    EXPECT_TRUE(again.boolForKey("com.tavrelin.mac.hasShownWelcome"));
    EXPECT_FALSE(again.boolForKey("com.tavrelin.mac.declinedMoveToApplications"));
}

// A later process asks the listening agent over its socket. The client call
// blocks, so it runs on a worker while the main loop lets the agent answer.
TEST_F(QtPlatform, ALaterProcessHandsOverLinksAndAsksForStatusOrQuit) {
    tavrelin::testing::TempFolder temp;
    SingleInstance agent(QString::fromStdString(temp / "agent.sock")), later(agent.socketPath());
    std::vector<std::string> links;
    int quits = 0;
    agent.onLink = [&](const std::string& link) { links.push_back(link); };
    agent.onQuit = [&] { ++quits; };
    agent.status = [] { return std::string("Tavrelin — Trouble: line one\nline two"); };
    EXPECT_FALSE(later.requestQuit()); // nobody listens yet
    ASSERT_TRUE(agent.listen());
    auto serving = [](auto call) {
        auto result = std::async(std::launch::async, call);
        spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
        return result.get();
    };
    EXPECT_EQ(serving([&] { return later.requestStatus(); }), "Tavrelin — Trouble: line one line two");
    // A line break cannot smuggle a second request in.
    EXPECT_TRUE(serving([&] { return later.handOver("tavrelin://pair?x\nquit"); }));
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(serving([&] { return later.requestQuit(); }));
    ASSERT_TRUE(spinUntil([&] { return quits == 1; }));
    EXPECT_EQ(links, std::vector<std::string>{"tavrelin://pair?x%0Aquit"});
}

TEST_F(QtPlatform, RelaunchStartsTheBundlesAgentWhateverItsPathHolds) {
    tavrelin::testing::TempFolder temp;
    SingleInstance instance(QString::fromStdString(temp / "agent.sock"));
    posix::PosixProcesses processes;
    QtWorkspace workspace(instance, processes, temp.path(), temp / "calendars", [](const std::string&) { return true; });
    const std::string bundle = temp / "My \"Apps\" $HOME `id` 'x'/Tavrelin.app";
    EXPECT_THROW(workspace.relaunch(bundle), platform::ProcessError); // no agent inside
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
