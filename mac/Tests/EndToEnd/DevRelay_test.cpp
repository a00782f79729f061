// The built development relay as a process, driven by the relay client over
// curl and through its development endpoints.

#include "Platform/Curl/CurlHttp.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tavrelin;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string relayProgram() {
    const char* build = std::getenv("TAVRELIN_BUILD_DIR");
    return std::string(build ? build : "build") + "/tools/dev-relay";
}

// Runs dev-relay with `args`; stdout's first line is kept, stderr goes to a file.
class RelayProcess {
public:
    explicit RelayProcess(std::vector<std::string> args) {
        static std::atomic<int> serial = 0;
        stderrPath_ = (std::filesystem::temp_directory_path() /
                       ("dev-relay-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".err"))
                          .string();
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        args.insert(args.begin(), relayProgram());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            close(out[0]);
            pid_ = -1;
            throw std::runtime_error("could not start " + args[0] + " (build the dev-relay target)");
        }
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line_.push_back(c);
        close(out[0]);
    }
    ~RelayProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove(stderrPath_);
    }
    // Waits for the process to end by itself; its exit status.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string stderrText() const {
        std::ifstream in(stderrPath_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::string& line() const { return line_; }
    std::string api() const { return line_.substr(line_.find("&api=") + 5); }

private:
    pid_t pid_ = -1;
    std::string line_;
    std::string stderrPath_;
};

const std::string tokenA = "rk_devrelaytest_a";
const std::string tokenB = "rk_devrelaytest_b";

struct DevRelayTest : ::testing::Test {
    RelayProcess relay{{"--token", tokenA, "--token", tokenB}};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    std::unique_ptr<platform::HttpSession> dev = http.makeSession({});

    RelayClient client(const std::string& token = tokenA, platform::HttpSessionConfig config = {}) {
        return RelayClient(Pairing{relay.api(), token, {}}, http, appInfo, config);
    }
    json call(const std::string& method, const std::string& path, const json& body = nullptr, long expect = 200) {
        auto response = dev->perform({method, relay.api() + path, {}, body.is_null() ? "" : body.dump()});
        EXPECT_EQ(response.status, expect) << path << " " << response.body;
        return json::parse(response.body);
    }
    static RelayError errorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const RelayError& error) {
            return error;
        }
        ADD_FAILURE() << "no RelayError";
        return RelayError::malformed("none");
    }
};

TEST_F(DevRelayTest, QueuesUntilAcknowledgedPerToken) {
    call("POST", "/dev/enqueue",
         json::array({{{"id", "a1"}, {"title", "One"}, {"allDay", true}, {"list", "Home"}},
                      {{"title", "Two"}, {"allDay", false}, {"dueIso", "2026-12-07T09:30"}}}));
    call("POST", "/dev/enqueue?token=" + tokenB, {{"id", "b1"}, {"title", "Other"}, {"allDay", true}});
    call("POST", "/dev/enqueue?token=rk_unknown_token", {{"title", "x"}, {"allDay", true}}, 404);

    auto a = client();
    auto items = a.fetchPending();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (RelayItem{"a1", "One", std::nullopt, std::nullopt, true, "Home"}));
    EXPECT_EQ(items[1].title, "Two");
    EXPECT_EQ(items[1].dueIso, "2026-12-07T09:30");
    EXPECT_FALSE(items[1].id.empty()); // given one by the relay

    a.ack({"a1"}, {"Home", "Work"});
    items = a.fetchPending(); // the unacknowledged one is offered again
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].title, "Two");
    EXPECT_EQ(client(tokenB).fetchPending().at(0).id, "b1");
    EXPECT_EQ(errorOf([&] { client("rk_unknown_token").fetchPending(); }).kind(), RelayError::Kind::unauthorized);

    json state = call("GET", "/dev/state");
    EXPECT_EQ(state["tokens"][0]["lastLists"], json::array({"Home", "Work"}));
    EXPECT_EQ(state["tokens"][0]["acks"], json::array({{{"ids", {"a1"}}, {"lists", {"Home", "Work"}}}}));
    EXPECT_TRUE(state["tokens"][1]["lastLists"].is_null());
    const json& log = state["requests"];
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1]["method"], "POST");
    EXPECT_EQ(log[1]["body"], R"({"ids":["a1"],"lists":["Home","Work"]})");
    EXPECT_EQ(log[1]["headers"]["Content-Type"], "application/json");
    EXPECT_EQ(log[0]["headers"]["User-Agent"], "TavrelinMac/1.4.2");
    // One client, one connection, across its three exchanges.
    EXPECT_EQ(log[0]["client"], log[2]["client"]);

    call("POST", "/dev/reset");
    state = call("GET", "/dev/stats");
    EXPECT_EQ(state["pending"], json::array({0, 0}));
    EXPECT_EQ(state["requestCount"], 0);
}

TEST_F(DevRelayTest, InjectedFaultsReachTheClientAsTheirKinds) {
    call("POST", "/dev/enqueue", {{"id", "x"}, {"title", "t"}, {"allDay", true}});
    call("POST", "/dev/fault", {{"status", 503}, {"count", 2}});
    call("POST", "/dev/fault", {{"unauthorized", true}});
    call("POST", "/dev/fault", {{"body", "malformed"}});
    call("POST", "/dev/fault", {{"body", "truncated"}});
    call("POST", "/dev/fault", {{"status", 500}, {"path", "/relay/device/ack"}});
    call("POST", "/dev/fault", {{"body", "sideways"}}, 400);

    auto c = client();
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).status(), 503);
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).status(), 503);
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).kind(), RelayError::Kind::unauthorized);
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).kind(), RelayError::Kind::malformed);
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).kind(), RelayError::Kind::malformed);
    EXPECT_EQ(c.fetchPending().size(), 1u); // the ack fault waited for an ack
    EXPECT_EQ(errorOf([&] { c.ack({"x"}, {}); }).status(), 500);
    EXPECT_EQ(c.fetchPending().size(), 1u); // a failed ack removes nothing
    c.ack({"x"}, {});
    EXPECT_TRUE(c.fetchPending().empty());

    // A delay longer than the client's patience.
    call("POST", "/dev/fault", {{"delayMs", 800}});
    RelayError slow = errorOf([&] { client(tokenA, {0.2, 5}).fetchPending(); });
    EXPECT_EQ(slow.kind(), RelayError::Kind::transport);
    EXPECT_TRUE(call("GET", "/dev/state")["faults"].empty());
}

TEST_F(DevRelayTest, PrintsOnlyThePairingLinkAndNeverTheTokenElsewhere) {
    EXPECT_EQ(relay.line(), "tavrelin://pair?token=" + tokenA + "&api=" + relay.api());
    EXPECT_TRUE(std::regex_match(relay.api(), std::regex(R"(http://127\.0\.0\.1:[0-9]+)")));
    client().fetchPending();
    EXPECT_THAT(relay.stderrText(), Not(HasSubstr("rk_")));

    RelayProcess generated({});
    EXPECT_TRUE(std::regex_match(generated.line(),
                                 std::regex(R"(tavrelin://pair\?token=rk_[A-Za-z0-9]{24}&api=http://127\.0\.0\.1:[0-9]+)")))
        << generated.line();

    RelayProcess refused({"--host", "0.0.0.0"});
    EXPECT_EQ(refused.line(), "");
    EXPECT_EQ(refused.wait(), 2);
}

} // namespace
