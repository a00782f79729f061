#include "Platform/Mac/MacUpdateSystem.h"

namespace tavrelin::mac {
namespace {

// Accepts only code signed through Apple's developer programme by our team.
constexpr const char* designatedRequirement = "anchor apple generic and certificate leaf[subject.OU] = \"T4KX7RQ2MZ\"";

// How long each tool may take before it is killed. codesign digests the
// bundle (seconds for ours); spctl may ask Apple's notary service over the
// network; ditto writes at most the archive's 512 MiB unpacked.
constexpr std::chrono::seconds checkDeadline{60};
constexpr std::chrono::seconds assessDeadline{120};
constexpr std::chrono::seconds unpackDeadline{600};
constexpr std::chrono::seconds fileToolDeadline{120};

} // namespace

std::string MacUpdateSystem::feedPath() const {
    return "/downloads/mac-version.json";
}

void MacUpdateSystem::unpack(const std::string& archive, const std::string& folder, const platform::UnpackLimits&) {
    platform::ProcessResult result = processes_.run("/usr/bin/ditto", {"-x", "-k", archive, folder}, unpackDeadline);
    if (result.status != 0)
        throw platform::UnpackError(result.output);
}

platform::ToolCommand MacUpdateSystem::signatureCheck(const std::string&, const std::string& newBundle) const {
    return {"/usr/bin/codesign",
            {"--verify", "--deep", "--strict", std::string("-R=") + designatedRequirement, newBundle},
            checkDeadline};
}

platform::ToolCommand MacUpdateSystem::runCheck(const std::string& newBundle) const {
    return {"/usr/sbin/spctl", {"--assess", "--type", "execute", newBundle}, assessDeadline};
}

bool MacUpdateSystem::runCheckPrintsVersion() const {
    return false;
}

std::optional<platform::ToolCommand> MacUpdateSystem::quarantineRemoval(const std::string& newBundle) const {
    return platform::ToolCommand{"/usr/bin/xattr", {"-dr", "com.apple.quarantine", newBundle}, fileToolDeadline};
}

platform::ToolCommand MacUpdateSystem::reopenCommand(const std::string& bundle) const {
    return {"/usr/bin/open", {bundle}};
}

platform::ToolCommand MacUpdateSystem::flushCommand(const std::string&) const {
    return {"/bin/sync", {}};
}

void MacUpdateSystem::launchScript(const std::string& script) {
    processes_.launchDetached("/bin/sh", {"-c", script});
}

} // namespace tavrelin::mac
