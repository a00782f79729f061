#include "TavrelinMac/CommandLine.h"

#include "TavrelinMac/Words.h"

namespace tavrelin {

CommandLine CommandLine::parse(const std::vector<std::string>& arguments, bool serverAccounts) {
    CommandLine line;
    bool help = false, version = false, quit = false, status = false;
    std::optional<Task> entries;
    auto changeEntries = [&entries](Task task) {
        if (entries)
            throw CommandLineError(words::commandLine::oneEntriesChange());
        entries = task;
    };
    auto takeLink = [&line](std::optional<std::string>& slot, const std::string& value) {
        if (line.link || line.linkFile)
            throw CommandLineError(words::commandLine::oneLink());
        slot = value;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
        if (argument == "--headless") {
            line.headless = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--quit") {
            quit = true;
        } else if (argument == "--status") {
            status = true;
        } else if (argument == "--start-at-login") {
            if (!next || (*next != "on" && *next != "off"))
                throw CommandLineError(words::commandLine::needsOnOrOff());
            changeEntries(*next == "on" ? Task::startAtLoginOn : Task::startAtLoginOff);
            ++i;
        } else if (argument == "--register") {
            changeEntries(Task::registerCopy);
        } else if (argument == "--unregister") {
            changeEntries(Task::unregisterCopy);
        } else if (argument == "--install-into") {
            if (!next)
                throw CommandLineError(words::commandLine::needsFolder());
            line.installFolder = *next;
            ++i;
        } else if (argument == "--caldav" && serverAccounts) {
            if (!line.calDav.empty())
                throw CommandLineError(words::commandLine::oneCalDav());
            if (next && *next == "off") {
                line.calDav = {*next};
                ++i;
            } else if (i + 2 < arguments.size()) {
                line.calDav = {arguments[i + 1], arguments[i + 2]};
                i += 2;
            } else {
                throw CommandLineError(words::commandLine::needsServerAndUser());
            }
        } else if (argument == "--link-from") {
            if (!next)
                throw CommandLineError(words::commandLine::needsFile());
            takeLink(line.linkFile, *next);
            ++i;
        } else if (argument.starts_with("-")) {
            throw CommandLineError(words::commandLine::unknownOption(argument));
        } else {
            // Never quoted back: a link holds the relay token.
            takeLink(line.link, argument);
        }
    }
    line.task = help                   ? Task::help
                : version              ? Task::version
                : entries              ? *entries
                : line.installFolder   ? Task::installInto
                : !line.calDav.empty() ? Task::useCalDav
                : quit                 ? Task::quit
                : status               ? Task::status
                                       : Task::runAgent;
    return line;
}

} // namespace tavrelin
