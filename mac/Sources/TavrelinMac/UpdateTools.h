#pragma once

#include "Platform/Processes.h"
#include "Platform/UpdateSystem.h"

#include <string>
#include <string_view>
#include <variant>

namespace tavrelin::updatetools {

// What a tool run through `shell` answers: it exited with status 0, or it
// failed (another status, or it could not start). Either way `output` is what
// it said, its standard output and error together, trimmed; for a tool that
// could not start, the launch error's description.
struct ToolSucceeded {
    std::string output;
    bool operator==(const ToolSucceeded&) const = default;
};
struct ToolFailed {
    std::string output;
    bool operator==(const ToolFailed&) const = default;
};
using ShellResult = std::variant<ToolSucceeded, ToolFailed>;

// Runs the tool (no shell in between) and waits, up to the command's
// deadline. Output that is not valid UTF-8 reads as empty. A tool that does
// not finish in time gave no answer at all: that throws ProcessTimedOut.
ShellResult shell(platform::Processes& processes, const platform::ToolCommand& command);

// White space and line ends removed from both ends; empty when the bytes are
// not valid UTF-8.
std::string trimmedOutput(std::string_view bytes);

// The POSIX shell's single quoting: any text passes through unchanged.
std::string quoted(std::string_view text);

// The command as one line of shell: each argument quoted; the program too,
// unless it is a plain path that needs no quoting.
std::string commandLine(const platform::ToolCommand& command);

// Where the install script moves things.
struct InstallPaths {
    std::string current;  // the running bundle
    std::string previous; // where the running bundle goes during the swap
    std::string incoming; // the verified new bundle, beside the running one
    std::string staging;  // the staging folder, removed at the end
};

// The script that swaps the verified bundle in once the agent has quit, rolls
// back when the swap fails, removes what is left, makes the renames durable
// with `flush` and runs `reopen`, which starts whatever bundle now stands at
// the running bundle's place. No line feed after the last line.
std::string installScript(const InstallPaths& paths, const platform::ToolCommand& flush, const platform::ToolCommand& reopen);

} // namespace tavrelin::updatetools
