#pragma once

#include "Platform/MainLoop.h"
#include "Platform/RemindersDatabase.h"
#include "Platform/StatusItem.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/DeliveryModule.h"
#include "TavrelinMac/DialogGate.h"
#include "TavrelinMac/SyncState.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin {

// The status item: the drawn icon, its tool tip, the spinner, and the menu
// rebuilt each time it opens. Main thread only.
class StatusMenu : public std::enable_shared_from_this<StatusMenu> {
public:
    // Creates the status item, installs the menu and draws the button.
    static std::shared_ptr<StatusMenu> create(platform::StatusBar& statusBar, platform::MainLoop& mainLoop,
                                              const AppInfo& appInfo, DialogGate& dialogs, SyncState& state,
                                              std::vector<std::shared_ptr<DeliveryModule>> modules,
                                              std::function<platform::RemindersPlace()> place);

    std::function<void()> onSyncNow;
    std::function<void()> onUnpair;
    std::function<void()> onPairingHelp;
    std::function<void()> onOpenRemindersSettings;
    std::function<void()> onQuit;
    std::function<void()> onCheckForUpdates;
    std::function<std::string()> updateSummary;
    // Whether the agent starts at login; none leaves the switch out of the menu.
    std::function<std::optional<bool>()> startsAtLogin;
    std::function<void(bool on)> onStartAtLogin;
    // After the server refused the password of the place in use, the menu
    // offers to sign in again (none keeps the access lines); while
    // `signingIn` names a place being signed in to, it says so instead.
    std::function<void()> onSignInAgain;
    std::function<std::optional<platform::RemindersPlace>()> signingIn;

    void refreshButton();
    // The items of the menu as it is about to open.
    std::vector<platform::MenuItem> menuNeedsUpdate();

    // Menu actions.
    void syncNow();
    void pairingHelp();
    void openRemindersSettings();
    void signInAgain();
    void checkForUpdates();
    void unpair(); // asks first
    void toggleStartAtLogin();
    void quit();

    platform::StatusItem& statusItem() { return *statusItem_; }
    double spinnerAngle() const { return spinnerAngle_; }

private:
    StatusMenu(platform::StatusBar& statusBar, platform::MainLoop& mainLoop, const AppInfo& appInfo, DialogGate& dialogs,
               SyncState& state, std::vector<std::shared_ptr<DeliveryModule>> modules,
               std::function<platform::RemindersPlace()> place);
    void startSpinner();
    void stopSpinner();
    void spinnerFrame();

    platform::MainLoop& mainLoop_;
    const AppInfo& appInfo_;
    DialogGate& dialogs_;
    std::unique_ptr<platform::StatusItem> statusItem_;
    SyncState& state_;
    std::vector<std::shared_ptr<DeliveryModule>> modules_;
    std::function<platform::RemindersPlace()> place_; // where the reminders go, as the words name it
    double spinnerAngle_ = 90;
    std::unique_ptr<platform::Timer> spinnerTimer_;
};

} // namespace tavrelin
