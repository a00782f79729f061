#pragma once

#include "Platform/Bundle.h"
#include "Platform/Files.h"
#include "Platform/LoginItems.h"
#include "Platform/MainLoop.h"
#include "Platform/Workspace.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin {

// Keeps the installed copy's place on the desktop: the entry that starts it
// at login and the handler of its links, both naming the running copy, so
// they follow it after a move or an update.
//
// Starting at login is on by default for an installed copy and never for any
// other. Once turned off (from the menu, the command line, or the desktop's
// own session settings) it stays off: nothing here writes the entry back
// until it is turned on again. Two settings record that: the choice, and
// whether the entry was written, which tells an entry the person removed from
// one never made.
//
// Main thread only; the file work runs in the background, one pass at a time.
class LoginItem : public std::enable_shared_from_this<LoginItem> {
public:
    using LoginEntry = platform::LoginItems::LoginEntry;

    // What one pass makes of the login entry.
    enum class Intent {
        observe, // only look
        follow,  // the launch rule: write it for this copy unless it was turned off
        on,      // write it for this copy
        off,     // remove it
    };
    struct Pass {
        std::string bundlePath;
        Intent login = Intent::observe;
        bool writtenBefore = false; // for follow
        bool linkHandler = false;   // make this copy the handler of links too
    };
    struct Result {
        LoginEntry entry = LoginEntry::none; // as it is afterwards
        bool wroteLoginEntry = false;
        bool removedLoginEntry = false;
        bool turnedOffOutside = false; // disabled or removed by the desktop
        bool wroteLinkHandler = false;
        std::vector<std::string> failures;
    };
    // One pass over the entries; blocks on their files. Never throws.
    static Result run(platform::LoginItems& items, const Pass& pass);

    static std::shared_ptr<LoginItem> create(const platform::Bundle& bundle, platform::UserDefaults& defaults,
                                             platform::LoginItems& items, platform::MainLoop& mainLoop);

    // At launch: an installed copy that still stands at its path brings both
    // entries to itself and then follows changes made to the login entry from
    // outside.
    void keep();
    // The menu's switch exists for an installed copy only.
    bool offered() const;
    // Whether the desktop starts the agent at login, as last seen.
    bool startsAtLogin() const { return startsAtLogin_; }
    void setStartsAtLogin(bool on);
    // After what the menu shows has changed.
    std::function<void()> onChange;

    // The command line's `--start-at-login on|off`, `--register` and
    // `--unregister`, run at once in a process of their own.
    enum class Command { on, off, registerCopy, unregisterCopy };
    // What a command did: what to tell the person, and what could not be
    // done, each in words; it succeeded when nothing failed.
    struct CommandReport {
        std::vector<std::string> told;
        std::vector<std::string> failures;
        bool operator==(const CommandReport&) const = default;
    };
    static CommandReport command(Command command, const platform::Bundle& bundle, platform::UserDefaults& defaults,
                                 platform::LoginItems& items, const platform::Files& files);

    static constexpr const char* turnedOffKey = "com.tavrelin.mac.startAtLoginTurnedOff";
    static constexpr const char* writtenKey = "com.tavrelin.mac.startAtLoginEntryWritten";

private:
    LoginItem(const platform::Bundle& bundle, platform::UserDefaults& defaults, platform::LoginItems& items,
              platform::MainLoop& mainLoop);
    // The launch rule's pass, from the settings.
    static Pass following(const std::string& bundlePath, const platform::UserDefaults& defaults);
    // Settings and log lines after a pass; answers what to tell the person.
    static std::vector<std::string> record(const Pass& pass, const Result& result, platform::UserDefaults& defaults);
    void schedule(Pass pass);
    void start(Pass pass);
    void finish(const Pass& pass, const Result& result);

    const platform::Bundle& bundle_;
    platform::UserDefaults& defaults_;
    platform::LoginItems& items_;
    platform::MainLoop& mainLoop_;
    bool startsAtLogin_ = false;
    bool running_ = false;
    std::optional<Pass> queued_;
};

} // namespace tavrelin
