#pragma once

#include "Platform/Processes.h"
#include "Platform/UpdateSystem.h"

namespace tavrelin::posix {

// The updater's system on Linux. Archives are read with libarchive in the
// agent itself: each entry's kind, size, mode and name come as values, not as
// a tool's listing to be parsed, and the checked listing is what is written.
// The seal is checked by the verifier shipped in the *running* bundle, and a
// new build proves it runs here by starting once with --version.
class PosixUpdateSystem final : public platform::UpdateSystem {
public:
    explicit PosixUpdateSystem(platform::Processes& processes) : processes_(processes) {}

    std::string feedPath() const override;
    void unpack(const std::string& archive, const std::string& folder, const platform::UnpackLimits& limits) override;
    platform::ToolCommand signatureCheck(const std::string& runningBundle, const std::string& newBundle) const override;
    platform::ToolCommand runCheck(const std::string& newBundle) const override;
    bool runCheckPrintsVersion() const override;
    std::optional<platform::ToolCommand> quarantineRemoval(const std::string& newBundle) const override;
    // A rename when the bundle is on the destination's file system, else a
    // copy; then every file and folder of it, and the folder holding it, is
    // flushed.
    platform::ToolCommand reopenCommand(const std::string& bundle) const override;
    platform::ToolCommand flushCommand(const std::string& folder) const override;
    void launchScript(const std::string& script) override;

    // How long the verifier may take: it digests every file of the new
    // bundle, well under a second for ours, and 2 GiB (all that unpacking
    // allows) at 100 MB/s in twenty.
    static constexpr std::chrono::seconds verifierDeadline{30};
    // How long the new build may take to answer --version: it starts in a
    // fraction of a second, a cold disk included.
    static constexpr std::chrono::seconds runCheckDeadline{15};

private:
    platform::Processes& processes_;
};

} // namespace tavrelin::posix
