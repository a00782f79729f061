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

// Passes every exchange to the real adapter; hands an acknowledgement's ids
// to the watcher just before it is sent.
class AckWatchingHttp final : public platform::Http {
public:
    using Watcher = std::function<void(const std::vector<std::string>& ids)>;
    AckWatchingHttp(platform::Http& real, Watcher watcher) : real_(real), watcher_(std::move(watcher)) {}

    std::unique_ptr<platform::HttpSession> makeSession(const platform::HttpSessionConfig& config) override {
        return std::make_unique<Session>(real_.makeSession(config), watcher_);
    }

private:
    struct Session final : platform::HttpSession {
        Session(std::unique_ptr<platform::HttpSession> real, Watcher watcher)
            : real(std::move(real)), watcher(std::move(watcher)) {}
        platform::HttpResponse perform(const platform::HttpRequest& request) override {
            if (request.url.ends_with("/relay/device/ack"))
                watcher(json::parse(request.body).at("ids").get<std::vector<std::string>>());
            return real->perform(request);
        }
        std::unique_ptr<platform::HttpSession> real;
        Watcher watcher;
    };
    platform::Http& real_;
    Watcher watcher_;
};

std::string titleOf(const std::string& id) {
    return "Task " + id + ", with; punctuation";
}

TEST(DeliveryOrder, AnItemIsAcknowledgedOnlyOnceWholeOnDiskAndComesBackWithoutAnotherCopy) {
    TempFolder temp;
    const std::filesystem::path root = temp / "calendars";
    makeList(root, "home", "Home");
    makeList(root, "work", "Work");
    const std::string token = "rk_deliveryorder0001";
    curl::CurlHttp curl;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, curl, true);
    std::vector<std::pair<std::vector<std::string>, Filed>> acks; // ids, and the lists at that moment
    AckWatchingHttp http{curl, [&](const std::vector<std::string>& ids) { acks.emplace_back(ids, readLists(root)); }};
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
                         {"title", titleOf(deliverable.back())},
                         {"notes", "line one\nline two"},
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
    ASSERT_FALSE(module->inFlight());
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::warning);
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_EQ(pending(), items.size());

    // It comes back, and is acknowledged without being written twice.
    module->syncNow();
    mainLoop.drain();
    ASSERT_FALSE(module->inFlight());
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::idle) << state.health().message;
    EXPECT_EQ(state.deliveredThisSession(), 40);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].first, deliverable);
    for (const auto& [ids, disk] : acks) {
        EXPECT_TRUE(disk.problems.empty()) << disk.problems.front();
        std::map<std::string, int> copies;
        for (const auto& [key, task] : disk.tasks)
            ++copies[task.summary];
        for (const auto& id : ids)
            EXPECT_EQ(copies[titleOf(id)], 1) << id << " acknowledged before its file was whole, or written twice";
    }
    EXPECT_EQ(readLists(root).tasks.size(), deliverable.size());
    EXPECT_EQ(relay.get("/dev/state").at("tokens").at(0).at("lastLists"), json({"Home", "Work"}));
    EXPECT_EQ(pending(), 2u);
    module->stop();
}

} // namespace
