#pragma once

#include <optional>
#include <string>

namespace tavrelin::platform {

// What the application calls on its delegate, always on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() = 0;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
    // A request to open a URL: the event's direct object as text, if it has one.
    virtual void handleGetURL(const std::optional<std::string>& directObject) = 0;
    // The application was started again while it runs (the person looks for
    // it). Nothing by default, as for an application with no window.
    virtual void applicationShouldHandleReopen() {}
};

class Application {
public:
    virtual ~Application() = default;
    // No Dock icon, no main menu.
    virtual void setAccessory() = 0;
    // Calls the delegate's launch steps, then runs the event loop until
    // terminated; answers the process's exit status.
    virtual int run(ApplicationDelegate& delegate) = 0;
    // Ends the event loop after the delegate's will-terminate step. May be
    // called during launch.
    virtual void terminate() = 0;
    // True from the moment termination is requested.
    virtual bool isTerminating() const = 0;
    // Brings the agent in front of other applications.
    virtual void activate() = 0;
};

} // namespace tavrelin::platform
