#include "Platform/Qt/QtStatusItem.h"

#include <QAction>
#include <QApplication>

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::MenuItem;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "QtStatusItem_test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    return *app;
}

MenuItem entry(std::string title, bool enabled = false) {
    MenuItem m;
    m.title = std::move(title);
    m.enabled = enabled;
    return m;
}

// "-" for a separator, else the shown text with markers for disabled (!),
// shortcut and submenu entries.
std::vector<std::string> describe(const QMenu& menu) {
    std::vector<std::string> lines;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            lines.push_back("-");
            continue;
        }
        std::string line = (action->isEnabled() ? "" : "!") + action->text().toStdString();
        if (!action->shortcut().isEmpty())
            line += " [" + action->shortcut().toString(QKeySequence::PortableText).toStdString() + "]";
        lines.push_back(line);
        if (action->menu())
            for (const auto& sub : describe(*action->menu()))
                lines.push_back("  " + sub);
    }
    return lines;
}

struct QtStatusItemTest : ::testing::Test {
    QApplication& app = application();
    qt::QtStatusItem item;
    std::string headline = "Connected";
    std::vector<std::string> chosen;
    int provided = 0;

    void SetUp() override {
        item.setMenuProvider([this] {
            ++provided;
            MenuItem header = entry("Tavrelin — " + headline);
            MenuItem lists = entry("Lists on this Mac", true);
            lists.indentation = 1;
            lists.submenu = {entry("Work"), entry("R&D")};
            MenuItem check = entry("Check now", true);
            check.keyEquivalent = "r";
            check.action = [this] { chosen.push_back("check"); };
            MenuItem settings = entry("Open Privacy & Security settings…", true);
            settings.action = [this] { chosen.push_back("settings"); };
            return std::vector<MenuItem>{header, MenuItem::separatorItem(), lists, check, settings};
        });
        QCoreApplication::processEvents();
    }
};

} // namespace

TEST_F(QtStatusItemTest, BuildsTheMenuFromTheItems) {
    EXPECT_EQ(describe(item.menu()), (std::vector<std::string>{
                                         "!Tavrelin — Connected",
                                         "-",
                                         "    Lists on this Mac",
                                         "  !Work",
                                         "  !R&&D",
                                         "Check now [Ctrl+R]",
                                         "Open Privacy && Security settings…",
                                     }));
}

TEST_F(QtStatusItemTest, ActionsRunAfterTheTriggerReturns) {
    QAction* check = item.menu().actions().at(3);
    check->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, std::vector<std::string>{"check"});
}

TEST_F(QtStatusItemTest, RebuildsOnStateChangesOnlyWhenSomethingDiffers) {
    QAction* first = item.menu().actions().at(0);
    item.setToolTip("Tavrelin — Connected");
    item.setToolTip("Tavrelin — Connected"); // coalesced into one rebuild
    const int before = provided;
    QCoreApplication::processEvents();
    EXPECT_EQ(provided, before + 1);
    EXPECT_EQ(item.menu().actions().at(0), first); // same items: menu kept

    headline = "Checking…";
    item.setToolTip("Tavrelin — Checking…");
    QCoreApplication::processEvents();
    EXPECT_EQ(item.menu().actions().at(0)->text().toStdString(), "Tavrelin — Checking…");

    // Opening the menu asks again.
    headline = "Not paired";
    emit item.menu().aboutToShow();
    EXPECT_EQ(item.menu().actions().at(0)->text().toStdString(), "Tavrelin — Not paired");
}
