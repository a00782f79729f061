#pragma once

#include "Platform/Eds/EdsTaskLists.h"

#include <functional>
#include <string>
#include <string_view>

namespace tavrelin::eds {

enum class RemindersBackend { vdir, eds };

struct RemindersBackendChoice {
    RemindersBackend backend;
    std::string reason; // for the log
};

// Reads the `remindersBackend` setting: "vdir", "eds", or "auto" (also when
// absent or unknown). Auto takes Evolution Data Server when its registry
// answers and holds at least one task list, else the vdir; only auto asks
// `eds`, which gives the task lists when first called.
RemindersBackendChoice chooseRemindersBackend(std::string_view setting, const std::function<const EdsTaskLists&()>& eds);

} // namespace tavrelin::eds
