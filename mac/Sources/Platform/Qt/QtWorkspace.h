#pragma once

#include "Platform/BundleLayout.h"
#include "Platform/Processes.h"
#include "Platform/Workspace.h"

#include <functional>
#include <string>

namespace tavrelin::qt {

class SingleInstance;

// Opening URLs and finding the other running agent. Main thread only.
class QtWorkspace final : public platform::Workspace {
public:
    // Hands a URL to the system; answers whether it was taken.
    using Opener = std::function<bool(const std::string& url)>;
    // The desktop's handler for the URL (QDesktopServices); needs a QGuiApplication.
    static Opener desktopOpener();

    // `home` holds the user's Applications folder; `processes` starts relaunches.
    QtWorkspace(SingleInstance& instance, platform::Processes& processes, std::string home, std::string remindersRoot,
                Opener opener, std::string bundleIdentifier = std::string(bundle::identifier));

    bool openURL(const std::string& url) override;
    // This process, plus one entry for an agent answering on the
    // single-instance socket.
    std::vector<platform::RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    // ~/Applications: where self-contained applications live on Linux desktops.
    std::string applicationsFolder() const override;
    // There is no "open" for bundles on Linux: starts the bundle's agent.
    void relaunch(const std::string& bundlePath) override;
    // The Reminders privacy pane has no Linux counterpart: what decides access
    // there is the permission of the task-list root, so that folder is opened
    // (its nearest existing parent until the first access request creates it).
    void openRemindersPrivacySettings() override;

    // The command line relaunch() runs for a bundle.
    static std::vector<std::string> relaunchCommand(const std::string& bundlePath);

private:
    SingleInstance& instance_;
    platform::Processes& processes_;
    std::string home_;
    std::string remindersRoot_;
    Opener opener_;
    std::string bundleIdentifier_;
};

} // namespace tavrelin::qt
