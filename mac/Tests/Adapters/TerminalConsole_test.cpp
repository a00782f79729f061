// The headless front end's input routing and dialogs on a QCoreApplication.

#include "Platform/Qt/QtMainLoop.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"

#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::terminal;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "TerminalConsole_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return *instance;
}

using tavrelin::testing::spinUntil;

class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        console.setRoutes({
            .showMenu = [this] { calls.push_back("menu"); },
            .chooseMenuItem =
                [this](const std::string& line) {
                    if (line != "2" && line != "Check Now")
                        return false;
                    calls.push_back("choose " + line);
                    return true;
                },
            .openURL = [this](const std::string& url) { calls.push_back("open " + url); },
            .quit = [this] { calls.push_back("quit"); },
        });
    }

    // Runs a dialog with the buttons after the given input has arrived.
    int ask(std::vector<std::string> buttons) {
        return dialogs.runModal({platform::AlertStyle::warning, "Title", "", std::move(buttons)});
    }

    TerminalConsole console{-1};
    TerminalDialogs dialogs{console};
    std::vector<std::string> calls;
};

TEST_F(Terminal, LinesOutsideADialogAreCommands) {
    console.receive("menu\n  2 \nCheck Now\r\nopen tavrelin://pair?token=rk_x&api=http://127.0.0.1:9\n");
    console.receive("\nbogus\nqu");
    console.receive("it\nmenu"); // the last line counts at the end without its line feed
    console.receiveEnd();
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 6; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"menu", "choose 2", "choose Check Now",
                                               "open tavrelin://pair?token=rk_x&api=http://127.0.0.1:9", "quit", "menu"}));
}

TEST_F(Terminal, TheNextLineAnswersTheOpenDialog) {
    struct Case {
        const char* input;
        int answer;
    };
    for (Case c : {Case{"1\n", 1000}, Case{"2\n", 1001}, Case{"Cancel\n", 1001}, Case{"Pair this Mac\n", 1000},
                   // Out of range, unknown and blank lines do not answer.
                   Case{"3\n0\nnope\n\n2\n", 1001}}) {
        console.receive(c.input);
        EXPECT_EQ(ask({"Pair this Mac", "Cancel"}), c.answer) << c.input;
        spinUntil([] { return false; }, 20);
    }
    EXPECT_TRUE(calls.empty()) << "answers leaked to the menu: " << calls.front();
}

TEST_F(Terminal, EndOfInputAnswersEveryDialogWithItsLastButton) {
    std::vector<int> answers;
    // A dialog opened from inside another one: both are waiting at the end.
    QTimer::singleShot(0, [&] { answers.push_back(ask({"A", "B", "C"})); });
    QTimer::singleShot(5, [&] { console.receiveEnd(); });
    answers.push_back(ask({"Replace", "Cancel"}));
    spinUntil([&] { return answers.size() == 2; });
    EXPECT_EQ(answers, (std::vector<int>{1002, 1001}));
    // Later dialogs do not wait for input that cannot come.
    EXPECT_TRUE(console.atEnd());
    EXPECT_EQ(ask({"OK"}), 1000);
    EXPECT_EQ(ask({"Switch backend", "Cancel"}), 1001);
}

TEST_F(Terminal, TimersKeepFiringWhileADialogWaits) {
    qt::QtMainLoop loop;
    int ticks = 0;
    auto timer = loop.repeating(0.01, [&] {
        if (++ticks == 5)
            console.receive("1\n");
    });
    EXPECT_EQ(ask({"OK"}), 1000);
    EXPECT_GE(ticks, 5);
}

TEST_F(Terminal, DialogsPrintTheirStyleTitleTextAndNumberedButtons) {
    EXPECT_EQ(TerminalDialogs::format({platform::AlertStyle::informational,
                                       "Let this Mac collect your reminders?",
                                       "First.\n\nSecond.",
                                       {"Pair this Mac", "Cancel"}}),
              "[alert] informational\nLet this Mac collect your reminders?\nFirst.\n\nSecond.\n"
              "1. Pair this Mac\n2. Cancel\n[end]\n");
    EXPECT_EQ(TerminalDialogs::format({platform::AlertStyle::critical, "Title", "", {}}),
              "[alert] critical\nTitle\n1. OK\n[end]\n");
    EXPECT_EQ(TerminalDialogs::format({platform::AlertStyle::warning, "T", "x", {"Replace", "Cancel"}}).substr(0, 16),
              "[alert] warning\n");
}

TEST_F(Terminal, AnAnswerTypedLaterReachesADialogOpenedByACommand) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    TerminalConsole piped(fds[0]);
    TerminalDialogs pipedDialogs(piped);
    std::vector<int> answers;
    TerminalConsole::Routes routes;
    routes.chooseMenuItem = [&](const std::string&) {
        // The answer is typed only once the dialog is up.
        QTimer::singleShot(20, [&] { ASSERT_EQ(::write(fds[1], "2\nmenu\n", 7), 7); });
        answers.push_back(pipedDialogs.runModal({platform::AlertStyle::warning, "Unpair?", "", {"Unpair", "Cancel"}}));
        return true;
    };
    routes.showMenu = [&] { answers.push_back(0); };
    piped.setRoutes(routes);
    piped.start();
    ASSERT_EQ(::write(fds[1], "5\n", 2), 2);
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers, (std::vector<int>{1001, 0}));
    ::close(fds[1]);
    ASSERT_TRUE(spinUntil([&] { return piped.atEnd(); }));
    ::close(fds[0]);
}

} // namespace
