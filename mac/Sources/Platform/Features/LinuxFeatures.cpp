// A Linux desktop: autostart entries, task lists in more than one place that
// a person may not know of yet, and task lists on a CalDAV server.
#include "Platform/Features.h"

namespace tavrelin::platform {

const Features buildFeatures{.startAtLoginInMenu = true,
                             .remindersPlaceInMenu = true,
                             .createListInMenu = true,
                             .showOnReopen = true,
                             .serverAccounts = true};

} // namespace tavrelin::platform
