// What the agent files must be iCalendar a real CalDAV server takes and gives
// back unchanged: the built agent, headless and paired with the dev relay,
// files items of every kind into a vdir; vdirsyncer uploads that vdir to a
// Radicale server on loopback and downloads it into a second vdir; both are
// read with libical and compared.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"
#include "Support/TempFolder.h"

#include <libical/ical.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using tavrelin::testing::TempFolder;

namespace {

// Generous for a shared machine: each vdirsyncer run starts a Python interpreter.
constexpr auto deadline = 30s;

fs::path buildDir() {
    const char* dir = std::getenv("TAVRELIN_BUILD_DIR");
    return dir ? fs::path(dir) : fs::current_path();
}

// The program's full path on $PATH, or none.
std::optional<fs::path> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((fs::path(folder) / program).c_str(), X_OK) == 0)
            return fs::path(folder) / program;
    return std::nullopt;
}

// A child process in a process group of its own, its standard output and
// error merged into one pipe that a thread collects. Killed with its group
// when it goes, so nothing it started outlives the test.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> args = arguments, env;
        for (const auto& [name, value] : environment)
            env.push_back(name + "=" + value);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        reader_ = std::thread([this, fd = out[0]] { pump(fd); });
    }

    ~Child() {
        closeInput();
        if (!wait(0ms)) {
            ::kill(-pid_, SIGTERM);
            if (!wait(3s)) {
                ::kill(-pid_, SIGKILL);
                wait(3s);
            }
        }
        reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void send(const std::string& text) {
        if (stdin_ >= 0 && ::write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("could not write to the child");
    }
    void closeInput() {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }

    // Waits for the text to appear after what earlier waits consumed.
    bool await(const std::string& text) {
        std::unique_lock lock(mutex_);
        std::size_t found = std::string::npos;
        changed_.wait_for(lock, deadline, [&] {
            found = output_.find(text, mark_);
            return found != std::string::npos || closed_;
        });
        if (found == std::string::npos)
            return false;
        mark_ = found + text.size();
        return true;
    }

    // The exit status (128 + signal when killed), or none while it still runs.
    // Whatever it left running in its group is killed before it is reaped,
    // while the group's number is still its own.
    std::optional<int> wait(std::chrono::milliseconds limit = deadline) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
                ::kill(-pid_, SIGKILL);
                int status = 0;
                ::waitpid(pid_, &status, 0);
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= until)
                break;
            std::this_thread::sleep_for(20ms);
        }
        return status_;
    }

    std::string output() {
        std::lock_guard lock(mutex_);
        return output_;
    }

private:
    void pump(int fd) {
        char buffer[4096];
        for (;;) {
            ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            std::lock_guard lock(mutex_);
            if (count <= 0) {
                closed_ = true;
                changed_.notify_all();
                break;
            }
            output_.append(buffer, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
        ::close(fd);
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::size_t mark_ = 0;
    bool closed_ = false;
};

// A loopback port nobody listens on at the moment of asking.
int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

bool eventually(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// One task as a CalDAV client sees it, read with libical.
struct Task {
    std::string summary;
    std::optional<std::string> description;
    std::optional<std::string> due;  // as written, "VALUE=DATE:" in front of a date
    std::vector<std::string> alarms; // action and trigger of each
    bool operator==(const Task&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Task& task) {
    out << "{summary «" << task.summary << "», description «" << task.description.value_or("(none)") << "», due "
        << task.due.value_or("(none)") << ", alarms";
    for (const auto& alarm : task.alarms)
        out << " " << alarm;
    return out << "}";
}

std::string owned(char* text) {
    std::string copy = text ? text : "";
    icalmemory_free_buffer(text);
    return copy;
}

// Every VTODO in the folder's .ics files, by UID.
std::map<std::string, Task> readTasks(const fs::path& folder) {
    std::map<std::string, Task> tasks;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".ics")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        icalcomponent* calendar = icalparser_parse_string(text.c_str());
        icalcomponent* todo = calendar ? icalcomponent_get_first_component(calendar, ICAL_VTODO_COMPONENT) : nullptr;
        if (!todo) {
            ADD_FAILURE() << entry.path() << " holds no task:\n" << text;
            if (calendar)
                icalcomponent_free(calendar);
            continue;
        }
        Task task;
        if (const char* summary = icalcomponent_get_summary(todo))
            task.summary = summary;
        if (const char* description = icalcomponent_get_description(todo))
            task.description = description;
        if (icalproperty* due = icalcomponent_get_first_property(todo, ICAL_DUE_PROPERTY)) {
            const icaltimetype time = icalproperty_get_due(due);
            EXPECT_EQ(icalproperty_get_first_parameter(due, ICAL_TZID_PARAMETER), nullptr) << "a floating due time";
            task.due = (time.is_date ? "VALUE=DATE:" : "") + owned(icaltime_as_ical_string_r(time));
        }
        for (icalcomponent* alarm = icalcomponent_get_first_component(todo, ICAL_VALARM_COMPONENT); alarm;
             alarm = icalcomponent_get_next_component(todo, ICAL_VALARM_COMPONENT)) {
            icalproperty* action = icalcomponent_get_first_property(alarm, ICAL_ACTION_PROPERTY);
            icalproperty* trigger = icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY);
            task.alarms.push_back((action ? owned(icalproperty_get_value_as_string_r(action)) : "(no action)") + " " +
                                  (trigger ? owned(icalproperty_get_value_as_string_r(trigger)) : "(no trigger)"));
        }
        const char* uid = icalcomponent_get_uid(todo);
        EXPECT_TRUE(uid && tasks.emplace(uid, task).second) << "missing or repeated UID in " << entry.path();
        icalcomponent_free(calendar);
    }
    return tasks;
}

} // namespace

