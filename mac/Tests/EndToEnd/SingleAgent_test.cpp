// Exactly one agent per user, with the built agent as real processes: a later
// start defers to the running one, a killed one's lock goes with it, and a
// start right after a quit waits for the quitting agent instead of running
// beside it.

#include "Support/AgentProcess.h"
#include "Support/LoopbackServer.h"

#include <gtest/gtest.h>

using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

const std::string settings = "com.tavrelin.mac.hasShownWelcome=true\n";
const std::string started = " started\n", anotherRuns = "info another instance is already running; exiting";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What a control command printed and how it ended.
std::pair<int, std::string> control(const AgentHome& home, const std::string& option) {
    auto command = startAgent(home.environment, {option});
    const int status = command->wait().value_or(-1);
    return {status, command->output()};
}

TEST(SingleAgent, ALaterStartDefersToTheRunningAgentAndAKilledOnesLockGoesWithIt) {
    AgentHome home{settings};
    const fs::path socket = home.root / "run/tavrelin-agent.sock";
    EXPECT_EQ(control(home, "--status").first, 1); // nobody runs yet

    auto first = startAgent(home.environment);
    ASSERT_TRUE(first->await(started)) << first->output();
    ASSERT_TRUE(fs::is_socket(socket));

    auto second = startAgent(home.environment);
    EXPECT_EQ(second->wait(), 0);
    EXPECT_TRUE(contains(second->output(), anotherRuns)) << second->output();
    EXPECT_FALSE(contains(second->output(), started)) << second->output();
    EXPECT_TRUE(fs::is_socket(socket)); // the second one left the first's socket alone

    // A link goes to the running agent, which asks about it.
    auto linker = startAgent(home.environment, {"tavrelin://pair?token=rk_0123456789abcdef&api=http://127.0.0.1:9"});
    EXPECT_EQ(linker->wait(), 0);
    EXPECT_TRUE(contains(linker->output(), "handed the link to the running agent")) << linker->output();
    EXPECT_TRUE(first->await("[end]\n")) << first->output();
    first->send("2"); // declined

    const auto [status, line] = control(home, "--status");
    EXPECT_EQ(status, 0) << line;
    EXPECT_EQ(line.rfind("Tavrelin — ", 0), 0u) << line;

    // Killed, it leaves its socket file; the kernel let go of its lock.
    EXPECT_EQ(first->kill(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(fs::exists(socket));
    auto next = startAgent(home.environment);
    ASSERT_TRUE(next->await(started)) << next->output();
    EXPECT_EQ(control(home, "--status").first, 0);
    EXPECT_EQ(control(home, "--quit").first, 0);
    EXPECT_EQ(next->wait(), 0);
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_EQ(control(home, "--quit").first, 1);
}

TEST(SingleAgent, AStartRightAfterAQuitWaitsForTheQuittingAgentWhoseExitIsHeldByAPoll) {
    // A relay that holds every poll for a while: a quitting agent waits for
    // it before it exits.
    Gate held;
    LoopbackServer relay{[&](httplib::Server& server) {
        server.Get(".*", [&](const httplib::Request&, httplib::Response& response) {
            held.pass(std::chrono::seconds(3));
            response.set_content(R"({"items":[]})", "application/json");
        });
    }};
    struct Release {
        Gate& gate;
        ~Release() { gate.open(); } // before the relay stops: it waits for its handlers
    } release{held};

    AgentHome home{settings};
    writeText(home.root / "data/Tavrelin/pairing.json",
              nlohmann::json{{"apiBase", relay.url()}, {"token", "rk_0123456789abcdef"}, {"pairedAt", 0}}.dump());
    std::vector<std::unique_ptr<Child>> agents;
    agents.push_back(startAgent(home.environment));
    ASSERT_TRUE(agents.back()->await(started)) << agents.back()->output();
    constexpr int rounds = 5;
    for (int round = 1; round <= rounds; ++round) {
        ASSERT_TRUE(eventually([&] { return held.arrivals() >= round; })) << "no poll in round " << round;
        // Asked from another process, or from its own terminal.
        if (round % 2) {
            const auto [status, output] = control(home, "--quit");
            ASSERT_EQ(status, 0) << output;
        } else {
            agents.back()->send("quit");
        }
        agents.push_back(startAgent(home.environment)); // at once
        Child& fresh = *agents.back();
        ASSERT_TRUE(fresh.await(started)) << "round " << round << ":\n" << fresh.output();
        EXPECT_FALSE(contains(fresh.output(), anotherRuns)) << fresh.output();
        // The one before let go of the lock as its last act; its process
        // ends right after (later under a leak checker).
        EXPECT_EQ(agents[agents.size() - 2]->wait(), 0) << "round " << round;
    }
    EXPECT_FALSE(agents.back()->wait(std::chrono::milliseconds(0)).has_value());
    EXPECT_TRUE(fs::is_socket(home.root / "run/tavrelin-agent.sock"));
    held.open();
    EXPECT_EQ(control(home, "--status").first, 0);
}

} // namespace
