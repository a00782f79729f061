#pragma once

#include "Platform/Files.h"
#include "Platform/Linux/Eds/EdsTaskLists.h"
#include "Platform/RemindersPlaces.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Platform/Workspace.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::eds {

// The places of a Linux computer: the task-list folder (a vdir), always, and
// Evolution Data Server's task lists where something on the session bus owns
// or starts its registry. The setting `remindersBackend` says which one is in
// use: "vdir", "eds", or "auto" (also when absent), which follows the desktop
// (chooseRemindersBackend). A place chosen from the menu is stored there as
// "vdir" or "eds", so later launches keep it. Evolution Data Server's
// libraries are loaded only once its task lists are asked for.
class LinuxRemindersPlaces final : public platform::RemindersPlaces {
public:
    static constexpr const char* settingKey = "remindersBackend";

    // What the places are made from.
    struct Sources {
        std::string folder;         // the vdir's root
        std::string currentDesktop; // XDG_CURRENT_DESKTOP
        // Evolution Data Server's task lists (its module), asked for once.
        std::function<std::unique_ptr<EdsTaskLists>()> loadEds;
        // Why nothing on the session bus can answer for Evolution Data
        // Server's registry; none when something owns or starts it. Asked
        // once, by settle(), without loading its libraries.
        std::function<std::optional<std::string>()> edsMissing;
    };

    // `defaults` and `files` must outlive this.
    LinuxRemindersPlaces(platform::UserDefaults& defaults, platform::Files& files, Sources sources);

    // Told the kind of the place put in use: by settle(), off the main
    // thread, then by every choose().
    std::function<void(platform::RemindersPlace::Kind)> onChosen;

    std::string settle() override;
    std::vector<platform::RemindersPlace> available() const override;
    platform::RemindersPlace chosen() const override;
    platform::RemindersDatabase& database() override;
    void choose(platform::RemindersPlace::Kind kind) override;

private:
    EdsTaskLists& edsTaskLists();
    vdir::VdirRemindersDatabase& folder();
    void use(platform::RemindersPlace::Kind kind);

    platform::UserDefaults& defaults_;
    platform::Files& files_;
    Sources sources_;
    std::optional<std::string> edsMissing_;
    std::unique_ptr<EdsTaskLists> eds_;
    std::unique_ptr<vdir::VdirRemindersDatabase> folder_;
    platform::RemindersPlace::Kind chosen_ = platform::RemindersPlace::Kind::taskListFolder;
};

} // namespace tavrelin::eds
