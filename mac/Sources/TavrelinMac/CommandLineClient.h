#pragma once

#include "Platform/AgentInstance.h"
#include "Platform/Bundle.h"
#include "Platform/Features.h"
#include "Platform/Files.h"
#include "Platform/LoginItems.h"
#include "Platform/Workspace.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/CommandLine.h"

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace tavrelin {

// The command line's side of a start: the commands that act and end the
// process, what they print and their exit status, and the hand-over of a
// link to an agent that already runs. Everything it prints is in words; on
// standard error, each line names the program. Running the agent is main's.
class CommandLineClient {
public:
    struct Services {
        const platform::Bundle& bundle;
        const AppInfo& appInfo;
        platform::UserDefaults& defaults;
        platform::LoginItems& loginItems;
        platform::Files& files;
        // The agent's log file, which --help names.
        std::string logFile;
        // What the platform offers beyond the product: the command line has
        // --caldav where it offers server accounts.
        const platform::Features& features;
        // The first line of a file, without its line end; none when it cannot
        // be read or is empty.
        std::function<std::optional<std::string>(const std::string& path)> firstLine;
        std::ostream& out;
        std::ostream& err;
    };
    explicit CommandLineClient(Services services) : services_(std::move(services)) {}

    // How the process ends once the client has done what it was asked.
    struct Exit {
        int status = 0;
        bool operator==(const Exit&) const = default;
    };
    // Exit statuses: done, failed, and a command line that could not be used.
    static constexpr int succeeded = 0, failed = 1, misused = 2;

    // Reads the command line (`arguments`: those after the program's name)
    // and does what needs no agent: the usage, the version, the desktop
    // entries, reading the link from its file. Answers how the process ends,
    // or the command line for the rest of the start, its link read.
    std::variant<Exit, CommandLine> start(const std::vector<std::string>& arguments);

    // Does what talks to the agent that runs: --quit, --status, --install-into
    // (which waits until it has quit) and handing it a link. Answers how the process ends, or none when this process goes
    // on: as the agent when it holds the lock now, or to meet the agent that
    // answered (which it then defers to).
    std::optional<Exit> reach(const CommandLine& line, platform::AgentInstance& instance);

    // Says on standard error why the agent cannot start; a failed exit.
    Exit cannotStart(const std::exception& error);

    // How long a start waits for an agent that holds the lock but no longer
    // answers, as a quitting one does: well past the time a quitting agent
    // gives its background work.
    static constexpr std::chrono::seconds lockPatience{20};

private:
    Exit changeEntries(CommandLine::Task task);
    Exit installInto(const std::string& folder, platform::AgentInstance& instance);
    void problem(const std::string& message);
    std::string usage() const;

    Services services_;
};

} // namespace tavrelin
