// The headless front end: its input routing, dialogs and menu on a QCoreApplication.

#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"

#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <sstream>

using namespace tavrelin;
using namespace tavrelin::terminal;
using tavrelin::testing::spinUntil;

namespace {

class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        tavrelin::testing::application<QCoreApplication>();
        console.setRoutes({
            .showMenu = [this] { calls.push_back("menu"); },
            .chooseMenuItem = [this](const std::string& line) { return line == "2" && (calls.push_back("choose"), true); },
            .openURL = [this](const std::string& url) { calls.push_back("open " + url); },
            .quit = [this] { calls.push_back("quit"); },
        });
    }

    int ask(std::vector<std::string> buttons) {
        return dialogs.runModal({platform::AlertStyle::warning, "Title", "", std::move(buttons)});
    }

    TerminalConsole console{-1};
    TerminalDialogs dialogs{console};
    std::vector<std::string> calls;
};

TEST_F(Terminal, LinesOutsideADialogAreCommands) {
    console.receive("menu\n  2 \r\nopen tavrelin://pair?token=rk_x&api=http://127.0.0.1:9\n\nbogus\nqu");
    console.receive("it\nmenu"); // the last line counts at the end without its line feed
    console.receiveEnd();
    ASSERT_TRUE(spinUntil([&] { return calls.size() == 5; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"menu", "choose", "open tavrelin://pair?token=rk_x&api=http://127.0.0.1:9",
                                               "quit", "menu"}));
}

TEST_F(Terminal, TheNextLineAnswersTheOpenDialogWhileTimersFire) {
    for (auto [input, answer] : {std::pair{"1\n", 1000},
                                 {"Cancel\n", 1001},
                                 {"Pair this Mac\n", 1000},
                                 // Out of range, unknown and blank lines do not answer.
                                 {"3\n0\nnope\n\n2\n", 1001}}) {
        console.receive(input);
        EXPECT_EQ(ask({"Pair this Mac", "Cancel"}), answer) << input;
    }
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 5)
            console.receive("1\n");
    });
    timer.start(10);
    EXPECT_EQ(ask({"OK"}), 1000);
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
    EXPECT_EQ(ask({"Switch backend", "Cancel"}), 1001); // later ones do not wait
    EXPECT_EQ(TerminalDialogs::format({platform::AlertStyle::critical, "Title", "First.\n\nSecond.", {}}),
              "[alert] critical\nTitle\nFirst.\n\nSecond.\n1. OK\n[end]\n");
}

TEST(TerminalStatusItem, PrintsTheMenuAndChoosesByNumberOrTitle) {
    std::ostringstream out;
    TerminalStatusBar bar{out};
    auto owned = bar.makeStatusItem();
    std::vector<std::string> chosen;
    auto item = [&](std::string title, int indentation = 0, std::string key = {}) {
        platform::MenuItem m;
        m.title = title;
        m.indentation = indentation;
        m.enabled = !key.empty();
        m.keyEquivalent = key;
        m.action = [&chosen, title] { chosen.push_back(title); };
        return m;
    };
    owned->setMenuProvider([&] {
        platform::MenuItem lists = item("Lists", 1);
        lists.submenu = {item("Inbox")};
        return std::vector{item("Connected"), lists, item("Check now", 0, "r"), platform::MenuItem::separatorItem(),
                           item("Quit Tavrelin", 0, "q")};
    });
    EXPECT_FALSE(bar.activate("1")); // nothing numbered before the menu is shown
    ASSERT_TRUE(bar.showMenu());
    EXPECT_EQ(out.str(),
              "[menu]\nConnected\n    Lists\n        Inbox\n1. Check now  (⌘R)\n---\n2. Quit Tavrelin  (⌘Q)\n[end]\n");
    for (const char* line : {"2\n", " 1 ", "Check now"})
        EXPECT_TRUE(bar.activate(line)) << line;
    for (const char* line : {"0", "3", "99999999999999999999", "Inbox", "Connected", "check now", ""})
        EXPECT_FALSE(bar.activate(line)) << line;
    EXPECT_EQ(chosen, (std::vector<std::string>{"Quit Tavrelin", "Check now", "Check now"}));

    out.str("");
    for (const char* tip : {"Tavrelin — Not paired", "Tavrelin — Not paired", "Tavrelin — Checking…"})
        owned->setToolTip(tip);
    EXPECT_EQ(out.str(), "[status] Tavrelin — Not paired\n[status] Tavrelin — Checking…\n");
    owned.reset();
    EXPECT_FALSE(bar.activate("Check now"));
}

} // namespace
