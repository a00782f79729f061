#pragma once

#include "Platform/StatusItem.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::terminal {

// The status item on a terminal. It prints, each block flushed:
//
//   [status] <tool tip>           whenever the tool tip text changes (images
//                                 are not shown)
//   [menu]                        the menu, one line per item:
//   1. Check now  (Ctrl+R)          enabled items with an action are numbered,
//   Tavrelin — Connected            the others are not; a key shows as (Ctrl+R);
//       2 reminders filed ...       four spaces per indentation level,
//   ---                             submenu items one level under their parent,
//   [end]                           separators as ---, a switch as
//                                   "[x] Start at Login" (on) or "[ ] …" (off)
//
// The standard-input reader answers a line by calling showMenu() for "menu"
// and activate() for anything else (a number or a title).
class TerminalStatusItem final : public platform::StatusItem {
public:
    // Where the blocks go: standard output (printLines) or nowhere.
    using Output = std::function<void(std::string_view text)>;

    explicit TerminalStatusItem(Output out);
    ~TerminalStatusItem() override;

    bool hasButton() const override { return true; }
    bool showsImages() const override { return false; }
    void setImage(const platform::Drawing&) override {}
    void setToolTip(const std::string& toolTip) override;
    void setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) override;
    // Prints the menu, as showMenu() does.
    void performClick() override { showMenu(); }

    // Asks the provider for the items and prints them as above. The numbers
    // stay valid until the next showMenu().
    void showMenu();
    // Activates the item numbered `line` in the last printed menu, or else the
    // first enabled item whose title is exactly `line` (surrounding blanks
    // ignored) in a menu rebuilt now. Answers false when nothing matched.
    bool activate(std::string_view line);

    // Lets a status bar know when this item goes away.
    std::function<void()> onDestroy;

private:
    Output out_;
    std::optional<std::string> toolTip_;
    std::function<std::vector<platform::MenuItem>()> provider_;
    std::vector<std::function<void()>> numbered_;
};

// Makes terminal status items writing to one output, and reaches the newest
// of them for the input reader.
class TerminalStatusBar final : public platform::StatusBar {
public:
    explicit TerminalStatusBar(TerminalStatusItem::Output out);
    ~TerminalStatusBar() override;

    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

    // The newest item still alive, or null.
    TerminalStatusItem* item() const { return *current_; }
    // showMenu()/activate() on the newest item; false when there is none.
    bool showMenu();
    bool activate(std::string_view line);
    // Called when an item is made.
    std::function<void()> onItem;

private:
    TerminalStatusItem::Output out_;
    std::shared_ptr<TerminalStatusItem*> current_ = std::make_shared<TerminalStatusItem*>(nullptr);
};

} // namespace tavrelin::terminal
