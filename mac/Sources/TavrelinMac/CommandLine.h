#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin {

// A mistake on the command line; what() says which, for standard error.
class CommandLineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one start of the program is asked to do (words::commandLine::usage).
struct CommandLine {
    enum class Task {
        runAgent,
        help,
        version,
        quit,   // ask the running agent to quit
        status, // print the running agent's status line
        startAtLoginOn,
        startAtLoginOff,
        registerCopy,   // make this copy the link handler (and start it at login)
        unregisterCopy, // remove both desktop entries
        installInto,    // put this copy in a folder, replacing the one there
        useCalDav,      // file into a CalDAV account's task lists, or stop
    };
    // Of several asked for, the first here wins: help, version, a change of
    // the desktop entries, an install, a CalDAV account, quit, status; else
    // the agent runs.
    Task task = Task::runAgent;
    // Talk on the standard streams, whether or not a display answers.
    bool headless = false;
    // A pairing link given as an argument, or the file whose first line holds
    // one (so that it never stands on the command line); at most one of them.
    std::optional<std::string> link;
    std::optional<std::string> linkFile;
    // The folder of --install-into.
    std::optional<std::string> installFolder;
    // --caldav's server address and user name, or "off" alone.
    std::vector<std::string> calDav;

    // Reads the arguments after the program's name; --caldav only where
    // `serverAccounts` (the platform offers them). Throws CommandLineError.
    static CommandLine parse(const std::vector<std::string>& arguments, bool serverAccounts = false);

    bool operator==(const CommandLine&) const = default;
};

} // namespace tavrelin
