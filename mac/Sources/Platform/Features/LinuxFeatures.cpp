// A Linux desktop: autostart entries, and task lists in more than one place
// that a person may not know of yet.
#include "Platform/Features.h"

namespace tavrelin::platform {

const Features buildFeatures{
    .startAtLoginInMenu = true, .remindersPlaceInMenu = true, .createListInMenu = true, .showOnReopen = true};

} // namespace tavrelin::platform
