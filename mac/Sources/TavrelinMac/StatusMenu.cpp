#include "TavrelinMac/StatusMenu.h"

#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/MenuBarIcon.h"
#include "TavrelinMac/Words.h"

namespace tavrelin {

using platform::MenuItem;

namespace {

MenuItem disabledItem(std::string id, std::string title) {
    MenuItem item;
    item.id = std::move(id);
    item.title = std::move(title);
    return item;
}

constexpr double spinnerPeriod = 1.0 / 12;
constexpr double spinnerStep = 24;

} // namespace

std::shared_ptr<StatusMenu> StatusMenu::create(platform::StatusBar& statusBar, platform::MainLoop& mainLoop,
                                               const AppInfo& appInfo, DialogGate& dialogs, SyncState& state,
                                               std::vector<std::shared_ptr<DeliveryModule>> modules,
                                               std::function<platform::RemindersPlace()> place) {
    std::shared_ptr<StatusMenu> menu(
        new StatusMenu(statusBar, mainLoop, appInfo, dialogs, state, std::move(modules), std::move(place)));
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
                       DialogGate& dialogs, SyncState& state, std::vector<std::shared_ptr<DeliveryModule>> modules,
                       std::function<platform::RemindersPlace()> place)
    : mainLoop_(mainLoop), appInfo_(appInfo), dialogs_(dialogs), statusItem_(statusBar.makeStatusItem()), state_(state),
      modules_(std::move(modules)), place_(std::move(place)) {}

void StatusMenu::refreshButton() {
    if (!statusItem_->hasButton())
        return;
    statusItem_->setImage(MenuBarIcon::image(state_.health(), spinnerAngle_));
    statusItem_->setToolTip(words::menu::header(state_.headline()));
    // A spinner nobody sees would only wake the agent twelve times a second.
    if (state_.health().kind == SyncState::Health::Kind::working && statusItem_->showsImages())
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
    auto actionItem = [&weak](std::string id, std::string title, void (StatusMenu::*action)(), std::string key = {}) {
        MenuItem item;
        item.id = std::move(id);
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
    items.push_back(disabledItem("headline", words::menu::header(state_.headline())));
    if (state_.pairedHost())
        items.push_back(disabledItem("backend", words::menu::backend(*state_.pairedHost())));
    items.push_back(MenuItem::separatorItem("-header"));

    switch (state_.health().kind) {
    case SyncState::Health::Kind::notPaired:
        items.push_back(disabledItem("notPaired", words::menu::notPaired()));
        items.push_back(actionItem("pairingHelp", words::menu::howToPair(), &StatusMenu::pairingHelp));
        break;
    case SyncState::Health::Kind::needsPermission:
        if (state_.needsSignIn() && onSignInAgain) {
            items.push_back(disabledItem("needsSignIn", words::account::needsSignIn(place_())));
            if (auto busy = signingIn ? signingIn() : std::nullopt)
                items.push_back(disabledItem("signingIn", words::account::signingIn(*busy)));
            else
                items.push_back(actionItem("signInAgain", words::account::signInAgain(place_()), &StatusMenu::signInAgain));
            break;
        }
        items.push_back(disabledItem("needsPermission", words::menu::needsAccess(place_())));
        items.push_back(
            actionItem("openRemindersSettings", words::menu::openAccessSettings(place_()), &StatusMenu::openRemindersSettings));
        break;
    default:
        for (const auto& module : modules_) {
            // The module's own ids are unique within its section.
            const std::string section = module->id();
            items.push_back(disabledItem(section, module->title()));
            items.push_back(disabledItem(section + "/status", "   " + module->statusLine()));
            for (auto& item : module->menuItems()) {
                item.id = section + "/" + item.id;
                item.indentation += 1; // under the module's title
                items.push_back(std::move(item));
            }
        }
        items.push_back(MenuItem::separatorItem("-modules"));
        items.push_back(actionItem("syncNow", words::menu::checkNow(), &StatusMenu::syncNow, "r"));
        break;
    }

    items.push_back(MenuItem::separatorItem("-version"));
    items.push_back(disabledItem("version", words::menu::version(appInfo_.version(), updateSummary ? updateSummary() : "")));
    items.push_back(actionItem("checkForUpdates", words::menu::checkForUpdates(), &StatusMenu::checkForUpdates));
    items.push_back(MenuItem::separatorItem("-quit"));
    if (state_.pairedHost())
        items.push_back(actionItem("unpair", words::menu::unpair(), &StatusMenu::unpair));
    if (auto on = startsAtLogin ? startsAtLogin() : std::nullopt) {
        MenuItem item = actionItem("startAtLogin", words::install::startAtLogin(), &StatusMenu::toggleStartAtLogin);
        item.checked = *on;
        items.push_back(std::move(item));
    }
    items.push_back(actionItem("quit", words::menu::quit(), &StatusMenu::quit, "q"));
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

void StatusMenu::signInAgain() {
    if (onSignInAgain)
        onSignInAgain();
}

void StatusMenu::checkForUpdates() {
    if (onCheckForUpdates)
        onCheckForUpdates();
}

void StatusMenu::unpair() {
    platform::Alert alert;
    alert.style = platform::AlertStyle::warning;
    alert.title = words::menu::unpairTitle();
    alert.text = words::menu::unpairText(place_());
    alert.buttons = {words::menu::unpairButton(), words::cancel()};
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
