// The Mac: login items are the system's, reminders go to Apple Reminders,
// and lists are made there.
#include "Platform/Features.h"

namespace tavrelin::platform {

const Features buildFeatures{};

} // namespace tavrelin::platform
