#pragma once

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

    // The Reminders privacy pane has no Linux counterpart: what decides access
    // there is the permission of the task-list root, so that folder is opened.
    QtWorkspace(SingleInstance& instance, std::string remindersRoot, Opener opener,
                std::string bundleIdentifier = "com.tavrelin.mac");

    bool openURL(const std::string& url) override;
    // This process, plus one entry for an agent answering on the
    // single-instance socket.
    std::vector<platform::RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    // There is no "open" for bundles on Linux: the command starts the agent
    // inside the bundle given as its argument.
    std::string openApplicationCommand() const override;

    // The URL the system is actually asked to open for the given one.
    std::string translate(const std::string& url) const;

private:
    SingleInstance& instance_;
    std::string remindersRoot_;
    Opener opener_;
    std::string bundleIdentifier_;
};

} // namespace tavrelin::qt
