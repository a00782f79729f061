#pragma once

#include "Platform/Linux/Eds/EdsTaskLists.h"

#include <functional>
#include <string>
#include <string_view>

namespace tavrelin::eds {

enum class RemindersBackend { vdir, eds };

struct RemindersBackendChoice {
    RemindersBackend backend;
    std::string reason; // for the log
};

// Whether the desktop named by XDG_CURRENT_DESKTOP (a colon-separated list,
// any case) keeps its people's tasks in Evolution Data Server: its own task
// and calendar apps read them there. GNOME and the desktops that name GNOME
// among theirs (ubuntu:GNOME, Budgie:GNOME, GNOME-Flashback:GNOME), Unity and
// Pantheon do. XFCE, LXQt, LXDE, MATE, Cinnamon and KDE (Akonadi) do not,
// whether or not Evolution Data Server is installed, and neither does a bare
// window manager: their people's task tools (todoman, khal, vdirsyncer) read
// the task-list folder.
bool desktopKeepsTasksInEds(std::string_view currentDesktop);

// Reads the `remindersBackend` setting: "vdir", "eds", or "auto" (also when
// absent or unknown). Auto takes Evolution Data Server on a desktop that
// keeps its tasks there, when its registry answers and holds at least one
// task list; else the vdir. Only auto on such a desktop asks `eds`, which
// gives the task lists when first called.
RemindersBackendChoice chooseRemindersBackend(std::string_view setting, std::string_view currentDesktop,
                                              const std::function<const EdsTaskLists&()>& eds);

} // namespace tavrelin::eds
