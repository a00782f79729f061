#include "Platform/Mac/MacUpdateSystem.h"
#include "Platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavrelin::mac {
namespace {

// Accepts only code signed through Apple's developer programme by our team.
constexpr const char* designatedRequirement = "anchor apple generic and certificate leaf[subject.OU] = \"T4KX7RQ2MZ\"";

} // namespace

std::string MacUpdateSystem::feedPath() const {
    return "/downloads/mac-version.json";
}

void MacUpdateSystem::mustRun(const platform::ToolCommand& command) {
    platform::ProcessResult result = processes_.run(command.program, command.arguments);
    if (result.status != 0)
        throw platform::FileError(command.program + ": " + result.output);
}

void MacUpdateSystem::unpack(const std::string& archive, const std::string& folder, const platform::UnpackLimits&) {
    platform::ProcessResult result = processes_.run("/usr/bin/ditto", {"-x", "-k", archive, folder});
    if (result.status != 0)
        throw platform::UnpackError(result.output);
}

platform::ToolCommand MacUpdateSystem::signatureCheck(const std::string&, const std::string& newBundle) const {
    return {"/usr/bin/codesign", {"--verify", "--deep", "--strict", std::string("-R=") + designatedRequirement, newBundle}};
}

platform::ToolCommand MacUpdateSystem::runCheck(const std::string& newBundle) const {
    return {"/usr/sbin/spctl", {"--assess", "--type", "execute", newBundle}};
}

std::optional<std::string> MacUpdateSystem::runCheckAnswer(const std::string&) const {
    return std::nullopt;
}

std::optional<platform::ToolCommand> MacUpdateSystem::quarantineRemoval(const std::string& newBundle) const {
    return platform::ToolCommand{"/usr/bin/xattr", {"-dr", "com.apple.quarantine", newBundle}};
}

void MacUpdateSystem::place(const std::string& bundle, const std::string& destination) {
    mustRun({"/bin/rm", {"-rf", destination}});
    if (std::rename(bundle.c_str(), destination.c_str()) != 0) {
        if (errno != EXDEV)
            throw platform::FileError("Could not move “" + bundle + "” to “" + destination + "”: " + std::strerror(errno));
        try {
            mustRun({"/usr/bin/ditto", {bundle, destination}});
        } catch (const platform::FileError&) {
            processes_.run("/bin/rm", {"-rf", destination}); // no half copy; the copy's error is the one to report
            throw;
        }
    }
    mustRun({"/bin/sync", {}});
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
