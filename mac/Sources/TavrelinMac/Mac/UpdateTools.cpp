// The macOS tools of the update pipeline.
#include "TavrelinMac/UpdateTools.h"

namespace tavrelin::updatetools {
namespace {

// Accepts only code signed through Apple's developer programme by our team.
constexpr const char* designatedRequirement = "anchor apple generic and certificate leaf[subject.OU] = \"T4KX7RQ2MZ\"";

} // namespace

const std::string_view feedPath = "/downloads/mac-version.json";

ShellResult unpack(platform::Processes& processes, platform::Files&, const std::string& archive, const std::string& folder) {
    return shell(processes, "/usr/bin/ditto", {"-x", "-k", archive, folder});
}

ShellResult verifySignature(platform::Processes& processes, const std::string&, const std::string& newBundle) {
    return shell(processes, "/usr/bin/codesign",
                 {"--verify", "--deep", "--strict", std::string("-R=") + designatedRequirement, newBundle});
}

ShellResult assessRuns(platform::Processes& processes, const std::string& newBundle, const std::string&) {
    return shell(processes, "/usr/sbin/spctl", {"--assess", "--type", "execute", newBundle});
}

void removeQuarantine(platform::Processes& processes, const std::string& newBundle) {
    shell(processes, "/usr/bin/xattr", {"-dr", "com.apple.quarantine", newBundle});
}

std::string reopenCommand(const std::string& bundle) {
    return "/usr/bin/open " + quoted(bundle);
}

} // namespace tavrelin::updatetools
