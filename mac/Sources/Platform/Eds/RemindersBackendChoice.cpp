#include "Platform/Eds/RemindersBackendChoice.h"

namespace tavrelin::eds {

RemindersBackendChoice chooseRemindersBackend(std::string_view setting, const platform::RemindersDatabase& eds) {
    if (setting == "vdir")
        return {RemindersBackend::vdir, "set to vdir"};
    if (setting == "eds")
        return {RemindersBackend::eds, "set to eds"};
    std::string how =
        setting.empty() || setting == "auto" ? "auto" : "unknown value “" + std::string(setting) + "”, taken as auto";
    switch (eds.authorizationStatus()) {
    case platform::RemindersAuthorization::fullAccess:
        break;
    case platform::RemindersAuthorization::notDetermined:
        return {RemindersBackend::vdir, how + ": no session bus"};
    default:
        return {RemindersBackend::vdir, how + ": the Evolution Data Server registry does not answer"};
    }
    auto lists = eds.lists().size();
    if (lists == 0)
        return {RemindersBackend::vdir, how + ": Evolution Data Server has no task list"};
    return {RemindersBackend::eds, how + ": Evolution Data Server answers with " + std::to_string(lists) +
                                       (lists == 1 ? " task list" : " task lists")};
}

} // namespace tavrelin::eds
