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
#include <QMessageBox>
#include <QTimer>

#include <atomic>
#include <filesystem>
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
    std::atomic<bool> offMain = false;
    loop.background(platform::Priority::utility, [&] {
        offMain = !loop.isMainThread();
        for (int i : {0, 1, 2})
            loop.post([&, i] { order.push_back(loop.isMainThread() ? i : -1); });
    });
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_TRUE(offMain);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
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
    EXPECT_EQ(delegate.calls,
              (std::vector<std::string>{"willFinish", "tavrelin://first", "didFinish", "tavrelin://later", "willTerminate"}));
}

TEST_F(QtPlatform, DialogButtonsAnswerInOrderAsPlainText) {
    // Clicks `button` once the box shows (closes it when empty); the answer and what the box showed.
    auto answer = [](const platform::Alert& alert, const QString& button) {
        QString shown;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            poll.stop();
            shown = box->text() + "|" + box->informativeText() + "|" + QString::number(box->textFormat());
            if (button.isEmpty())
                box->close();
            for (QAbstractButton* candidate : box->buttons())
                if (candidate->text() == button)
                    candidate->click();
        });
        poll.start(10);
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
    tavrelin::testing::TempFolder temp;
    const QString path = QString::fromStdString(temp / "Tavrelin/Tavrelin.ini");
    QtUserDefaults(path).setBool("shown", true);
    EXPECT_TRUE(QtUserDefaults(path).boolForKey("shown"));
    EXPECT_FALSE(QtUserDefaults(path).boolForKey("declined"));
}

// A later process asks the listening agent over its socket. The client call
// blocks, so it runs on a worker while the main loop lets the agent answer.
TEST_F(QtPlatform, ALaterProcessHandsOverLinksAndAsksForStatusOrQuit) {
    tavrelin::testing::TempFolder temp;
    SingleInstance agent(QString::fromStdString(temp / "agent.sock")), later(agent.socketPath());
    std::vector<std::string> got;
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
    ASSERT_TRUE(spinUntil([&] { return got.size() >= 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"tavrelin://pair?x%0Aquit", "quit"}));
}

TEST_F(QtPlatform, RelaunchStartsTheBundlesAgentWhateverItsPathHolds) {
    tavrelin::testing::TempFolder temp;
    SingleInstance instance(QString::fromStdString(temp / "agent.sock"));
    posix::PosixProcesses processes;
    QtWorkspace workspace(instance, processes, temp.path(), temp / "calendars", [](const std::string&) { return true; });
    const std::string bundle = temp / "My \"Apps\" $HOME `id` 'x'/Tavrelin.app";
    EXPECT_THROW(workspace.relaunch(bundle), platform::ProcessError); // no agent inside
    const std::string agent = bundle + "/Contents/MacOS/tavrelin-agent", marker = agent + ".ran";
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    tavrelin::testing::writeFile(agent, "#!/bin/sh\nprintf '%s %s' \"$#\" \"$0\" > \"$0.tmp\"\nmv \"$0.tmp\" \"$0.ran\"\n");
    ::chmod(agent.c_str(), 0700);
    workspace.relaunch(bundle);
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(marker); }, 20000));
    EXPECT_EQ(tavrelin::testing::readFile(marker), "0 " + agent);
}

} // namespace
