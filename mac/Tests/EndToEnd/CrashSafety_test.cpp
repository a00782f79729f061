// The built agent as real processes. Delivery is at-least-once and makes no
// duplicates: the agent is killed again and again mid-delivery, and an item is
// acknowledged only once its reminder is whole on disk. Exactly one agent per
// user: a later start defers to the running one, a killed one's lock goes with
// it, and a start right after a quit waits for the quitting agent instead of
// running beside it.

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"
#include "Support/LoopbackServer.h"

#include <gtest/gtest.h>

#include <random>

using namespace tavrelin::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;

TEST(CrashSafety, KilledMidDeliveryTheAgentFilesEveryItemExactlyOnceAndAcknowledgesOnlyWhatIsOnDisk) {
    constexpr int itemCount = 300, killCount = 5;
    const std::string token = "rk_deliverysafety001", ackPath = "/relay/device/ack";
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    makeList(home.lists, "home", "Home");
    tavrelin::curl::CurlHttp curl;
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), token, curl, true};
    const auto mine = [&] { return relay.get("/dev/state").at("tokens").at(0); };

    json items = json::array();
    for (int i = 0; i < itemCount; ++i)
        items.push_back({{"id", std::to_string(i)}, {"title", std::to_string(i)}, {"allDay", false}, {"list", "Home"}});
    relay.post("/dev/enqueue", items);
    // Paired before the first launch: every launch restores the pairing and polls at once.
    writeText(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());

    // Each launch goes over the whole queue again (nothing is acknowledged
    // before a poll ends), so a kill after a random number of deliveries lands
    // among items filed before or new ones. A pass over items already filed is
    // quick enough to end before the kill does, so the relay refuses every
    // acknowledgement until the last launch: each round starts from the same
    // queue, as a kill before the acknowledgement would leave it.
    relay.post("/dev/fault", {{"path", ackPath}, {"status", 503}, {"count", killCount}});
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> moment(1, itemCount / 2);
    for (int round = 0; round < killCount; ++round) {
        auto agent = startAgent(home.environment);
        for (int delivered = moment(random); delivered > 0; --delivered)
            ASSERT_TRUE(agent->await(" info delivered ")) << "round " << round << ":\n" << agent->output();
        EXPECT_EQ(agent->kill(SIGKILL), 128 + SIGKILL);
    }
    ASSERT_EQ(mine()["pending"].size(), items.size()); // no killed round acknowledged or removed any
    // The refusals no round used up (each round makes one acknowledgement at most).
    for (int left = killCount; left > 0 && !relay.get("/dev/state")["faults"].empty(); --left)
        EXPECT_THROW(relay.post(ackPath, json::object()), std::runtime_error);
    ASSERT_TRUE(relay.get("/dev/state")["faults"].empty()) << "a refusal the relay should have used up";

    // One launch left alone finishes. The relay holds its acknowledgement a
    // while once received, and the lists are read meanwhile. What a write
    // killed in its middle would leave is planted (too short a window to hit
    // by chance) and must be gone.
    writeText(home.lists / "home/.tavrelin-0123456789abcdef.tmp", "BEGIN:VCALENDAR\r\nBEGIN:VTO");
    relay.post("/dev/fault", {{"path", ackPath}, {"delayMs", 2000}});
    const auto requests = [&] { return relay.get("/dev/stats")["requestCount"].get<int>(); };
    const int before = requests();
    auto agent = startAgent(home.environment);
    // Its poll, then its acknowledgement.
    ASSERT_TRUE(eventually([&] { return requests() >= before + 2; })) << agent->output();
    ASSERT_TRUE(mine()["acks"].empty()) << "the relay did not hold the acknowledgement";
    const Filed filed = readLists(home.lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.front();
    // As many files as items: each item once, as a file is named after its item.
    EXPECT_EQ(filed.tasks.size(), itemCount);

    ASSERT_TRUE(eventually([&] { return mine()["pending"].empty(); })) << agent->output();
    // The relay's token is in its pairing link and nowhere else in its output,
    // and device requests need it. Given none, the relay makes one up; it
    // will not listen beyond loopback.
    const std::string output = relay.process().output();
    EXPECT_EQ(output.find(token), output.rfind(token)) << output;
    EXPECT_THROW(relay.get("/relay/device/pending"), std::runtime_error);
    Child generated({(buildDir() / "tools/dev-relay").string()}),
        refused({(buildDir() / "tools/dev-relay").string(), "--host", "0.0.0.0"});
    EXPECT_TRUE(generated.await("tavrelin://pair?token=rk_"));
    EXPECT_EQ(refused.wait(), 2);
}

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
