#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"

#include "Platform/Linux/Eds/RemindersBackendChoice.h"

namespace tavrelin::eds {

using Kind = platform::RemindersPlace::Kind;

LinuxRemindersPlaces::LinuxRemindersPlaces(platform::UserDefaults& defaults, platform::Files& files, Sources sources)
    : defaults_(defaults), files_(files), sources_(std::move(sources)) {}

std::string LinuxRemindersPlaces::settle() {
    edsMissing_ = sources_.edsMissing();
    // Where nothing could answer for the registry, its libraries stay unloaded.
    const RemindersBackendChoice choice = chooseRemindersBackend(defaults_.stringForKey(settingKey).value_or(""),
                                                                 sources_.currentDesktop, [this]() -> const EdsTaskLists& {
                                                                     if (!eds_ && edsMissing_)
                                                                         eds_ = unreachableEdsTaskLists(*edsMissing_);
                                                                     return edsTaskLists();
                                                                 });
    if (choice.backend == RemindersBackend::eds) {
        use(Kind::evolutionDataServer);
        return "Evolution Data Server (" + choice.reason + ")";
    }
    use(Kind::taskListFolder);
    return "vdir " + folder().root() + " (" + choice.reason + ")";
}

std::vector<platform::RemindersPlace> LinuxRemindersPlaces::available() const {
    std::vector<platform::RemindersPlace> places{{Kind::taskListFolder, sources_.folder}};
    if (!edsMissing_ || chosen_ == Kind::evolutionDataServer)
        places.push_back({Kind::evolutionDataServer, {}});
    return places;
}

platform::RemindersPlace LinuxRemindersPlaces::chosen() const {
    if (chosen_ == Kind::evolutionDataServer)
        return {Kind::evolutionDataServer, {}};
    return {Kind::taskListFolder, sources_.folder};
}

platform::RemindersDatabase& LinuxRemindersPlaces::database() {
    if (chosen_ == Kind::evolutionDataServer)
        return edsTaskLists();
    return folder();
}

void LinuxRemindersPlaces::choose(Kind kind) {
    if (kind != Kind::evolutionDataServer && kind != Kind::taskListFolder)
        return; // no such place here
    defaults_.setString(settingKey, kind == Kind::evolutionDataServer ? "eds" : "vdir");
    use(kind);
}

void LinuxRemindersPlaces::use(Kind kind) {
    chosen_ = kind;
    database(); // made now, so answering it later never loads anything
    if (onChosen)
        onChosen(kind);
}

EdsTaskLists& LinuxRemindersPlaces::edsTaskLists() {
    if (!eds_)
        eds_ = sources_.loadEds();
    return *eds_;
}

vdir::VdirRemindersDatabase& LinuxRemindersPlaces::folder() {
    if (!folder_)
        folder_ = std::make_unique<vdir::VdirRemindersDatabase>(sources_.folder, files_);
    return *folder_;
}

} // namespace tavrelin::eds
