#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrelin::platform {

struct RunningApplication {
    bool isCurrent = false; // this very process
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens the URL with the system; answers whether it was handed over.
    virtual bool openURL(const std::string& url) = 0;
    virtual std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) = 0;
    // Where applications are installed for this user: "/Applications" on
    // macOS, ~/Applications on Linux. No trailing "/"; may not exist yet.
    virtual std::string applicationsFolder() const = 0;
    // Starts the agent of the bundle at `bundlePath` about a second from now,
    // detached, so this process can quit first. The path travels as an
    // argument, never inside shell text. Throws std::exception when the
    // starter cannot be run.
    virtual void relaunch(const std::string& bundlePath) = 0;
    // Shows the place where the user grants access to the task lists (the
    // Reminders privacy pane on macOS). Whether it opened is not reported.
    virtual void openRemindersPrivacySettings() = 0;
};

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // An absent key reads false.
    virtual bool boolForKey(const std::string& key) const = 0;
    // The text stored under the key; none when absent.
    virtual std::optional<std::string> stringForKey(const std::string& key) const = 0;
    // Visible to the next read, also after a restart.
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
};

} // namespace tavrelin::platform
