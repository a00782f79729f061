#pragma once

#include "Platform/Processes.h"
#include "Platform/UpdateSystem.h"

namespace tavrelin::mac {

// The updater's system on macOS: the system's own tools, as the product has
// always used them. Only an Apple build compiles this.
class MacUpdateSystem final : public platform::UpdateSystem {
public:
    explicit MacUpdateSystem(platform::Processes& processes) : processes_(processes) {}

    std::string feedPath() const override;
    // ditto refuses what escapes the folder itself; the limits are not
    // applied here.
    void unpack(const std::string& archive, const std::string& folder, const platform::UnpackLimits& limits) override;
    platform::ToolCommand signatureCheck(const std::string& runningBundle, const std::string& newBundle) const override;
    platform::ToolCommand runCheck(const std::string& newBundle) const override;
    bool runCheckPrintsVersion() const override;
    std::optional<platform::ToolCommand> quarantineRemoval(const std::string& newBundle) const override;
    platform::ToolCommand reopenCommand(const std::string& bundle) const override;
    platform::ToolCommand flushCommand(const std::string& folder) const override;
    void launchScript(const std::string& script) override;

private:
    platform::Processes& processes_;
};

} // namespace tavrelin::mac
