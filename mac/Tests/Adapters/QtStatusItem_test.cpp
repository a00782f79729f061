#include "Platform/Qt/QtStatusItem.h"

#include "TavrelinMac/MenuBarIcon.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

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
        if (!action->isVisible())
            continue;
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

QAction* shown(QMenu& menu, const std::string& text) {
    for (QAction* action : menu.actions())
        if (action->isVisible() && action->text().trimmed().toStdString() == text)
            return action;
    return nullptr;
}

struct QtStatusItemTest : ::testing::Test {
    QApplication& app = application();
    qt::QtStatusItem item;
    std::string headline = "Connected";
    bool paired = true;
    std::vector<std::string> lists = {"Work", "R&D"};
    std::vector<std::string> chosen;
    int provided = 0;

    void SetUp() override {
        item.setMenuProvider([this] {
            ++provided;
            std::vector<MenuItem> items{entry("Tavrelin — " + headline), MenuItem::separatorItem()};
            MenuItem listsItem = entry("Lists on this Mac", true);
            listsItem.indentation = 1;
            for (const auto& name : lists)
                listsItem.submenu.push_back(entry(name));
            items.push_back(listsItem);
            MenuItem check = entry("Check now", true);
            check.keyEquivalent = "r";
            check.action = [this] { chosen.push_back("check"); };
            items.push_back(check);
            if (paired) {
                MenuItem unpair = entry("Unpair this Mac…", true);
                unpair.action = [this] { chosen.push_back("unpair"); };
                items.push_back(unpair);
            }
            MenuItem settings = entry("Open Privacy & Security settings…", true);
            settings.action = [this] { chosen.push_back("settings"); };
            items.push_back(settings);
            return items;
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
                                         "Unpair this Mac…",
                                         "Open Privacy && Security settings…",
                                     }));
}

TEST_F(QtStatusItemTest, ActionsRunAfterTheTriggerReturns) {
    QAction* check = shown(item.menu(), "Check now");
    ASSERT_NE(check, nullptr);
    check->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, std::vector<std::string>{"check"});
}

TEST_F(QtStatusItemTest, EntriesKeepTheirActionsAcrossStateChanges) {
    const QList<QAction*> before = item.menu().actions();
    QAction* unpair = shown(item.menu(), "Unpair this Mac…");
    QAction* lists = shown(item.menu(), "Lists on this Mac");
    ASSERT_NE(unpair, nullptr);
    ASSERT_NE(lists, nullptr);
    QAction* work = lists->menu()->actions().at(0);

    headline = "Checking…";
    paired = false;
    this->lists = {"Work", "Home", "Errands"};
    item.setToolTip("Tavrelin — Checking…");
    item.flush();
    EXPECT_EQ(item.menu().actions(), before); // the same actions, updated in place
    EXPECT_EQ(item.menu().actions().at(0)->text().toStdString(), "Tavrelin — Checking…");
    EXPECT_FALSE(unpair->isVisible());
    EXPECT_EQ(lists->menu()->actions().at(0), work);
    EXPECT_EQ(describe(*lists->menu()), (std::vector<std::string>{"!Work", "!Home", "!Errands"}));

    // A hidden entry does nothing when a stale click reaches it.
    unpair->trigger();
    QCoreApplication::processEvents();
    EXPECT_TRUE(chosen.empty());

    // Back again: the same action, visible and working.
    paired = true;
    this->lists = {"Work"};
    item.syncMenu();
    EXPECT_EQ(shown(item.menu(), "Unpair this Mac…"), unpair);
    EXPECT_EQ(describe(*lists->menu()), std::vector<std::string>{"!Work"});
    unpair->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, std::vector<std::string>{"unpair"});

    // Many round trips between two shapes do not grow the menu.
    const auto size = item.menu().actions().size();
    for (int i = 0; i < 20; ++i) {
        paired = i % 2;
        item.syncMenu();
    }
    EXPECT_EQ(item.menu().actions().size(), size);
}

TEST_F(QtStatusItemTest, AShowRequestIsAnsweredAtOnceAndTextsAgeOnlyWhileOpen) {
    EXPECT_FALSE(item.menuRefreshing());
    const int before = provided;
    emit item.menu().aboutToShow();
    EXPECT_EQ(provided, before); // nothing rebuilt while the host waits
    EXPECT_TRUE(item.menuRefreshing());
    headline = "Not paired";
    QCoreApplication::processEvents(); // right after the answer
    EXPECT_EQ(provided, before + 1);
    EXPECT_EQ(item.menu().actions().at(0)->text().toStdString(), "Tavrelin — Not paired");
    emit item.menu().aboutToHide();
    EXPECT_FALSE(item.menuRefreshing());
}

TEST_F(QtStatusItemTest, TheTrayGetsAtMostFourImagesASecond) {
    item.trayAppeared();
    ASSERT_NE(item.trayIcon(), nullptr);
    item.setImage(MenuBarIcon::image(SyncState::Health::idle(), 90));
    item.flush();
    const int first = item.iconUpdates();
    EXPECT_EQ(first, 1);
    // The same drawing again is not sent again.
    item.setImage(MenuBarIcon::image(SyncState::Health::idle(), 90));
    item.flush();
    EXPECT_EQ(item.iconUpdates(), first);

    // A poll that is over before the next flush leaves nothing to send and
    // nothing to wake up for.
    item.setToolTip("Tavrelin — Connected");
    item.flush();
    headline = "Checking…";
    item.setImage(MenuBarIcon::image(SyncState::Health::working(), 90));
    item.setToolTip("Tavrelin — Checking…");
    EXPECT_TRUE(item.flushPending());
    headline = "Connected";
    item.setImage(MenuBarIcon::image(SyncState::Health::idle(), 90));
    item.setToolTip("Tavrelin — Connected");
    EXPECT_FALSE(item.flushPending());
    EXPECT_EQ(item.iconUpdates(), first);

    // A spinner at twelve frames a second, for a second.
    QElapsedTimer clock;
    clock.start();
    double angle = 90;
    for (int frame = 0; frame < 12; ++frame) {
        angle -= 24;
        item.setImage(MenuBarIcon::image(SyncState::Health::working(), angle));
        while (clock.elapsed() < (frame + 1) * 1000 / 12) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
    }
    const int sent = item.iconUpdates() - first;
    EXPECT_GE(sent, 3);
    EXPECT_LE(sent, 5);
    EXPECT_FALSE(item.trayIcon()->icon().isNull());
}
