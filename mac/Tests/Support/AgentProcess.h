#pragma once

// The built agent, headless, in a temporary home of its own, and what it
// filed as a vdir reader sees it.

#include "Support/DevRelayProcess.h"
#include "Support/TempFolder.h"

#include <libical/ical.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <sstream>

namespace tavrelin::testing {

// The build runs in place: the offer to move it was declined before.
inline void writeSettings(const std::filesystem::path& config, const std::string& more = "") {
    writeFile(config / "Tavrelin/Tavrelin.ini", "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n" + more);
}

inline std::unique_ptr<Child> startAgent(const std::map<std::string, std::string>& environment,
                                         const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> command{(buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string(), "--headless"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return std::make_unique<Child>(command, withSanitizers(environment));
}

// The built bundle copied into <home>/Applications, as scripts/install puts
// it; answers its agent.
inline std::string installCopy(const std::filesystem::path& home) {
    const std::filesystem::path bundle = home / "Applications/Tavrelin.app";
    std::filesystem::create_directories(bundle.parent_path());
    std::filesystem::copy(buildDir() / "Tavrelin.app", bundle, std::filesystem::copy_options::recursive);
    return bundle / "Contents/MacOS/tavrelin-agent";
}

// Waits for the next dialog or menu the agent shows, and answers it with `line`.
inline bool answer(Child& agent, const std::string& line) {
    if (!agent.await("[end]\n"))
        return false;
    agent.send(line);
    return true;
}

// Data, config, cache, runtime folder and task lists of its own, removed afterwards.
struct AgentHome {
    explicit AgentHome(const std::string& settings = "") {
        environment.insert({{"TAVRELIN_REMINDERS_DIR", lists.string()}, {"PATH", "/usr/bin:/bin"}, {"TZ", "UTC"}});
        writeSettings(root / "config", settings);
    }

    TempFolder temp;
    std::filesystem::path root{temp.path()}, lists{root / "calendars"};
    std::map<std::string, std::string> environment = userFolders(root);
};

// Every task under `root` by "list/UID", as the lines a CalDAV client writes
// it out in, unfolded and sorted (a server keeps the properties in an order of
// its own); what would trip a reader (a partial or misnamed file, a file left
// over) in `problems`.
struct Filed {
    std::map<std::string, std::vector<std::string>> tasks;
    std::vector<std::string> problems;
};

inline Filed readLists(const std::filesystem::path& root) {
    Filed filed;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string(), list = entry.path().parent_path().filename();
        if (!entry.is_regular_file() || name == "displayname")
            continue;
        const std::string text = readFile(entry.path().string());
        icalcomponent* calendar = icalparser_parse_string(text.c_str());
        icalcomponent* todo = calendar ? icalcomponent_get_first_component(calendar, ICAL_VTODO_COMPONENT) : nullptr;
        const char* uid = todo ? icalcomponent_get_uid(todo) : nullptr;
        if (!uid || uid + std::string(".ics") != name || text.find("END:VCALENDAR") == std::string::npos) {
            filed.problems.push_back(list + "/" + name);
        } else {
            char* ical = icalcomponent_as_ical_string_r(todo);
            std::istringstream unfolded(std::regex_replace(ical, std::regex("\r\n "), ""));
            icalmemory_free_buffer(ical);
            auto& lines = filed.tasks[list + "/" + uid];
            for (std::string line; std::getline(unfolded, line, '\r'); unfolded.ignore())
                lines.push_back(line);
            std::ranges::sort(lines);
        }
        if (calendar)
            icalcomponent_free(calendar);
    }
    return filed;
}

} // namespace tavrelin::testing
