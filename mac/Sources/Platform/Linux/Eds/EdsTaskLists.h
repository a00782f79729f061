#pragma once

#include "Platform/RemindersDatabase.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tavrelin::eds {

// What the source registry answered when asked.
struct EdsProbe {
    enum class Kind { answers, noBus, notAnswering };
    Kind kind = Kind::notAnswering;
    std::string problem;       // noBus, notAnswering: why, for the log
    std::size_t taskLists = 0; // answers: the enabled task lists
};

// The task lists of Evolution Data Server, as the agent sees them.
class EdsTaskLists : public platform::RemindersDatabase {
public:
    // Asks the registry, and counts its enabled task lists when it answers.
    virtual EdsProbe probe() const = 0;
};

// Evolution Data Server's client libraries are some twenty libraries and
// megabytes, so they live in a module of their own (edsModule in the
// bundle) that the agent loads only when its task lists may be there. The
// module answers a new EdsRemindersDatabase through this C entry point.
inline constexpr const char* edsModuleEntry = "tavrelin_eds_task_lists";
using EdsModuleEntry = EdsTaskLists*();
// The module's stamp of the agent build it belongs to, a C string: C++
// objects and exceptions cross into the module, so the agent calls nothing
// in a module whose stamp is not its own.
inline constexpr const char* edsModuleStamp = "tavrelin_eds_build_stamp";

// This build's stamp: its version, compiler, sanitizers, the interface that
// crosses into the module, and a value drawn once per build folder.
std::string_view agentBuildStamp();

// The bus name the source registry of libedataserver 3.x owns.
inline constexpr const char* registryBusName = "org.gnome.evolution.dataserver.Sources5";

// Task lists that never answer, saying `problem`: where the module cannot
// be loaded, or need not be because nothing could answer.
std::unique_ptr<EdsTaskLists> unreachableEdsTaskLists(std::string problem);

// Loads the module at `path` (it stays loaded: GLib's types cannot be
// unloaded). A module that cannot be loaded, or that another build of the
// agent made (`refused` then gets one line for the log, saying whose it is),
// gives task lists that never answer and say why, so the agent runs, and its
// log and menu tell, without Evolution Data Server's libraries.
std::unique_ptr<EdsTaskLists> loadEdsTaskLists(const std::string& path,
                                               const std::function<void(const std::string& line)>& refused);

} // namespace tavrelin::eds
