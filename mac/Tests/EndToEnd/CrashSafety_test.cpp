// The built agent killed with SIGKILL, again and again, at seeded random
// moments while it delivers a long queue from the dev relay. At the end the
// queue is empty and every item is in its list exactly once, whole, with no
// temporary file left, and a vdir reader reads every list.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/DevRelayProcess.h"
#include "Support/VdirFixture.h"

#include <libical/ical.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif

// Sanitizer builds run the agent several times slower: fewer items, as many kills.
#ifdef SANITIZED_BUILD
constexpr int itemCount = 400;
#else
constexpr int itemCount = 2000;
#endif
constexpr int killCount = 12;
constexpr std::uint32_t seed = 20261206;
constexpr auto runDeadline = 60s;

// The agent, headless, with its log on a pipe whose buffer is kept small, so
// that what the test has read of the log is close to where the agent is.
class Agent {
public:
    Agent(const fs::path& program, const std::map<std::string, std::string>& environment) {
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        ::fcntl(err[0], F_SETPIPE_SZ, 4096);
        std::vector<std::string> env;
        for (const auto& [name, value] : environment)
            env.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string path = program.string(), headless = "--headless";
        char* argv[] = {path.data(), headless.data(), nullptr};
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err[1], 2);
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        ::close(err[1]);
        log_ = err[0];
    }
    ~Agent() {
        if (pid_ > 0)
            kill(SIGKILL);
        ::close(log_);
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Reads the log until `done` holds for a line (or, called with an empty
    // line every 50 ms, for no line); false at the deadline or when the log ends.
    bool readUntil(const std::function<bool(const std::string& line)>& done) {
        const auto until = std::chrono::steady_clock::now() + runDeadline;
        while (std::chrono::steady_clock::now() < until) {
            pollfd ready{log_, POLLIN, 0};
            if (::poll(&ready, 1, 50) > 0) {
                char buffer[512];
                ssize_t count = ::read(log_, buffer, sizeof buffer);
                if (count <= 0)
                    return false;
                pending_.append(buffer, static_cast<std::size_t>(count));
                for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
                    std::string line = pending_.substr(0, end);
                    pending_.erase(0, end + 1);
                    text_ += line + "\n";
                    if (done(line))
                        return true;
                }
            } else if (done("")) {
                return true;
            }
        }
        return false;
    }

    // Sends the signal and reaps the agent; answers how it ended.
    int kill(int signal) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const std::string& log() const { return text_; }

private:
    pid_t pid_ = -1;
    int log_ = -1;
    std::string pending_, text_;
};

std::string titleOf(int i) {
    return "Crash item " + std::to_string(i) + ", with; punctuation";
}

// Writable tmpfs when there is one: a kill tests the process, not the disk,
// and the page cache is what a killed process leaves behind either way.
fs::path scratchBase() {
    if (::access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

struct Filed {
    std::map<std::string, std::vector<std::string>> uidsByList; // folder → UIDs of its .ics files
    std::vector<std::string> problems;                          // partial, misnamed or temporary files
};

Filed inspect(const fs::path& root) {
    Filed filed;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name == "displayname")
            continue;
        if (entry.path().extension() != ".ics") {
            filed.problems.push_back("left over: " + name);
            continue;
        }
        const std::string text = readFile(entry.path().string());
        icalcomponent* calendar = icalparser_parse_string(text.c_str());
        icalcomponent* todo = calendar ? icalcomponent_get_first_component(calendar, ICAL_VTODO_COMPONENT) : nullptr;
        const char* uid = todo ? icalcomponent_get_uid(todo) : nullptr;
        if (!uid || !icalcomponent_get_summary(todo) || uid + std::string(".ics") != name ||
            text.find("END:VCALENDAR") == std::string::npos)
            filed.problems.push_back("partial: " + name);
        else
            filed.uidsByList[entry.path().parent_path().filename().string()].push_back(uid);
        if (calendar)
            icalcomponent_free(calendar);
    }
    return filed;
}

} // namespace

