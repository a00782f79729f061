#pragma once

#include "Platform/Application.h"
#include "Platform/Dialogs.h"
#include "Platform/MainLoop.h"
#include "TavrelinMac/Words.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace tavrelin {

// The host updates come from: the product's web domain, fixed when the agent
// is built. Only demo and test builds name another one (and may add a port).
std::string_view updateHost();
// "https://" + the update host + the feed's path on it (the system's, see
// UpdateSystem::feedPath); no run-time override.
std::string feedURL(std::string_view feedPath);

// A feed that cannot be decoded; what() says why.
class FeedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keeps the agent current: automatic checks (90 s after launch, then every six
// hours) and the menu's manual one. Each check runs the update pipeline on a
// background thread and records its outcome here, on the main thread. Held by
// a shared_ptr: timers and background work hold it weakly.
class Updater : public std::enable_shared_from_this<Updater> {
public:
    // The update feed document.
    struct Feed {
        std::string version;
        std::int64_t build = 0;
        std::string url;
        std::string sha256;
        std::optional<std::string> minimumOS;
        std::optional<std::string> notes;

        // Strict: "build" must be a JSON number with no fraction within 64
        // bits (2.0 reads as 2); the optional members may be absent or null;
        // other keys are ignored.
        static Feed decode(std::string_view json);
        bool operator==(const Feed&) const = default;
    };

    // The result of one pipeline run.
    struct Installed {
        Feed feed;
        // Where the verified bundle waits beside the running one; the install
        // script empties it once it has swapped the bundles (or rolled back),
        // before it starts the agent at the running bundle's place.
        std::string incoming{};
    };
    struct NotInstallable {
        Feed feed;
        std::string reason;
    };
    struct Failed {
        std::string message;
    };
    struct UpToDate {};
    using Outcome = std::variant<Installed, NotInstallable, Failed, UpToDate>;

    // The background step: the whole pipeline, blocking; never throws.
    using Run = std::function<Outcome()>;
    // Brings the agent to the front and shows a modal alert; answers the button.
    using AlertRunner = std::function<int(const platform::Alert&)>;
    // Called after "Restart now", once this agent has stopped answering:
    // starts the agent at the running bundle's place, unless the install
    // script is still to start it itself.
    using Reopen = std::function<void(const Installed&)>;

    // Where this copy comes from: a release pins the key its updates must be
    // signed with; a copy built on this computer pins none, so it never
    // fetches an update it could not verify and says how it is updated.
    enum class Origin { release, builtHere };

    static std::shared_ptr<Updater> create(platform::MainLoop& mainLoop, platform::Application& application,
                                           std::string appVersion, Run run, AlertRunner runAlert, Reopen reopen,
                                           Origin origin = Origin::release);

    void startAutomaticChecks();
    void check(bool interactive);
    const std::string& lastSummary() const { return lastSummary_; }

    static constexpr platform::TimeInterval firstCheckDelay = 90;
    static constexpr platform::TimeInterval checkInterval = 21600;

private:
    Updater(platform::MainLoop& mainLoop, platform::Application& application, std::string appVersion, Run run,
            AlertRunner runAlert, Reopen reopen, Origin origin);
    void finish(const Outcome& outcome, bool interactive);
    void alert(std::string title, std::string text);

    platform::MainLoop& mainLoop_;
    platform::Application& application_;
    std::string appVersion_;
    Run run_;
    AlertRunner runAlert_;
    Reopen reopen_;
    Origin origin_;

    std::unique_ptr<platform::Timer> timer_;
    bool inFlight_ = false;
    std::string lastSummary_ = words::update::notCheckedYet();
};

} // namespace tavrelin
