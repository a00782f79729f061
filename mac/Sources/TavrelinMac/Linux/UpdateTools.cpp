// The Linux stand-ins for the macOS tools of the update pipeline.
#include "TavrelinMac/UpdateTools.h"
#include "Platform/BundleLayout.h"

namespace tavrelin::updatetools {
namespace {

// Long enough for a cold start on a loaded machine, short enough that a new
// build that hangs cannot hold up the check.
constexpr const char* probeSeconds = "15";

} // namespace

// A Linux agent must never fetch a macOS archive.
const std::string_view feedPath = "/downloads/linux-version.json";

ShellResult unpack(platform::Processes& processes, platform::Files& files, const std::string& archive,
                   const std::string& folder) {
    try {
        files.createDirectories(folder);
    } catch (const std::exception& error) {
        return {false, error.what()};
    }
    // bsdtar refuses absolute paths, ".." and extraction through links unless
    // told otherwise. Modes come from the archive (the seal records them);
    // owners never do.
    return shell(processes, "/usr/bin/bsdtar", {"-x", "-p", "--no-same-owner", "-f", archive, "-C", folder});
}

ShellResult verifySignature(platform::Processes& processes, const std::string& runningBundle, const std::string& newBundle) {
    // The signature checker ships in the running bundle: nothing from the archive
    // runs before the archive has been verified.
    return shell(processes, bundle::inside(runningBundle, bundle::verifier),
                 {"--verify", "--trusted", runningBundle, newBundle});
}

ShellResult assessRuns(platform::Processes& processes, const std::string& newBundle, const std::string& version) {
    // Started bare: nothing of this agent's environment (display, home, relay)
    // reaches the new build, and a missing library shows here, not after the
    // swap.
    ShellResult result = shell(processes, "/usr/bin/env",
                               {"-i", "PATH=/usr/local/bin:/usr/bin:/bin", "/usr/bin/timeout", "-k", "2", probeSeconds,
                                bundle::inside(newBundle, bundle::agent), "--version"});
    const std::string expected = "Tavrelin for Mac " + version;
    if (result.ok && result.output != expected)
        return {false, "it reports “" + result.output + "” instead of “" + expected + "”"};
    if (!result.ok && result.output.empty())
        return {false, "it did not start"};
    return result;
}

void removeQuarantine(platform::Processes&, const std::string&) {
    // Linux marks no downloads.
}

std::string reopenCommand(const std::string& bundlePath) {
    // As the desktop entry starts it: the agent itself, in a session of its own.
    return "/usr/bin/setsid -f " + quoted(bundle::inside(bundlePath, bundle::agent));
}

} // namespace tavrelin::updatetools
