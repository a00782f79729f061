#pragma once

#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Files.h"
#include "Platform/Linux/Eds/EdsTaskLists.h"
#include "Platform/RemindersPlaces.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Platform/Workspace.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::eds {

// The places of a Linux computer: the task-list folder (a vdir), always;
// Evolution Data Server's task lists where something on the session bus owns
// or starts its registry; and the task lists of one account on a CalDAV
// server, once one is set up. The setting `remindersBackend` says which one
// is in use: "vdir", "eds", "caldav", or "auto" (also when absent), which
// follows the desktop (chooseRemindersBackend). A place chosen from the menu
// is stored there as "vdir", "eds" or "caldav", so later launches keep it.
// The CalDAV account is the settings `caldavServer` and `caldavUser`; its
// password is in the keyring only. Evolution Data Server's libraries are
// loaded only once its task lists are asked for.
//
// settle() and signIn() may run on another thread than the rest: the calls
// take turns on a lock, which no call holds while it waits for a server.
class LinuxRemindersPlaces final : public platform::RemindersPlaces {
public:
    static constexpr const char* settingKey = "remindersBackend";
    static constexpr const char* serverKey = "caldavServer";
    static constexpr const char* userKey = "caldavUser";

    // What the places are made from.
    struct Sources {
        std::string folder;         // the vdir's root
        std::string currentDesktop; // XDG_CURRENT_DESKTOP
        // Evolution Data Server's task lists (its module), asked for once.
        std::function<std::unique_ptr<EdsTaskLists>()> loadEds;
        // Why nothing on the session bus can answer for Evolution Data
        // Server's registry; none when something owns or starts it. Asked
        // by settle(), without loading its libraries.
        std::function<std::optional<std::string>()> edsMissing;
        // The task lists of an account on a CalDAV server; throws
        // caldav::CalDavSetupError for an address or a user it cannot use.
        // None: no CalDAV place on this computer.
        using CalDavMaker =
            std::function<std::unique_ptr<caldav::CalDavRemindersDatabase>(const std::string& server, const std::string& user)>;
        CalDavMaker makeCalDav = {};
    };

    // `defaults` and `files` must outlive this. Settings are read and
    // written from the threads settle() and the rest run on.
    LinuxRemindersPlaces(platform::UserDefaults& defaults, platform::Files& files, Sources sources);

    // Told the kind of the place put in use: by settle(), off the main
    // thread, then by every choice.
    std::function<void(platform::RemindersPlace::Kind)> onChosen;

    std::string settle() override;
    std::vector<platform::RemindersPlace> available() const override;
    platform::RemindersPlace chosen() const override;
    platform::RemindersDatabase& database() override;
    void choose(platform::RemindersPlace::Kind kind) override;

    std::vector<platform::RemindersPlace::Kind> accountKinds() const override;
    std::optional<platform::RemindersAccount> account(platform::RemindersPlace::Kind kind) const override;
    platform::SignInAnswer signIn(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account,
                                  const std::string& password) override;
    void useAccount(platform::RemindersPlace::Kind kind, const platform::RemindersAccount& account) override;

    // The settings that make a CalDAV account the place in use, or that go
    // back to the automatic choice; for the command line, which a running
    // agent then asks to settle() again. `account` is stored as given.
    static void storeCalDav(platform::UserDefaults& defaults, const platform::RemindersAccount& account);
    static void storeAutomatic(platform::UserDefaults& defaults);

private:
    // Calls below hold mutex_.
    EdsTaskLists& edsTaskLists();
    vdir::VdirRemindersDatabase& folder();
    // The database for the account, made once and kept: a poll may still
    // use one that is no longer in use. Throws caldav::CalDavSetupError.
    caldav::CalDavRemindersDatabase& calDav(const platform::RemindersAccount& account);
    // The account in the settings, when both parts are there.
    std::optional<platform::RemindersAccount> storedAccount() const;
    platform::RemindersPlace placeOf(platform::RemindersPlace::Kind kind) const;
    // Puts a place in use; tells onChosen once the lock is let go.
    void use(std::unique_lock<std::mutex>& lock, platform::RemindersPlace::Kind kind);

    platform::UserDefaults& defaults_;
    platform::Files& files_;
    Sources sources_;
    mutable std::mutex mutex_;
    std::optional<std::string> edsMissing_;
    std::unique_ptr<EdsTaskLists> eds_;
    std::unique_ptr<vdir::VdirRemindersDatabase> folder_;
    std::vector<std::unique_ptr<caldav::CalDavRemindersDatabase>> calDavs_; // every one made
    caldav::CalDavRemindersDatabase* calDav_ = nullptr;                     // the one set up
    platform::RemindersPlace::Kind chosen_ = platform::RemindersPlace::Kind::taskListFolder;
};

} // namespace tavrelin::eds
