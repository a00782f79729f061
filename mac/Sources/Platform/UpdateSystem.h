#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::platform {

// A system tool as the update pipeline runs it: the program and its
// arguments, with no shell in between, and how long it may take before it is
// killed (the install script's commands run after the agent has quit, and
// have none).
struct ToolCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::chrono::seconds deadline{};
    bool operator==(const ToolCommand&) const = default;
};

// An archive refused before or while unpacking; what() says which entry and
// why.
class UnpackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What unpacking may write at most.
struct UnpackLimits {
    std::uint64_t maxBytes = 0;
    std::size_t maxEntries = 0;
};

// What the system does for the updater, and the facts only it knows: where
// the feed for this system lives, how an archive is unpacked, which tools
// check a new bundle, how a bundle is started and a folder flushed. The
// pipeline keeps the decisions, their order and its texts.
class UpdateSystem {
public:
    virtual ~UpdateSystem() = default;

    // The feed's path on the update host.
    virtual std::string feedPath() const = 0;

    // Unpacks the zip archive into `folder`, which does not exist yet. The
    // whole listing is checked before anything is written: an absolute path,
    // a ".." step, a link or any entry that is neither a file nor a folder,
    // more entries or more bytes than `limits` allow refuse the archive; so
    // does an entry whose data runs past the size the listing gives it, as
    // soon as it does.
    // Modes come from the archive without the setuid, setgid and sticky bits.
    // Throws UnpackError, or the file system's error.
    virtual void unpack(const std::string& archive, const std::string& folder, const UnpackLimits& limits) = 0;

    // Checks the new bundle's code signature against what the running bundle
    // trusts; success is exit status 0, its output says what is wrong.
    virtual ToolCommand signatureCheck(const std::string& runningBundle, const std::string& newBundle) const = 0;
    // Asks whether this system will run the new bundle.
    virtual ToolCommand runCheck(const std::string& newBundle) const = 0;
    // True when runCheck runs the new agent's `--version`, whose output must
    // then be the product's name and the announced version; false when its
    // exit status is all that counts.
    virtual bool runCheckPrintsVersion() const = 0;
    // Clears the download mark of the new bundle; none where there is none.
    virtual std::optional<ToolCommand> quarantineRemoval(const std::string& newBundle) const = 0;

    // The install script's system commands: the one that starts the bundle
    // at `bundle` once it is in place, and the one that makes the renames in
    // `folder` durable.
    virtual ToolCommand reopenCommand(const std::string& bundle) const = 0;
    virtual ToolCommand flushCommand(const std::string& folder) const = 0;
    // Starts the install script under /bin/sh without waiting for it; it
    // outlives the agent. Throws when it cannot be started.
    virtual void launchScript(const std::string& script) = 0;
};

} // namespace tavrelin::platform
