// Delivery is at-least-once: an item is acknowledged only once its reminder is
// whole on disk. The real module, store, vdir and relay client over curl
// against the dev relay; the task lists are read at the moment each
// acknowledgement is about to leave.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/AgentProcess.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersModule.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using nlohmann::json;

namespace {

TEST(DeliveryOrder, AnItemIsAcknowledgedOnlyOnceWholeOnDiskAndComesBackWithoutAnotherCopy) {
    TempFolder temp;
    const std::filesystem::path root = temp / "calendars";
    makeList(root, "home", "Home");
    makeList(root, "work", "Work");
    const std::string token = "rk_deliveryorder0001";
    curl::CurlHttp curl;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, curl, true);
    // Every exchange goes to the real adapter; the lists are read just before an acknowledgement leaves.
    std::vector<std::pair<std::vector<std::string>, Filed>> acks;
    auto session = curl.makeSession({});
    fake::FakeHttp http;
    http.responder = [&](const platform::HttpRequest& request) {
        if (request.url.ends_with("/relay/device/ack"))
            acks.emplace_back(json::parse(request.body).at("ids"), readLists(root));
        return session->perform(request);
    };
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    posix::PosixFiles files;
    vdir::VdirRemindersDatabase reminders{root.string(), files};
    SyncState state{clock};
    auto module = std::make_shared<RemindersModule>(mainLoop, clock, http, appInfo, reminders, state);

    json items = json::array();
    std::vector<std::string> deliverable;
    for (int i = 0; i < 40; ++i) {
        deliverable.push_back("it-" + std::to_string(i));
        items.push_back({{"id", deliverable.back()},
                         {"title", deliverable.back()},
                         {"dueIso", i % 2 ? "2026-12-07T14:30:00Z" : "2026-13-07"},
                         {"allDay", i % 2 == 0},
                         {"list", i % 2 ? "Home" : "Work"}});
    }
    items.push_back({{"id", "no-such-list"}, {"title", "x"}, {"allDay", false}, {"list", "Nowhere"}});
    items.push_back({{"id", "no-list"}, {"title", "y"}, {"allDay", false}});
    relay.post("/dev/enqueue", items);
    relay.post("/dev/fault", {{"status", 503}, {"path", "/relay/device/ack"}});
    auto pending = [&] { return relay.get("/dev/state").at("tokens").at(0).at("pending").size(); };

    // Written, the acknowledgement refused: everything still waits on the relay.
    module->start(Pairing{relay.api(), token, clock.now()});
    mainLoop.drain();
    EXPECT_EQ(pending(), items.size());

    // It comes back, and is acknowledged without being written twice.
    module->syncNow();
    mainLoop.drain();
    EXPECT_EQ(state.deliveredThisSession(), 40);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].first, deliverable);
    for (const auto& [ids, disk] : acks) {
        EXPECT_TRUE(disk.problems.empty()) << disk.problems.front();
        std::map<std::string, int> copies;
        for (const auto& [key, task] : disk.tasks)
            ++copies[task.summary];
        for (const auto& id : ids)
            EXPECT_EQ(copies[id], 1) << id << " acknowledged before its file was whole, or written twice";
    }
    EXPECT_EQ(readLists(root).tasks.size(), deliverable.size());
    EXPECT_EQ(relay.get("/dev/state").at("tokens").at(0).at("lastLists"), json({"Home", "Work"}));
    EXPECT_EQ(pending(), 2u);
    module->stop();
}

} // namespace