TEST(CrashSafety, KilledDuringDeliveryEveryItemEndsUpOnDiskExactlyOnce) {
    const char* build = std::getenv("TAVRELIN_BUILD_DIR");
    ASSERT_TRUE(build) << "TAVRELIN_BUILD_DIR is not set";
    const fs::path agentPath = fs::path(build) / "Tavrelin.app/Contents/MacOS/tavrelin-agent";
    ASSERT_TRUE(fs::exists(agentPath)) << agentPath << " is not built";

    std::string pattern = (scratchBase() / "tavrelin-crash-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{pattern};
    const fs::path top = pattern, lists = top / "calendars";
    makeList(lists, "home", "Home");
    makeList(lists, "work", "Work");
    for (const char* folder : {"home", "cache", "run", "config/Tavrelin", "data/Tavrelin"})
        fs::create_directories(top / folder);
    fs::permissions(top / "run", fs::perms::owner_all, fs::perm_options::replace);
    writeText(top / "config/Tavrelin/Tavrelin.ini", "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n"
                                                    "com.tavrelin.mac.hasShownWelcome=true\n");

    const std::string token = "rk_crashsafety000001";
    curl::CurlHttp http;
    DevRelayProcess relay(fs::path(build) / "tools/dev-relay", token, http, true);
    // Paired before the first launch, so every launch restores the pairing and polls at once.
    writeText(top / "data/Tavrelin/pairing.json", json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());
    json items = json::array();
    for (int i = 0; i < itemCount; ++i)
        items.push_back({{"id", "crash-" + std::to_string(i)},
                         {"title", titleOf(i)},
                         {"dueIso", "2026-12-07T14:30:00Z"},
                         {"allDay", i % 3 == 0},
                         {"list", i % 2 ? "Home" : "Work"}});
    relay.post("/dev/enqueue", items);
    auto acknowledged = [&] { return relay.get("/dev/state").at("tokens").at(0).at("acks").size(); };
    auto pending = [&] { return relay.get("/dev/stats").at("pending").at(0).get<int>(); };

    std::map<std::string, std::string> environment{
        {"HOME", (top / "home").string()},
        {"XDG_DATA_HOME", (top / "data").string()},
        {"XDG_CONFIG_HOME", (top / "config").string()},
        {"XDG_CACHE_HOME", (top / "cache").string()},
        {"XDG_RUNTIME_DIR", (top / "run").string()},
        {"TAVRELIN_REMINDERS_DIR", lists.string()},
        {"PATH", "/usr/bin:/bin"},
        {"TZ", "UTC"},
    };
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment[name] = value;

    // Each launch goes over the whole queue again (nothing is acknowledged
    // before a poll ends), so a kill after a random number of "delivered"
    // lines lands anywhere in it: among items filed before, or new ones. The
    // last stretch is kept clear, so that no kill comes after the acknowledgement.
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(1, itemCount - itemCount / 10);
    int kills = 0;
    for (int round = 0; round < killCount; ++round) {
        const int target = moment(random);
        Agent agent(agentPath, environment);
        int delivered = 0;
        ASSERT_TRUE(agent.readUntil([&](const std::string& line) {
            return line.find(" info delivered ") != std::string::npos && ++delivered >= target;
        })) << "round "
            << round << " never reached " << target << " deliveries; log:\n"
            << agent.log();
        EXPECT_EQ(agent.kill(SIGKILL), 128 + SIGKILL);
        ++kills;
        ASSERT_EQ(acknowledged(), 0u) << "round " << round << ": the kill came after the acknowledgement";
    }

    // One launch left alone: it finishes the delivery, and removes what a
    // write killed in its middle left (on tmpfs the window is too short to hit).
    writeText(lists / "home" / ".tavrelin-0123456789abcdef.tmp", "BEGIN:VCALENDAR\r\nBEGIN:VTO");
    {
        Agent agent(agentPath, environment);
        ASSERT_TRUE(agent.readUntil([&](const std::string& line) { return line.empty() && pending() == 0; }))
            << "the queue did not drain; log:\n"
            << agent.log();
        EXPECT_EQ(agent.kill(SIGTERM), 0);
    }

    Filed filed = inspect(lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.size() << " problems, the first: " << filed.problems.front();
    std::map<std::string, int> copies;
    std::size_t files = 0;
    for (const auto& [list, uids] : filed.uidsByList)
        for (const auto& uid : uids) {
            ++copies[list + "/" + uid];
            ++files;
        }
    const std::size_t duplicates = files - copies.size();
    int missing = 0;
    for (int i = 0; i < itemCount; ++i) {
        const std::string where = std::string(i % 2 ? "home" : "work") + "/" +
                                  posix::deliveryUid("127.0.0.1\n" + std::string("crash-") + std::to_string(i));
        if (copies[where] != 1)
            ++missing;
    }
    std::printf("[ crash safety ] %d items, %d kills, %zu files, %zu duplicates, %d missing\n", itemCount, kills, files,
                duplicates, missing);
    EXPECT_GE(kills, 10);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(files, static_cast<std::size_t>(itemCount));
    EXPECT_EQ(acknowledged(), 1u);

    const std::string reader = ::access("/usr/bin/todo", X_OK) == 0 ? "/usr/bin/todo" : "/usr/bin/todoman";
    writeText(top / "todoman.py", "path = '" + (lists / "*").string() + "'\ncache_path = '" +
                                      (top / "todoman.sqlite3").string() +
                                      "'\ndate_format = '%Y-%m-%d'\ntime_format = '%H:%M'\ndt_separator = ' '\n");
    FILE* pipe = ::popen((reader + " --config '" + (top / "todoman.py").string() + "' --porcelain list 2>&1").c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string output;
    char buffer[65536];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    ASSERT_EQ(::pclose(pipe), 0) << output.substr(0, 2000);
    std::map<std::string, int> perList;
    for (const auto& task : json::parse(output))
        ++perList[task.at("list").get<std::string>()];
    EXPECT_EQ(perList, (std::map<std::string, int>{{"Home", itemCount / 2}, {"Work", itemCount - itemCount / 2}}));
}
