#pragma once

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
    // The shell command that opens the application bundle given as its one
    // argument ("/usr/bin/open" on macOS).
    virtual std::string openApplicationCommand() const = 0;
};

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // An absent key reads false.
    virtual bool boolForKey(const std::string& key) const = 0;
    // Visible to the next read, also after a restart.
    virtual void setBool(const std::string& key, bool value) = 0;
};

} // namespace tavrelin::platform
