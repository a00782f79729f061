#pragma once

#include "Platform/Drawing.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrelin::platform {

// One entry of the status menu. Items with an action are enabled by their
// owner; nothing is enabled automatically.
struct MenuItem {
    // What the entry is ("syncNow", "reminders/refused/Work"), unique among its
    // siblings and the same for as long as the entry is there, whatever comes
    // before or after it: a front end keys what it shows by it, so a host that
    // holds an older layout still reaches the entry. Empty: the title stands in.
    std::string id;
    std::string title;
    bool enabled = false;
    bool separator = false;
    // A plain lower-case letter used with the Command key, or empty.
    std::string keyEquivalent;
    int indentation = 0;
    std::function<void()> action;
    std::vector<MenuItem> submenu;
    // A switch shows whether it is on; none for a plain entry.
    std::optional<bool> checked;

    // `id` names what the separator sets apart ("-quit").
    static MenuItem separatorItem(std::string id = {}) {
        MenuItem item;
        item.id = std::move(id);
        item.separator = true;
        return item;
    }
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // False when the item has no button to draw into (it then ignores images,
    // tool tips and clicks).
    virtual bool hasButton() const = 0;
    // False for a front end that shows no image (a terminal): nothing needs to
    // be animated for it.
    virtual bool showsImages() const { return true; }
    virtual void setImage(const Drawing& image) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
    // Called on the main thread just before the menu opens; answers the items.
    virtual void setMenuProvider(std::function<std::vector<MenuItem>()> provider) = 0;
    // Opens the menu as a click on the button would.
    virtual void performClick() = 0;
    // Whether the item is on screen now. A tray may come and go; the menu bar
    // is always there.
    virtual bool isShown() const { return hasButton(); }
    // Whether performClick() can open the menu at the icon now, which needs
    // the front end to know where the icon is; where it cannot, a click does
    // nothing rather than open the menu somewhere else.
    virtual bool canOpenMenuAtIcon() const { return hasButton(); }
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    [[nodiscard]] virtual std::unique_ptr<StatusItem> makeStatusItem() = 0;
};

} // namespace tavrelin::platform
