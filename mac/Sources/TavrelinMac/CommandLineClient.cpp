#include "TavrelinMac/CommandLineClient.h"

#include "TavrelinMac/BundleSwap.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/LoginItem.h"
#include "TavrelinMac/Words.h"

namespace tavrelin {

std::variant<CommandLineClient::Exit, CommandLine> CommandLineClient::start(const std::vector<std::string>& arguments) {
    CommandLine line;
    try {
        line = CommandLine::parse(arguments, services_.features.serverAccounts);
    } catch (const CommandLineError& error) {
        problem(error.what());
        services_.err << usage() << "\n";
        return Exit{misused};
    }
    if (line.linkFile && !(line.link = services_.firstLine(*line.linkFile))) {
        problem(words::commandLine::noLinkIn(*line.linkFile));
        return Exit{misused};
    }
    switch (line.task) {
    case CommandLine::Task::help:
        services_.out << usage() << "\n" << words::install::logFile(services_.logFile) << "\n";
        return Exit{succeeded};
    case CommandLine::Task::version:
        // The update's run check reads it: the name as this build says it.
        services_.out << words::about::nameAndVersion(services_.appInfo.version()) << "\n";
        return Exit{succeeded};
    case CommandLine::Task::startAtLoginOn:
    case CommandLine::Task::startAtLoginOff:
    case CommandLine::Task::registerCopy:
    case CommandLine::Task::unregisterCopy:
        return changeEntries(line.task);
    case CommandLine::Task::runAgent:
    case CommandLine::Task::installInto:
    case CommandLine::Task::useCalDav:
    case CommandLine::Task::quit:
    case CommandLine::Task::status:
        break;
    }
    return line;
}

// The desktop entries alone, whether or not an agent runs (a running one
// sees the change).
CommandLineClient::Exit CommandLineClient::changeEntries(CommandLine::Task task) {
    using Command = LoginItem::Command;
    const Command command = task == CommandLine::Task::startAtLoginOn    ? Command::on
                            : task == CommandLine::Task::startAtLoginOff ? Command::off
                            : task == CommandLine::Task::registerCopy    ? Command::registerCopy
                                                                         : Command::unregisterCopy;
    const LoginItem::CommandReport report =
        LoginItem::command(command, services_.bundle, services_.defaults, services_.loginItems, services_.files);
    for (const std::string& line : report.told)
        services_.out << line << "\n";
    for (const std::string& failure : report.failures)
        problem(failure);
    return Exit{report.failures.empty() ? succeeded : failed};
}

std::optional<CommandLineClient::Exit> CommandLineClient::reach(const CommandLine& line, platform::AgentInstance& instance) {
    if (line.task == CommandLine::Task::installInto)
        return installInto(*line.installFolder, instance);
    const bool control = line.task == CommandLine::Task::quit || line.task == CommandLine::Task::status;
    std::optional<std::string> status;
    platform::AgentInstance::Claim claim;
    try {
        // An agent that holds the lock without answering is on its way out:
        // waited for, so the answer is about the agent that runs once it is
        // gone. A link for an agent that runs is handed over.
        claim = instance.claim(lockPatience, [&] {
            if (line.task == CommandLine::Task::quit)
                return instance.requestQuit();
            if (line.task == CommandLine::Task::status)
                return (status = instance.requestStatus()).has_value();
            // An agent of an older version only answers to "ping".
            return line.link ? instance.handOver(*line.link) : instance.requestReopen() || instance.ping();
        });
    } catch (const platform::InstanceError& error) {
        return cannotStart(error);
    }
    if (control) {
        // --quit and --status never become the agent.
        if (claim == platform::AgentInstance::Claim::holder) {
            problem(words::commandLine::noAgent());
            return Exit{failed};
        }
        if (status)
            services_.out << *status << "\n";
        return Exit{succeeded};
    }
    if (claim == platform::AgentInstance::Claim::answered && line.link) {
        Log::info("handed the link to the running agent");
        return Exit{succeeded};
    }
    return std::nullopt;
}

// Staged in the folder, then swapped for the copy there once the running
// agent (of any copy) has quit; the lock is held from then on, so no agent
// starts before the swap is done.
CommandLineClient::Exit CommandLineClient::installInto(const std::string& folder, platform::AgentInstance& instance) {
    try {
        const std::string installed = installBundleInto(services_.files, services_.bundle.path(), folder, [&] {
            bool asked = false;
            try {
                instance.claim(lockPatience, [&] {
                    asked = asked || instance.requestQuit();
                    return false; // taken once it is gone
                });
            } catch (const platform::InstanceError&) {
                throw platform::FileError(words::install::runningAgentStayed(lockPatience.count()));
            }
        });
        services_.out << words::install::installedInto(words::about::nameAndVersion(services_.appInfo.version()), installed)
                      << "\n";
        return Exit{succeeded};
    } catch (const std::exception& error) {
        problem(words::install::installFailed(error.what()));
        return Exit{failed};
    }
}

CommandLineClient::Exit CommandLineClient::cannotStart(const std::exception& error) {
    problem(error.what());
    return Exit{failed};
}

// With the lines of what this platform offers beyond the product.
std::string CommandLineClient::usage() const {
    return words::commandLine::usage() + (services_.features.serverAccounts ? "\n" + words::account::commandUsage() : "");
}

void CommandLineClient::problem(const std::string& message) {
    services_.err << words::commandLine::problem(message) << "\n";
}

} // namespace tavrelin
