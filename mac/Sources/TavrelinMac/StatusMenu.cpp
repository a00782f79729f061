#include "TavrelinMac/StatusMenu.h"

#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/InstallWords.h"
#include "TavrelinMac/MenuBarIcon.h"

namespace tavrelin {

using platform::MenuItem;

namespace {

MenuItem disabledItem(std::string title) {
    MenuItem item;
    item.title = std::move(title);
    return item;
}

constexpr double spinnerPeriod = 1.0 / 12;
constexpr double spinnerStep = 24;

} // namespace

std::shared_ptr<StatusMenu> StatusMenu::create(platform::StatusBar& statusBar, platform::MainLoop& mainLoop,
                                               const AppInfo& appInfo, DialogGate& dialogs, SyncState& state,
                                               std::vector<std::shared_ptr<DeliveryModule>> modules) {
    std::shared_ptr<StatusMenu> menu(new StatusMenu(statusBar, mainLoop, appInfo, dialogs, state, std::move(modules)));
    // The provider lives in the status item, which the menu owns: hold it weakly.
    std::weak_ptr<StatusMenu> weak = menu;
    menu->statusItem_->setMenuProvider([weak]() -> std::vector<MenuItem> {
        if (auto self = weak.lock())
            return self->menuNeedsUpdate();
        return {};
    });
    menu->refreshButton();
    return menu;
}

StatusMenu::StatusMenu(platform::StatusBar& statusBar, platform::MainLoop& mainLoop, const AppInfo& appInfo,
                       DialogGate& dialogs, SyncState& state, std::vector<std::shared_ptr<DeliveryModule>> modules)
    : mainLoop_(mainLoop), appInfo_(appInfo), dialogs_(dialogs), statusItem_(statusBar.makeStatusItem()), state_(state),
      modules_(std::move(modules)) {}

void StatusMenu::refreshButton() {
    if (!statusItem_->hasButton())
        return;
    statusItem_->setImage(MenuBarIcon::image(state_.health(), spinnerAngle_));
    statusItem_->setToolTip("Tavrelin — " + state_.headline());
    if (state_.health().kind == SyncState::Health::Kind::working)
        startSpinner();
    else
        stopSpinner();
}

void StatusMenu::startSpinner() {
    if (spinnerTimer_)
        return;
    std::weak_ptr<StatusMenu> weak = weak_from_this();
    spinnerTimer_ = mainLoop_.repeating(spinnerPeriod, [weak] {
        if (auto self = weak.lock())
            self->spinnerFrame();
    });
}

void StatusMenu::stopSpinner() {
    spinnerTimer_.reset();
    spinnerAngle_ = 90;
}

void StatusMenu::spinnerFrame() {
    spinnerAngle_ -= spinnerStep;
    if (spinnerAngle_ <= -360)
        spinnerAngle_ += 360;
    if (statusItem_->hasButton())
        statusItem_->setImage(MenuBarIcon::image(state_.health(), spinnerAngle_));
}

std::vector<MenuItem> StatusMenu::menuNeedsUpdate() {
    std::weak_ptr<StatusMenu> weak = weak_from_this();
    auto actionItem = [&weak](std::string title, void (StatusMenu::*action)(), std::string key = {}) {
        MenuItem item;
        item.title = std::move(title);
        item.enabled = true;
        item.keyEquivalent = std::move(key);
        item.action = [weak, action] {
            if (auto self = weak.lock())
                ((*self).*action)();
        };
        return item;
    };

    std::vector<MenuItem> items;
    items.push_back(disabledItem("Tavrelin — " + state_.headline()));
    if (state_.pairedHost())
        items.push_back(disabledItem("Backend: " + *state_.pairedHost()));
    items.push_back(MenuItem::separatorItem());

    switch (state_.health().kind) {
    case SyncState::Health::Kind::notPaired:
        items.push_back(disabledItem("Not paired with the extension yet"));
        items.push_back(actionItem("How to pair…", &StatusMenu::pairingHelp));
        break;
    case SyncState::Health::Kind::needsPermission:
        items.push_back(disabledItem("Tavrelin needs access to Reminders"));
        items.push_back(actionItem("Open Privacy & Security settings…", &StatusMenu::openRemindersSettings));
        break;
    default:
        for (const auto& module : modules_) {
            items.push_back(disabledItem(module->title()));
            items.push_back(disabledItem("   " + module->statusLine()));
            for (auto& item : module->menuItems()) {
                item.indentation = 1;
                items.push_back(std::move(item));
            }
        }
        items.push_back(MenuItem::separatorItem());
        items.push_back(actionItem("Check now", &StatusMenu::syncNow, "r"));
        break;
    }

    items.push_back(MenuItem::separatorItem());
    items.push_back(disabledItem("Version " + appInfo_.version() + " · " + (updateSummary ? updateSummary() : "")));
    items.push_back(actionItem("Check for Updates…", &StatusMenu::checkForUpdates));
    items.push_back(MenuItem::separatorItem());
    if (state_.pairedHost())
        items.push_back(actionItem("Unpair this Mac…", &StatusMenu::unpair));
    if (auto on = startsAtLogin ? startsAtLogin() : std::nullopt) {
        MenuItem item = actionItem(std::string(installWords::startAtLogin), &StatusMenu::toggleStartAtLogin);
        item.checked = *on;
        items.push_back(std::move(item));
    }
    items.push_back(actionItem("Quit Tavrelin", &StatusMenu::quit, "q"));
    return items;
}

void StatusMenu::syncNow() {
    if (onSyncNow)
        onSyncNow();
}

void StatusMenu::pairingHelp() {
    if (onPairingHelp)
        onPairingHelp();
}

void StatusMenu::openRemindersSettings() {
    if (onOpenRemindersSettings)
        onOpenRemindersSettings();
}

void StatusMenu::checkForUpdates() {
    if (onCheckForUpdates)
        onCheckForUpdates();
}

void StatusMenu::unpair() {
    platform::Alert alert;
    alert.style = platform::AlertStyle::warning;
    alert.title = "Unpair this Mac?";
    alert.text = "Tavrelin will stop collecting reminders on this Mac. Anything already queued stays on the server and will "
                 "arrive when you pair again.\n\nReminders already in your Reminders app are not touched.";
    alert.buttons = {"Unpair", "Cancel"};
    if (dialogs_.run(alert) == platform::firstButton && onUnpair)
        onUnpair();
}

void StatusMenu::toggleStartAtLogin() {
    if (auto on = startsAtLogin ? startsAtLogin() : std::nullopt; on && onStartAtLogin)
        onStartAtLogin(!*on);
}

void StatusMenu::quit() {
    if (onQuit)
        onQuit();
}

} // namespace tavrelin
