#pragma once

#include "Platform/BundleLayout.h"
#include "Platform/Processes.h"
#include "Platform/Workspace.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::qt {

class SingleInstance;

// Opening URLs, telling whether another agent runs, relaunching, and showing
// where access to the task lists is decided. Main thread only, except
// setTaskLists.
class QtWorkspace final : public platform::Workspace {
public:
    // Hands a URL to the system; answers whether it was taken.
    using Opener = std::function<bool(const std::string& url)>;

    // Which backend holds the task lists, for the privacy action.
    enum class TaskLists { vdir, evolutionDataServer };

    // `home` holds the user's Applications folder; `processes` starts
    // relaunches and task applications; `remindersRoot` is the vdir's root.
    QtWorkspace(const SingleInstance& instance, platform::Processes& processes, std::string home, std::string remindersRoot,
                Opener opener, std::string bundleIdentifier = std::string(bundle::identifier));

    bool openURL(const std::string& url) override;
    // This process, plus one entry for the agent that holds the
    // single-instance lock when this process does not: decided by the lock
    // alone, without asking anyone.
    std::vector<platform::RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    // ~/Applications: where self-contained applications live on Linux desktops.
    std::string applicationsFolder() const override;
    // There is no "open" for bundles on Linux: starts the bundle's agent.
    void relaunch(const std::string& bundlePath) override;
    // The Reminders privacy pane has no Linux counterpart. For the vdir, what
    // decides access is the permission of the task-list root, so that folder
    // is opened (its nearest existing parent until the first access request
    // creates it). For Evolution Data Server, the desktop's task application
    // is started, where lists are made and accounts connected.
    void openRemindersPrivacySettings() override;

    // Set once the backend is chosen; may be called from any thread.
    void setTaskLists(TaskLists taskLists) { taskLists_.store(taskLists); }

    // The command line relaunch() runs for a bundle.
    static std::vector<std::string> relaunchCommand(const std::string& bundlePath);

    // A task application, as a desktop entry names it.
    struct TaskApplication {
        std::string desktopEntry; // file name, e.g. org.gnome.Todo.desktop
        std::vector<std::string> extraArguments;
    };
    // Those that fit Evolution Data Server's task lists, best first.
    static const std::vector<TaskApplication>& taskApplications();
    // The command line of the first task application whose desktop entry is
    // found in `applicationFolders` (searched in order) and shown; none when
    // no such entry is there. Field codes (%u, %F, …) are dropped.
    static std::optional<std::vector<std::string>> taskApplicationCommand(const std::vector<std::string>& applicationFolders);
    // $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS (by default
    // /usr/local/share and /usr/share) with /applications.
    static std::vector<std::string> applicationFolders();

private:
    const SingleInstance& instance_;
    platform::Processes& processes_;
    std::string home_;
    std::string remindersRoot_;
    Opener opener_;
    std::string bundleIdentifier_;
    std::atomic<TaskLists> taskLists_{TaskLists::vdir};
};

} // namespace tavrelin::qt
