// The built agent killed with SIGKILL, again and again, at seeded random
// moments while it delivers a long queue from the dev relay. At the end the
// queue is empty and every item is in its list exactly once, whole, with no
// temporary file left.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/AgentProcess.h"

#include <gtest/gtest.h>

#include <random>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;

TEST(CrashSafety, KilledDuringDeliveryEveryItemEndsUpOnDiskExactlyOnce) {
    constexpr int itemCount = 300, killCount = 5;
    AgentHome home("com.tavrelin.mac.hasShownWelcome=true\n");
    makeList(home.lists, "home", "Home");
    makeList(home.lists, "work", "Work");
    const std::string token = "rk_crashsafety000001";
    curl::CurlHttp http;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, http, true);
    // Paired before the first launch: every launch restores the pairing and polls at once.
    writeText(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());
    json items = json::array();
    for (int i = 0; i < itemCount; ++i)
        items.push_back({{"id", "crash-" + std::to_string(i)},
                         {"title", "Crash item " + std::to_string(i) + ", with; punctuation"},
                         {"dueIso", "2026-12-07T14:30:00Z"},
                         {"allDay", i % 3 == 0},
                         {"list", i % 2 ? "Home" : "Work"}});
    relay.post("/dev/enqueue", items);
    auto acknowledged = [&] { return relay.get("/dev/state").at("tokens").at(0).at("acks").size(); };

    // Each launch goes over the whole queue again (nothing is acknowledged
    // before a poll ends), so a kill after a random number of deliveries lands
    // among items filed before or new ones; the last stretch is kept clear.
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> moment(1, itemCount - itemCount / 10);
    for (int round = 0; round < killCount; ++round) {
        auto agent = home.start();
        for (int delivered = moment(random); delivered > 0; --delivered)
            ASSERT_TRUE(agent->await(" info delivered ")) << "round " << round << ":\n" << agent->output();
        EXPECT_EQ(agent->kill(SIGKILL), 128 + SIGKILL);
        ASSERT_EQ(acknowledged(), 0u) << "round " << round << ": the kill came after the acknowledgement";
    }

    // One launch left alone finishes, and removes what a write killed in its
    // middle would leave (too short a window to hit by chance).
    writeText(home.lists / "home/.tavrelin-0123456789abcdef.tmp", "BEGIN:VCALENDAR\r\nBEGIN:VTO");
    auto agent = home.start();
    ASSERT_TRUE(eventually([&] { return acknowledged() == 1; })) << agent->output();
    EXPECT_EQ(agent->kill(SIGTERM), 0);

    const Filed filed = readLists(home.lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.front();
    EXPECT_EQ(filed.tasks.size(), static_cast<std::size_t>(itemCount));
    for (int i = 0; i < itemCount; ++i)
        EXPECT_EQ(filed.tasks.count(std::string(i % 2 ? "home/" : "work/") +
                                    posix::deliveryUid("127.0.0.1\ncrash-" + std::to_string(i))),
                  1u)
            << i;
    EXPECT_TRUE(relay.get("/dev/state").at("tokens").at(0).at("pending").empty());
}
