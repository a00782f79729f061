#pragma once

#include "Platform/Application.h"
#include "TavrelinMac/DeliveryModule.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/RemindersModule.h"
#include "TavrelinMac/Services.h"
#include "TavrelinMac/StatusMenu.h"
#include "TavrelinMac/SyncState.h"
#include "TavrelinMac/Updater.h"
#include "TavrelinMac/Url.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin {

// The application shell: owns every long-lived object, wires them at launch
// in a fixed order, takes pairing links, and stops delivery on unpairing and
// quitting. Main thread only. Held by a shared_ptr: the menu's callbacks hold
// it weakly.
class AppDelegate final : public platform::ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    // Builds the fields only: starts nothing, reads no file, logs nothing.
    // `updateRun` is the update pipeline the updater runs off the main thread.
    AppDelegate(Services& services, std::unique_ptr<PairingStore> pairingStore, Updater::Run updateRun);
    ~AppDelegate() override;

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    void handleGetURL(const std::optional<std::string>& directObject) override;

    bool anotherInstanceIsRunning() const;
    void unpair();

    // Pairing links.
    void handle(const Url& url);
    bool confirmFirstPair(const Pairing& incoming);
    bool confirmReplace(const Pairing& existing, const Pairing& incoming);
    void notifyPaired(const Pairing& pairing);
    void showPairingHelp();
    static void openRemindersPrivacySettings(platform::Workspace& workspace);

    // Install location and welcome.
    // True: a copy in /Applications is being opened and termination has been
    // requested, so launch must stop at once.
    bool offerMoveToApplicationsIfSensible();
    void showWelcome();

    // Read-only views for tests.
    const SyncState& syncState() const { return state_; }
    const std::vector<std::shared_ptr<DeliveryModule>>& modules() const { return modules_; }
    RemindersModule* remindersModule() const { return reminders_.get(); }
    StatusMenu* statusMenu() const { return menu_.get(); }
    const Updater& updater() const { return *updater_; }
    const std::optional<Url>& pendingPairURL() const { return pendingPairURL_; }
    bool isReady() const { return isReady_; }

    static constexpr const char* hasShownWelcomeKey = "com.tavrelin.mac.hasShownWelcome";
    static constexpr const char* declinedMoveKey = "com.tavrelin.mac.declinedMoveToApplications";

private:
    int runAlert(const platform::Alert& alert);
    void reject(const std::string& description, const Url& link);
    void installMenuCallbacks();
    // Copies the bundle into place without ever leaving the destination
    // half-written. Throws on failure, having cleaned up after itself.
    void copyBundleInto(const std::string& source, const std::string& destination);

    Services& services_;
    // Declaration order matters: the menu and the module refer to the state,
    // so they are destroyed before it.
    SyncState state_;
    std::unique_ptr<PairingStore> pairingStore_;
    std::shared_ptr<RemindersModule> reminders_;
    std::vector<std::shared_ptr<DeliveryModule>> modules_;
    std::shared_ptr<StatusMenu> menu_;
    std::shared_ptr<Updater> updater_;
    std::optional<Url> pendingPairURL_;
    bool isReady_ = false;
};

} // namespace tavrelin
