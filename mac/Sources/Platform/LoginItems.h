#pragma once

#include <functional>
#include <string>

namespace tavrelin::platform {

// What the desktop knows of the agent outside its bundle: the entry that
// starts it at login, and the one that makes it the handler of its links.
// Both name the agent of one bundle by its path. The operations read and
// write small files and may block: callers keep them off the main thread.
// Failures throw FileError.
class LoginItems {
public:
    virtual ~LoginItems() = default;

    enum class LoginEntry {
        none,               // nothing starts the agent at login
        thisCopy,           // the entry starts the bundle asked about, as this agent writes it
        otherCopy,          // an entry of ours that starts something else, or an older text of it
        turnedOffByDesktop, // an entry of ours that the desktop's own settings disabled
    };
    virtual LoginEntry loginEntry(const std::string& bundlePath) const = 0;
    // Writes (or replaces) the entry so that it starts the bundle's agent.
    virtual void writeLoginEntry(const std::string& bundlePath) = 0;
    // Removes the entry; fine when there is none.
    virtual void removeLoginEntry() = 0;

    // True when the bundle's agent is the desktop's handler of the product's
    // links, with the entry as this agent writes it.
    virtual bool handlesLinks(const std::string& bundlePath) const = 0;
    // Writes the handler's entry for the bundle and makes it the default.
    virtual void writeLinkHandler(const std::string& bundlePath) = 0;
    // Removes the handler's entry and the default that names it.
    virtual void removeLinkHandler() = 0;

    // Calls `changed` on the main thread whenever the login entry may have
    // changed outside this process. Main thread only.
    virtual void watchLoginEntry(std::function<void()> changed) = 0;
};

} // namespace tavrelin::platform
