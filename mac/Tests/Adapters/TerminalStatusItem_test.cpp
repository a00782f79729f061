#include "Platform/Terminal/TerminalStatusItem.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavrelin;
using platform::MenuItem;
using terminal::TerminalStatusBar;
using terminal::TerminalStatusItem;

namespace {

struct TerminalStatusItemTest : ::testing::Test {
    std::ostringstream out;
    TerminalStatusBar bar{out};
    std::unique_ptr<platform::StatusItem> owned = bar.makeStatusItem();
    TerminalStatusItem& item = static_cast<TerminalStatusItem&>(*owned);
    std::vector<std::string> chosen;
    std::string status = "Connected";

    MenuItem action(std::string title, std::string key = {}) {
        MenuItem m;
        m.title = title;
        m.enabled = true;
        m.keyEquivalent = std::move(key);
        m.action = [this, title] { chosen.push_back(title); };
        return m;
    }
    static MenuItem info(std::string title, int indentation = 0) {
        MenuItem m;
        m.title = std::move(title);
        m.indentation = indentation;
        return m;
    }

    void SetUp() override {
        item.setMenuProvider([this] {
            MenuItem lists = info("Lists on this Mac", 1);
            lists.enabled = true;
            lists.submenu = {info("Inbox"), info("Work")};
            return std::vector<MenuItem>{
                info("Tavrelin — " + status),
                MenuItem::separatorItem(),
                info("   Last checked just now"),
                info("1 reminder filed this session", 1),
                lists,
                action("Check now", "r"),
                MenuItem::separatorItem(),
                action("Quit Tavrelin", "q"),
            };
        });
    }
    std::string take() {
        std::string text = out.str();
        out.str("");
        return text;
    }
};

const char* const printedMenu = "[menu]\n"
                                "Tavrelin — Connected\n"
                                "---\n"
                                "   Last checked just now\n"
                                "    1 reminder filed this session\n"
                                "    Lists on this Mac\n"
                                "        Inbox\n"
                                "        Work\n"
                                "1. Check now  (⌘R)\n"
                                "---\n"
                                "2. Quit Tavrelin  (⌘Q)\n"
                                "[end]\n";

} // namespace

TEST_F(TerminalStatusItemTest, PrintsTheMenuAndActivatesByNumberOrTitle) {
    item.showMenu();
    EXPECT_EQ(take(), printedMenu);
    item.performClick();
    EXPECT_EQ(take(), printedMenu);

    EXPECT_TRUE(item.activate("2\n"));
    EXPECT_TRUE(item.activate("Check now"));
    EXPECT_TRUE(item.activate("  1 "));
    EXPECT_EQ(chosen, (std::vector<std::string>{"Quit Tavrelin", "Check now", "Check now"}));

    // Nothing matches: out of range, disabled or unknown titles, empty lines.
    for (const char* line : {"0", "3", "99999999999999999999", "Inbox", "Tavrelin — Connected", "check now", "", "  "})
        EXPECT_FALSE(item.activate(line)) << line;
    EXPECT_EQ(chosen.size(), 3u);
    EXPECT_EQ(take(), ""); // activation prints nothing by itself
}

TEST_F(TerminalStatusItemTest, TitlesAreMatchedInTheMenuAsItIsNow) {
    status = "Checking…";
    EXPECT_FALSE(item.activate("1")); // no menu shown yet: nothing numbered
    EXPECT_TRUE(item.activate("Quit Tavrelin"));
    EXPECT_EQ(chosen, std::vector<std::string>{"Quit Tavrelin"});
}

TEST_F(TerminalStatusItemTest, PrintsStatusOnlyWhenTheToolTipChanges) {
    item.setToolTip("Tavrelin — Not paired");
    item.setImage({});
    item.setToolTip("Tavrelin — Not paired");
    item.setImage({});
    item.setToolTip("Tavrelin — Checking…");
    EXPECT_EQ(take(), "[status] Tavrelin — Not paired\n[status] Tavrelin — Checking…\n");
}

TEST_F(TerminalStatusItemTest, BarReachesTheNewestLiveItem) {
    EXPECT_EQ(bar.item(), &item);
    EXPECT_TRUE(bar.activate("Check now"));
    EXPECT_TRUE(bar.showMenu());
    EXPECT_EQ(take(), printedMenu);
    owned.reset();
    EXPECT_EQ(bar.item(), nullptr);
    EXPECT_FALSE(bar.showMenu());
    EXPECT_FALSE(bar.activate("Check now"));
    EXPECT_EQ(take(), "");
}
