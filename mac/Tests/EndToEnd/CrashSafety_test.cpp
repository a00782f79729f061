// Delivery is at-least-once and makes no duplicates: the built agent is killed
// again and again mid-delivery, and an item is acknowledged only once its
// reminder is whole on disk.

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"

#include <gtest/gtest.h>

#include <random>

using namespace tavrelin::testing;
using json = nlohmann::json;

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
