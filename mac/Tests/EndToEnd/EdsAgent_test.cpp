// The built agent on a session that runs Evolution Data Server: with the
// default backend setting it picks EDS, pairs with the dev relay by a link,
// and files the relay's items into the task list they name.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"
#include "Support/EdsSession.h"
#include "Support/EdsTaskLists.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using tavrelin::testing::EdsSession;
using tavrelin::testing::EdsTaskLists;

fs::path buildDir() {
    const char* dir = std::getenv("TAVRELIN_BUILD_DIR");
    return dir ? fs::path(dir) : fs::current_path();
}

bool eventually(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string contents(const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// The agent, headless, its output in files; killed if the test ends early.
class HeadlessAgent {
public:
    HeadlessAgent(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                  const fs::path& folder)
        : out_(folder / "agent.out"), err_(folder / "agent.err") {
        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> args{(buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string(), "--headless"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> pairs;
        for (const auto& [name, value] : environment)
            pairs.push_back(name + "=" + value);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& p : pairs)
            envp.push_back(p.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        input_ = input[1];
        if (failed)
            throw std::runtime_error("could not start " + args[0]);
    }
    ~HeadlessAgent() {
        if (input_ >= 0)
            ::close(input_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void send(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string out() const { return contents(out_); }
    std::string log() const { return contents(err_); }

    std::optional<int> awaitExit() {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }))
            return std::nullopt;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    int input_ = -1;
};

TEST(EdsAgent, PairsAndFilesIntoEvolutionDataServer) {
    ASSERT_EQ(EdsSession::missing(), "");
    ASSERT_TRUE(fs::exists(buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent")) << "the agent is not built";
    EdsSession session;
    session.enter();
    EdsTaskLists lists;
    std::string reminders = lists.create("Reminders");

    static constexpr const char* token = "rk_agentedsendtoend01";
    tavrelin::curl::CurlHttp http;
    tavrelin::testing::DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, http, true);
    auto ids = relay.post("/dev/enqueue",
                          json::array({
                              {{"title", "Call the dentist"},
                               {"notes", "Bring the forms"},
                               {"dueIso", "2030-05-04T09:30:00"},
                               {"allDay", false},
                               {"list", "Reminders"}},
                              {{"title", "Pay rent"}, {"dueIso", "2030-05-05"}, {"allDay", true}, {"list", "Reminders"}},
                              {{"title", "Milk"}, {"allDay", false}, {"list", "Groceries"}},
                          }))["ids"];

    // The build runs in place: the offer to move it was declined before. No
    // backend setting: auto.
    fs::create_directories(session.root() / "config/Tavrelin");
    std::ofstream(session.root() / "config/Tavrelin/Tavrelin.ini")
        << "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n";
    auto environment = session.environment();
    environment["TZ"] = "UTC";
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment[name] = value;

    std::string link = std::string("tavrelin://pair?token=") + token + "&api=" + relay.api();
    HeadlessAgent agent({link}, environment, session.root());
    // Pair this Mac, then OK.
    for (std::size_t dialog = 1; dialog <= 2; ++dialog) {
        ASSERT_TRUE(eventually([&] { return count(agent.out(), "[end]") >= dialog; })) << agent.out() << agent.log();
        agent.send("1");
    }
    EXPECT_NE(agent.log().find("reminders backend: Evolution Data Server (auto: "), std::string::npos) << agent.log();

    json state;
    ASSERT_TRUE(eventually([&] {
        state = relay.get("/dev/state")["tokens"][0];
        return !state["acks"].empty();
    })) << agent.log();
    EXPECT_EQ(state["acks"][0]["ids"], json::array({ids[0], ids[1]})) << agent.log();
    auto reported = state["acks"][0]["lists"];
    EXPECT_NE(std::find(reported.begin(), reported.end(), "Reminders"), reported.end()) << reported;
    ASSERT_EQ(state["pending"].size(), 1u);
    EXPECT_EQ(state["pending"][0]["id"], ids[2]);

    auto filed = lists.todos(reminders);
    ASSERT_EQ(filed.size(), 2u);
    std::map<std::string, std::string> bySummary;
    for (const auto& [uid, ical] : filed) {
        EXPECT_EQ(uid.rfind("tavrelin-", 0), 0u) << uid;
        bySummary[EdsTaskLists::property(ical, "SUMMARY")] = ical;
    }
    const std::string& timed = bySummary["SUMMARY:Call the dentist"];
    EXPECT_EQ(EdsTaskLists::property(timed, "DESCRIPTION"), "DESCRIPTION:Bring the forms") << timed;
    EXPECT_EQ(EdsTaskLists::property(timed, "DUE"), "DUE:20300504T093000") << timed;
    EXPECT_EQ(EdsTaskLists::property(timed, "VALARM:TRIGGER"), "TRIGGER;VALUE=DATE-TIME:20300504T093000Z") << timed;
    const std::string& allDay = bySummary["SUMMARY:Pay rent"];
    EXPECT_EQ(EdsTaskLists::property(allDay, "DUE"), "DUE;VALUE=DATE:20300505") << allDay;
    EXPECT_EQ(EdsTaskLists::property(allDay, "VALARM:TRIGGER"), "") << allDay;
    // Nothing went to a vdir.
    EXPECT_FALSE(fs::exists(session.root() / "data/calendars"));

    agent.send("quit");
    EXPECT_EQ(agent.awaitExit(), 0) << agent.log();
}

} // namespace
