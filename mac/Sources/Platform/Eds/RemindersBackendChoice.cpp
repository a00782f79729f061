#include "Platform/Eds/RemindersBackendChoice.h"

namespace tavrelin::eds {

RemindersBackendChoice chooseRemindersBackend(std::string_view setting, const std::function<const EdsTaskLists&()>& eds) {
    if (setting == "vdir")
        return {RemindersBackend::vdir, "set to vdir"};
    if (setting == "eds")
        return {RemindersBackend::eds, "set to eds"};
    std::string how =
        setting.empty() || setting == "auto" ? "auto" : "unknown value “" + std::string(setting) + "”, taken as auto";
    const EdsProbe probe = eds().probe();
    if (probe.kind != EdsProbe::Kind::answers)
        return {RemindersBackend::vdir, how + ": " + probe.problem};
    if (probe.taskLists == 0)
        return {RemindersBackend::vdir, how + ": Evolution Data Server has no task list"};
    return {RemindersBackend::eds, how + ": its registry answers with " + std::to_string(probe.taskLists) +
                                       (probe.taskLists == 1 ? " task list" : " task lists")};
}

} // namespace tavrelin::eds
