// The headless front end: its input routing, dialogs and menu on a QCoreApplication.

#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Platform/Terminal/TerminalStatusItem.h"

#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <sstream>

using namespace tavrelin;
using namespace tavrelin::terminal;
using tavrelin::testing::spinUntil;
using Lines = std::vector<std::string>;

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

TEST_F(Terminal, TheNextLineAnswersTheOpenDialog) {
    // Out of range, unknown and blank lines do not answer.
    for (auto [input, answer] : {std::pair{"1\n", 1000}, {"Cancel\n", 1001}, {"3\n0\nnope\n\n2\n", 1001}}) {
        console.receive(input);
        EXPECT_EQ(ask({"Pair this Mac", "Cancel"}), answer) << input;
    }
    QTimer::singleShot(20, [&] { console.receive("1\n"); }); // while the dialog waits
    EXPECT_EQ(ask({"OK"}), 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, Lines{}) << "answers leaked to the menu";
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
    EXPECT_EQ(TerminalDialogs::format({platform::AlertStyle::critical, "Title", "Text", {}}),
              "[alert] critical\nTitle\nText\n1. OK\n[end]\n");
}

TEST(TerminalStatusItem, PrintsTheMenuAndChoosesByNumberOrTitle) {
    std::ostringstream out;
    TerminalStatusBar bar{out};
    auto owned = bar.makeStatusItem();
    Lines chosen;
    auto item = [&](const std::string& title, const std::string& key = "", int indentation = 0) {
        return platform::MenuItem{title, !key.empty(), false, key, indentation, [&chosen, title] { chosen.push_back(title); },
                                  {}};
    };
    owned->setMenuProvider([&] {
        platform::MenuItem lists = item("Lists", "", 1);
        lists.submenu = {item("Inbox")};
        return std::vector{item("Connected"), lists, item("Check now", "r"), platform::MenuItem::separatorItem(),
                           item("Quit Tavrelin", "q")};
    });
    EXPECT_FALSE(bar.activate("1")); // nothing numbered before the menu is shown
    ASSERT_TRUE(bar.showMenu());
    EXPECT_EQ(out.str(),
              "[menu]\nConnected\n    Lists\n        Inbox\n1. Check now  (⌘R)\n---\n2. Quit Tavrelin  (⌘Q)\n[end]\n");
    for (const char* line : {"2\n", " 1 ", "Check now"})
        EXPECT_TRUE(bar.activate(line)) << line;
    for (const char* line : {"0", "3", "99999999999999999999", "Inbox", "Connected", "check now", ""})
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