TEST(CalDavRoundTrip, WhatTheAgentFilesComesBackFromTheServerUnchanged) {
    const auto vdirsyncer = onPath("vdirsyncer");
    const auto radicale = onPath("radicale");
    ASSERT_TRUE(vdirsyncer) << "vdirsyncer is not installed (scripts/setup installs it)";
    ASSERT_TRUE(radicale) << "radicale is not installed (scripts/setup installs it)";
    const fs::path agentPath = buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent";
    ASSERT_TRUE(fs::exists(agentPath)) << agentPath << " is not built";

    TempFolder temp;
    const fs::path root = temp.path();
    for (const char* folder : {"home", "data", "config", "cache", "run", "calendars/reminders", "back", "status", "server"})
        fs::create_directories(root / folder);
    fs::permissions(root / "run", fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(root / "calendars/reminders/displayname") << "Reminders";
    fs::create_directories(root / "config/Tavrelin");
    std::ofstream(root / "config/Tavrelin/Tavrelin.ini") << "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n";

    // Items of every kind, by title.
    const std::string longTitle = "A long title that iCalendar folds over several lines: " + std::string(20, 'x') +
                                  " — ünïcödé, “quotes”, 日本語のテキスト, and 🎉 emoji across the fold";
    const json items = json::array({
        {{"title", "Call the dentist"}, {"dueIso", "2030-05-04T09:30:00Z"}, {"allDay", false}},
        {{"title", "Pay the rent"}, {"dueIso", "2030-06-01"}, {"allDay", true}},
        {{"title", "Pack for the trip"},
         {"notes", "Passport, charger; adapter\nSunscreen: SPF 50\r\nTab\there \\ back\\slash"},
         {"dueIso", "2030-07-14T18:05"},
         {"allDay", false}},
        {{"title", "Café “Zoë” — naïve résumé; a,b:c \\ d 🎉"},
         {"notes", "Ünïcödé ✓ — “quoted”, semi;colon, comma, colon: and emoji 🧾"},
         {"dueIso", "2030-08-01"},
         {"allDay", true}},
        {{"title", "Out of range"}, {"dueIso", "2024-13-45T25:75"}, {"allDay", false}},
        {{"title", "Past what a calendar file holds"}, {"dueIso", "3001-01-01"}, {"allDay", true}},
        {{"title", "Unreadable date"}, {"dueIso", "next Tuesday"}, {"allDay", false}},
        {{"title", "Someday, maybe"}, {"notes", "no due date"}, {"allDay", false}},
        {{"title", ""}, {"notes", "An item without a title"}, {"dueIso", "2030-09-09T08:00"}, {"allDay", false}},
        {{"title", longTitle}, {"notes", std::string(200, 'n')}, {"dueIso", "2030-12-31T23:59"}, {"allDay", false}},
    });

    // The agent files them.
    {
        tavrelin::curl::CurlHttp http;
        const std::string token = "rk_caldavroundtrip01";
        tavrelin::testing::DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, http, true);
        json queued = json::array();
        for (json item : items) {
            item["list"] = "Reminders";
            queued.push_back(item);
        }
        relay.post("/dev/enqueue", queued);

        std::map<std::string, std::string> environment = {
            {"HOME", (root / "home").string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_CACHE_HOME", (root / "cache").string()},
            {"XDG_RUNTIME_DIR", (root / "run").string()},
            {"TAVRELIN_REMINDERS_DIR", (root / "calendars").string()},
            {"PATH", "/usr/bin:/bin"},
            // Alarms are absolute, due times floating: a zone away from UTC tells them apart.
            {"TZ", "America/New_York"},
        };
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                environment[name] = value;
        Child agent({agentPath.string(), "--headless", std::string("tavrelin://pair?token=") + token + "&api=" + relay.api()},
                    environment);
        ASSERT_TRUE(agent.await("Let this Mac collect your reminders?")) << agent.output();
        agent.send("1\n");
        ASSERT_TRUE(agent.await("Tavrelin is paired")) << agent.output();
        agent.send("1\n");
        ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); }))
            << "not everything was delivered:\n"
            << agent.output();
        agent.send("quit\n");
        ASSERT_EQ(agent.wait(), 0) << agent.output();
    }
    const auto filed = readTasks(root / "calendars/reminders");
    ASSERT_EQ(filed.size(), items.size());

    // The server, on loopback, with one test user.
    const int port = freePort();
    std::ofstream(root / "htpasswd") << "tavrelin:roundtrip\n";
    const std::map<std::string, std::string> toolEnvironment = {
        {"HOME", (root / "home").string()}, {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
    Child server({radicale->string(), "--config", "", "--server-hosts", "127.0.0.1:" + std::to_string(port), "--auth-type",
                  "htpasswd", "--auth-htpasswd-filename", (root / "htpasswd").string(), "--auth-htpasswd-encryption", "plain",
                  "--rights-type", "owner_only", "--storage-filesystem-folder", (root / "server").string()},
                 toolEnvironment);
    ASSERT_TRUE(eventually([&] { return accepts(port) || server.wait(0ms); })) << server.output();
    ASSERT_FALSE(server.wait(0ms)) << "radicale stopped:\n" << server.output();

    // Up from the agent's vdir, down into a second one; titles travel as metadata.
    const std::string config = (root / "vdirsyncer.conf").string();
    std::ofstream(config) << "[general]\n"
                          << "status_path = \"" << (root / "status").string() << "/\"\n"
                          << "[pair up]\na = \"agent\"\nb = \"server\"\ncollections = [\"from a\"]\n"
                          << "metadata = [\"displayname\"]\nconflict_resolution = \"a wins\"\n"
                          << "[pair down]\na = \"server\"\nb = \"back\"\ncollections = [\"from a\"]\n"
                          << "metadata = [\"displayname\"]\nconflict_resolution = \"a wins\"\n"
                          << "[storage agent]\ntype = \"filesystem\"\npath = \"" << (root / "calendars").string()
                          << "/\"\nfileext = \".ics\"\n"
                          << "[storage back]\ntype = \"filesystem\"\npath = \"" << (root / "back").string()
                          << "/\"\nfileext = \".ics\"\n"
                          << "[storage server]\ntype = \"caldav\"\nurl = \"http://127.0.0.1:" << port
                          << "/\"\nusername = \"tavrelin\"\npassword = \"roundtrip\"\n";
    for (const char* step : {"discover up", "sync up", "metasync up", "discover down", "sync down", "metasync down"}) {
        std::vector<std::string> arguments = {vdirsyncer->string(), "--config", config};
        std::stringstream words(step);
        for (std::string word; words >> word;)
            arguments.push_back(word);
        Child sync(arguments, toolEnvironment);
        sync.send("y\ny\n"); // create the collection where it is missing
        sync.closeInput();
        const auto status = sync.wait();
        ASSERT_EQ(status, 0) << "vdirsyncer " << step << ":\n" << sync.output() << "\nradicale:\n" << server.output();
        EXPECT_EQ(sync.output().find("error"), std::string::npos) << "vdirsyncer " << step << ":\n" << sync.output();
    }

    // The same tasks on both sides, the list's title included.
    ASSERT_TRUE(fs::exists(root / "back/reminders")) << "nothing came back";
    const auto back = readTasks(root / "back/reminders");
    EXPECT_EQ(back, filed);
    std::ifstream displayName(root / "back/reminders/displayname");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(displayName)), {}), "Reminders");

    // And they are the items that were sent.
    std::map<std::string, Task> byTitle;
    for (const auto& [uid, task] : back)
        byTitle[task.summary] = task;
    for (const auto& item : items)
        EXPECT_TRUE(byTitle.count(item["title"])) << item["title"] << " did not come back";
    const auto& dentist = byTitle["Call the dentist"];
    EXPECT_EQ(dentist.due, "20300504T093000");
    // 09:30 in New York, daylight saving time.
    EXPECT_EQ(dentist.alarms, std::vector<std::string>{"DISPLAY 20300504T133000Z"});
    EXPECT_EQ(byTitle["Pay the rent"].due, "VALUE=DATE:20300601");
    EXPECT_TRUE(byTitle["Pay the rent"].alarms.empty());
    EXPECT_EQ(byTitle["Pack for the trip"].description,
              "Passport, charger; adapter\nSunscreen: SPF 50\nTab\there \\ back\\slash");
    // Month 13, day 45, 25:75 carry over as a calendar does.
    EXPECT_EQ(byTitle["Out of range"].due, "20250215T021500");
    EXPECT_FALSE(byTitle["Past what a calendar file holds"].due);
    EXPECT_FALSE(byTitle["Unreadable date"].due);
    EXPECT_EQ(byTitle[longTitle].description, std::string(200, 'n'));
    EXPECT_EQ(byTitle[""].due, "20300909T080000");
}
