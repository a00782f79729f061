#pragma once

#include "Platform/Files.h"
#include "Platform/Processes.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::updatetools {

// What a tool run through `shell` answers: whether it exited with status 0,
// and its standard output and error together, trimmed.
struct ShellResult {
    bool ok = false;
    std::string output;
    bool operator==(const ShellResult&) const = default;
};

// Runs the tool (no shell in between) and waits. Never throws: a tool that
// cannot start answers false with the launch error's description; output that
// is not valid UTF-8 reads as empty.
ShellResult shell(platform::Processes& processes, const std::string& path, const std::vector<std::string>& arguments);

// White space and line ends removed from both ends; empty when the bytes are
// not valid UTF-8.
std::string trimmedOutput(std::string_view bytes);

// The POSIX shell's single quoting: any text passes through unchanged.
std::string quoted(std::string_view text);

// The script that swaps the verified bundle in once the agent has quit, rolls
// back when the swap fails, removes the staging folder and reopens whatever
// bundle stands at `current`. No line feed after the last line.
std::string installScript(const std::string& current, const std::string& previous, const std::string& fresh,
                          const std::string& staging);

// ---- The system's tools. Each build compiles one set (macOS or Linux); the
// pipeline calls them at the same steps with the same meaning.

// The feed's path on the update host.
extern const std::string_view feedPath;

// Unpacks the zip archive into `folder`, which does not exist yet.
ShellResult unpack(platform::Processes& processes, platform::Files& files, const std::string& archive,
                   const std::string& folder);

// Checks the new bundle's code signature against what the running bundle
// trusts; `output` is the verifier's text.
ShellResult verifySignature(platform::Processes& processes, const std::string& runningBundle, const std::string& newBundle);

// Asks whether this system will run the new bundle, which announces `version`.
ShellResult assessRuns(platform::Processes& processes, const std::string& newBundle, const std::string& version);

// Clears the download mark of the new bundle; the result is not used.
void removeQuarantine(platform::Processes& processes, const std::string& newBundle);

// The install script's last line: opens the bundle at `bundle`.
std::string reopenCommand(const std::string& bundle);

} // namespace tavrelin::updatetools
