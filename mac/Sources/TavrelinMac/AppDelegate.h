#pragma once

#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/Clock.h"
#include "Platform/Dialogs.h"
#include "Platform/Features.h"
#include "Platform/Files.h"
#include "Platform/Http.h"
#include "Platform/LoginItems.h"
#include "Platform/MainLoop.h"
#include "Platform/RemindersPlaces.h"
#include "Platform/StatusItem.h"
#include "Platform/Workspace.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/DeliveryModule.h"
#include "TavrelinMac/DialogGate.h"
#include "TavrelinMac/InstallLocation.h"
#include "TavrelinMac/LoginItem.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/PairingLinks.h"
#include "TavrelinMac/RemindersModule.h"
#include "TavrelinMac/StatusMenu.h"
#include "TavrelinMac/SyncState.h"
#include "TavrelinMac/Updater.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin {

// The application shell: owns every long-lived object, wires them at launch
// in a fixed order, and stops delivery on unpairing and quitting. The
// pairing-link and install-location flows are units of their own that it
// owns. Main thread only. Held by a shared_ptr: callbacks hold it weakly.
class AppDelegate final : public platform::ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    // What the shell builds its parts from.
    struct Platform {
        platform::MainLoop& mainLoop;
        const platform::Clock& clock;
        platform::Application& application;
        platform::Dialogs& dialogs;
        platform::StatusBar& statusBar;
        platform::Workspace& workspace;
        platform::UserDefaults& defaults;
        platform::Files& files;
        platform::Http& http;
        const platform::Bundle& bundle;
        // Settled once per launch, off the main thread.
        platform::RemindersPlaces& reminders;
        const AppInfo& appInfo;
        // The desktop's login and link entries; none where the agent keeps none.
        platform::LoginItems* loginItems = nullptr;
        // What the menu offers beyond the product's own.
        platform::Features features{};
    };

    // Builds the fields only: starts nothing, reads no file, logs nothing.
    // `updateRun` is the update pipeline the updater runs off the main thread.
    AppDelegate(Platform platform, std::unique_ptr<PairingStore> pairingStore, Updater::Run updateRun);
    ~AppDelegate() override;

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    void handleGetURL(const std::optional<std::string>& directObject) override;
    // Started again while it runs: the menu at the icon, or a dialog saying
    // where the agent is, where the platform offers it.
    void applicationShouldHandleReopen() override;

    bool anotherInstanceIsRunning() const;
    void unpair();
    void showWelcome();
    // From the menu, each after a confirmation naming the place.
    void usePlace(const platform::RemindersPlace& place);
    void createList(const std::string& name);
    // From the menu: asks for a server, a user name and a password, signs in
    // off the main thread, and files there once the server took the
    // password; a refusal or a failure is said and changes nothing.
    void setUpAccount();
    // From the menu, once the server refused the password of the place in
    // use: asks for the password again and signs in with it.
    void signInAgain();
    // Another process changed the stored choice of place (the command
    // line): it is decided again off the main thread, and delivery follows.
    void placeChangedElsewhere();

    // For `--status` from another process: what the menu shows.
    const SyncState& syncState() const { return state_; }

    static constexpr const char* hasShownWelcomeKey = "com.tavrelin.mac.hasShownWelcome";

private:
    // Launch from the module on, once the places are settled.
    void finishLaunching(const std::string& backend);
    void installMenuCallbacks();
    // Where the reminders go, for the words that name it. Nothing that names
    // it is shown before launch has settled it.
    platform::RemindersPlace remindersPlace() const { return reminders_ ? reminders_->place() : platform::RemindersPlace{}; }
    // Tries the password off the main thread (one sign-in at a time); the
    // password is wiped once tried.
    void signIn(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account, std::string password);
    void finishSignIn(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account,
                      const platform::SignInAnswer& answer);
    void refreshMenu();

    Platform platform_;
    // Declaration order matters: the menu and the module refer to the state
    // and the gate, so they are destroyed before them.
    SyncState state_;
    DialogGate dialogs_;
    std::unique_ptr<PairingStore> pairingStore_;
    PairingLinks links_;
    InstallLocation installLocation_;
    std::shared_ptr<RemindersModule> reminders_;
    std::vector<std::shared_ptr<DeliveryModule>> modules_;
    std::shared_ptr<StatusMenu> menu_;
    std::shared_ptr<Updater> updater_;
    std::shared_ptr<LoginItem> loginItem_;
    // A start while launch was still under way, answered once it is done.
    bool reopenWaiting_ = false;
    // The place a sign-in is asking its server about, while it does.
    std::optional<platform::RemindersPlace> signingIn_;
    // Deciding the place again: running, asked for again meanwhile, asked
    // for before launch had a module.
    bool resettling_ = false;
    bool resettleAgain_ = false;
    bool resettleAfterLaunch_ = false;
};

} // namespace tavrelin
