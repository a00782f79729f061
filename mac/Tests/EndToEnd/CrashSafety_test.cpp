// Delivery is at-least-once and makes no duplicates: an item is acknowledged
// only once its reminder is whole on disk, and comes back until then. The
// built agent is killed again and again mid-delivery; the module itself, on
// the fake main loop, is watched at the moment each acknowledgement leaves.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/AgentProcess.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersModule.h"

#include <gtest/gtest.h>

#include <random>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;

// Items "item-0"… for the lists Work and Home in turn; one in three all-day,
// with a date a calendar carries over.
json items(int count) {
    json items = json::array();
    for (int i = 0; i < count; ++i)
        items.push_back({{"id", "item-" + std::to_string(i)},
                         {"title", "item-" + std::to_string(i) + ", with; punctuation"},
                         {"dueIso", i % 3 ? "2026-12-07T14:30:00Z" : "2026-13-07"},
                         {"allDay", i % 3 == 0},
                         {"list", i % 2 ? "Home" : "Work"}});
    return items;
}

// Lists Home and Work, and the dev relay for one token.
struct Delivery : ::testing::Test {
    void SetUp() override {
        makeList(home.lists, "home", "Home");
        makeList(home.lists, "work", "Work");
    }
    json mine() { return relay.get("/dev/state").at("tokens").at(0); }

    const std::string token = "rk_deliverysafety001";
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    curl::CurlHttp curl;
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), token, curl, true};
};

TEST_F(Delivery, AnItemIsAcknowledgedOnlyOnceWholeOnDiskAndComesBackWithoutAnotherCopy) {
    // Every exchange goes to the real adapter; the lists are read just before an acknowledgement leaves.
    std::vector<std::pair<std::vector<std::string>, Filed>> acks;
    auto session = curl.makeSession({});
    fake::FakeHttp http;
    http.responder = [&](const platform::HttpRequest& request) {
        if (request.url.ends_with("/relay/device/ack"))
            acks.emplace_back(json::parse(request.body).at("ids"), readLists(home.lists));
        return session->perform(request);
    };
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    posix::PosixFiles files;
    vdir::VdirRemindersDatabase reminders{home.lists.string(), files};
    SyncState state{clock};
    auto module = std::make_shared<RemindersModule>(mainLoop, clock, http, appInfo, reminders, state);

    json queue = items(40);
    queue.push_back({{"id", "no-such-list"}, {"title", "x"}, {"allDay", false}, {"list", "Nowhere"}});
    queue.push_back({{"id", "no-list"}, {"title", "y"}, {"allDay", false}});
    relay.post("/dev/enqueue", queue);
    relay.post("/dev/fault", {{"status", 503}, {"path", "/relay/device/ack"}});

    // Written, the acknowledgement refused: everything still waits on the relay.
    module->start(Pairing{relay.api(), token, clock.now()});
    mainLoop.drain();
    EXPECT_EQ(mine()["pending"].size(), queue.size());

    // It comes back, and is acknowledged without being written twice.
    module->syncNow();
    mainLoop.drain();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].first.size(), 40u);
    for (const auto& [ids, disk] : acks) {
        EXPECT_TRUE(disk.problems.empty()) << disk.problems.front();
        std::map<std::string, int> copies;
        for (const auto& [key, task] : disk.tasks)
            ++copies[task.summary.substr(0, task.summary.find(','))];
        for (const auto& id : ids)
            EXPECT_EQ(copies[id], 1) << id << " acknowledged before its file was whole, or written twice";
    }
    EXPECT_EQ(readLists(home.lists).tasks.size(), 40u);
    EXPECT_EQ(mine()["pending"].size(), 2u);
    module->stop();
}

TEST_F(Delivery, KilledMidDeliveryTheAgentFilesEveryItemExactlyOnce) {
    constexpr int itemCount = 300, killCount = 5;
    // Paired before the first launch: every launch restores the pairing and polls at once.
    writeText(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());
    relay.post("/dev/enqueue", items(itemCount));

    // Each launch goes over the whole queue again (nothing is acknowledged
    // before a poll ends), so a kill after a random number of deliveries lands
    // among items filed before or new ones. A pass over items already filed is
    // quick enough to end before the kill does, so the relay refuses every
    // acknowledgement until the last launch: each round starts from the same
    // queue, as a kill before the acknowledgement would leave it.
    relay.post("/dev/fault", {{"path", "/relay/device/ack"}, {"status", 503}, {"count", killCount}});
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> moment(1, itemCount / 2);
    for (int round = 0; round < killCount; ++round) {
        auto agent = home.start();
        for (int delivered = moment(random); delivered > 0; --delivered)
            ASSERT_TRUE(agent->await(" info delivered ")) << "round " << round << ":\n" << agent->output();
        EXPECT_EQ(agent->kill(SIGKILL), 128 + SIGKILL);
    }
    ASSERT_EQ(mine()["acks"].size(), 0u);
    // The refusals no round used up (each round makes one acknowledgement at most).
    while (!relay.get("/dev/state")["faults"].empty())
        EXPECT_THROW(relay.post("/relay/device/ack", json::object()), std::runtime_error);

    // One launch left alone finishes, and removes what a write killed in its
    // middle would leave (too short a window to hit by chance).
    writeText(home.lists / "home/.tavrelin-0123456789abcdef.tmp", "BEGIN:VCALENDAR\r\nBEGIN:VTO");
    auto agent = home.start();
    ASSERT_TRUE(eventually([&] { return mine()["acks"].size() == 1; })) << agent->output();
    EXPECT_EQ(agent->kill(SIGTERM), 0);

    const Filed filed = readLists(home.lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.front();
    std::map<std::string, int> perList;
    for (const auto& [key, task] : filed.tasks)
        ++perList[task.list];
    EXPECT_EQ(perList, (std::map<std::string, int>{{"home", itemCount / 2}, {"work", itemCount / 2}}));
    EXPECT_TRUE(mine()["pending"].empty());
}
