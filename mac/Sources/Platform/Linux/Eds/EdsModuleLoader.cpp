#include "Platform/Linux/Eds/EdsTaskLists.h"

#include <cstring>
#include <dlfcn.h>

namespace tavrelin::eds {

namespace {

using platform::RemindersError;

// Far more than a stamp of ours takes.
constexpr std::size_t maxStampBytes = 1024;

// Stands in for Evolution Data Server as a registry that does not answer.
class UnreachableTaskLists final : public EdsTaskLists {
public:
    explicit UnreachableTaskLists(std::string problem) : problem_(std::move(problem)) {}
    EdsProbe probe() const override { return {EdsProbe::Kind::notAnswering, problem_, 0}; }
    platform::RemindersPlace place() const override { return {platform::RemindersPlace::Kind::evolutionDataServer, {}}; }
    platform::RemindersAuthorization authorizationStatus() const override {
        return platform::RemindersAuthorization::notDetermined;
    }
    platform::RemindersAccessAnswer requestFullAccess() override { throw RemindersError(problem_); }
    std::vector<platform::ReminderList> lists() const override { throw RemindersError(problem_); }
    std::string save(const platform::NewReminder&) override { throw RemindersError(problem_); }
    std::optional<platform::SavedReminder> reminder(const std::string&) const override { throw RemindersError(problem_); }
    platform::ReminderList createList(const std::string&) override { throw RemindersError(problem_); }

private:
    std::string problem_;
};

} // namespace

std::unique_ptr<EdsTaskLists> unreachableEdsTaskLists(std::string problem) {
    return std::make_unique<UnreachableTaskLists>(std::move(problem));
}

std::string_view agentBuildStamp() {
    return TAVRELIN_BUILD_STAMP;
}

std::unique_ptr<EdsTaskLists> loadEdsTaskLists(const std::string& path,
                                               const std::function<void(const std::string& line)>& refused) {
    // Local: the module's copies of our own code stay its own.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module) {
        // Read, never trusted to end: a module of another build may hold anything there.
        const auto* stamp = static_cast<const char*>(dlsym(module, edsModuleStamp));
        const std::string_view theirs = stamp ? std::string_view(stamp, strnlen(stamp, maxStampBytes)) : std::string_view();
        if (theirs != agentBuildStamp()) {
            const std::string line = "refused Evolution Data Server's module " + path + ": it belongs to agent build " +
                                     (stamp ? "“" + std::string(theirs) + "”" : "unknown (it carries no stamp)") +
                                     ", this is build “" + std::string(agentBuildStamp()) + "”";
            dlclose(module); // `theirs` is gone with it
            refused(line);
            return unreachableEdsTaskLists("Evolution Data Server's module belongs to another build of the agent");
        }
    }
    void* entry = module ? dlsym(module, edsModuleEntry) : nullptr;
    if (!entry) {
        const char* error = dlerror();
        const std::string why = error ? error : path;
        if (module)
            dlclose(module);
        return unreachableEdsTaskLists("Evolution Data Server's module cannot be loaded: " + why);
    }
    return std::unique_ptr<EdsTaskLists>(reinterpret_cast<EdsModuleEntry*>(entry)());
}

} // namespace tavrelin::eds
