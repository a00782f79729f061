#pragma once

#include "Platform/Drawing.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::platform {

// One entry of the status menu. Items with an action are enabled by their
// owner; nothing is enabled automatically.
struct MenuItem {
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

    static MenuItem separatorItem() {
        MenuItem item;
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
    virtual void setImage(const Drawing& image) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
    // Called on the main thread just before the menu opens; answers the items.
    virtual void setMenuProvider(std::function<std::vector<MenuItem>()> provider) = 0;
    // Opens the menu as a click on the button would.
    virtual void performClick() = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    [[nodiscard]] virtual std::unique_ptr<StatusItem> makeStatusItem() = 0;
};

} // namespace tavrelin::platform
