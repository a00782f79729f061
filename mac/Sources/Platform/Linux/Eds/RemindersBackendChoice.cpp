#include "Platform/Linux/Eds/RemindersBackendChoice.h"

#include "Base/Text.h"

#include <algorithm>
#include <array>

namespace tavrelin::eds {

bool desktopKeepsTasksInEds(std::string_view currentDesktop) {
    constexpr std::array<std::string_view, 3> desktops{"GNOME", "Unity", "Pantheon"};
    while (!currentDesktop.empty()) {
        const std::size_t colon = std::min(currentDesktop.find(':'), currentDesktop.size());
        const std::string_view name = currentDesktop.substr(0, colon);
        if (std::any_of(desktops.begin(), desktops.end(),
                        [&](std::string_view desktop) { return text::equalsIgnoringAsciiCase(name, desktop); }))
            return true;
        currentDesktop.remove_prefix(std::min(colon + 1, currentDesktop.size()));
    }
    return false;
}

RemindersBackendChoice chooseRemindersBackend(std::string_view setting, std::string_view currentDesktop,
                                              const std::function<const EdsTaskLists&()>& eds) {
    if (setting == "vdir")
        return {RemindersBackend::vdir, "set to vdir"};
    if (setting == "eds")
        return {RemindersBackend::eds, "set to eds"};
    std::string how =
        setting.empty() || setting == "auto" ? "auto" : "unknown value “" + std::string(setting) + "”, taken as auto";
    if (!desktopKeepsTasksInEds(currentDesktop))
        return {RemindersBackend::vdir, how + ": " +
                                            (currentDesktop.empty() ? std::string("XDG_CURRENT_DESKTOP names no desktop")
                                                                    : "the desktop " + std::string(currentDesktop) +
                                                                          " keeps no tasks in Evolution Data Server")};
    const EdsProbe probe = eds().probe();
    if (probe.kind != EdsProbe::Kind::answers)
        return {RemindersBackend::vdir, how + ": " + probe.problem};
    if (probe.taskLists == 0)
        return {RemindersBackend::vdir, how + ": Evolution Data Server has no task list"};
    return {RemindersBackend::eds, how + " on " + std::string(currentDesktop) + ": its registry answers with " +
                                       std::to_string(probe.taskLists) + (probe.taskLists == 1 ? " task list" : " task lists")};
}

} // namespace tavrelin::eds
