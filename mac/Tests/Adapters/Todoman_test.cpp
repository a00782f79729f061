// A task manager that reads vdirs sees what the agent writes, under the right
// lists and with the right due dates.

#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/VdirFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::DateComponents;
using vdir::VdirRemindersDatabase;
namespace fs = std::filesystem;

namespace {

std::optional<std::string> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        auto end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

struct Run {
    int status;
    std::string output;
};

Run run(const std::string& command) {
    Run result{-1, {}};
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, n);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuoted(const std::string& text) {
    return "'" + text + "'";
}

// The text after "[ ] <number> " of each listed task.
std::vector<std::string> listedTasks(const std::string& output) {
    std::vector<std::string> tasks;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("[ ] ", 0) != 0)
            continue;
        auto afterNumber = line.find_first_not_of("0123456789", line.find_first_not_of(' ', 4));
        auto text = line.find_first_not_of(' ', afterNumber);
        if (afterNumber != std::string::npos && afterNumber > 4 && text != std::string::npos)
            tasks.push_back(line.substr(text));
    }
    return tasks;
}

} // namespace

TEST(Todoman, ListsWhatTheAgentWroteUnderTheRightListsAndDates) {
    auto todo = onPath("todo");
    if (!todo)
        todo = onPath("todoman");
    if (!todo)
        GTEST_SKIP() << "todoman is not installed (neither `todo` nor `todoman` is on PATH)";

    TempFolder temp;
    auto root = fs::path(temp.path()) / "calendars";
    makeList(root, "work", "Work");
    makeList(root, "home");
    posix::PosixFiles files;
    VdirRemindersDatabase database(root.string(), files);
    ASSERT_TRUE(database.requestFullAccess().granted);

    database.save({"work", "Submit report", "Quarterly numbers", DateComponents{2024, 5, 1, {}, {}}, {}, "k1"});
    database.save({"home", "Dentist", {}, DateComponents{2024, 5, 1, 14, 30}, platform::Date::fromUnix(1714573800), "k2"});
    database.save({"work", "Plan next year", {}, DateComponents{2024, 13, 1, 9, 75}, {}, "k3"});
    database.save({"home", "Someday", {}, {}, {}, "k4"});

    writeText(fs::path(temp.path()) / "config.py", "path = " + shellQuoted((root / "*").string()) +
                                                       "\n"
                                                       "date_format = '%Y-%m-%d'\n"
                                                       "time_format = '%H:%M'\n"
                                                       "dt_separator = ' '\n"
                                                       "humanize = False\n"
                                                       "cache_path = " +
                                                       shellQuoted(temp / "cache.sqlite3") + "\n");
    auto listed = run(shellQuoted(*todo) + " --config " + shellQuoted(temp / "config.py") + " --color never list");
    ASSERT_EQ(listed.status, 0) << listed.output;

    // "[ ] 3  2024-05-01 14:30 Dentist @home"; the order is todoman's business.
    std::vector<std::string> expected{
        "(no due date) Someday @home",
        "2025-01-01 10:15 Plan next year @Work",
        "2024-05-01 14:30 Dentist @home",
        "2024-05-01 Submit report @Work",
    };
    auto tasks = listedTasks(listed.output);
    std::sort(tasks.begin(), tasks.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tasks, expected) << listed.output;
}
