// Delivery is at-least-once: an item is acknowledged only once its reminder is
// whole on disk. The real module, store, vdir and relay client over curl
// against the development relay; the task lists are inspected at the moment
// each acknowledgement is about to leave.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/DevRelayProcess.h"
#include "Support/FakePlatform.h"
#include "Support/VdirFixture.h"
#include "TavrelinMac/RemindersModule.h"

#include <libical/ical.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <map>

using namespace tavrelin;
using namespace tavrelin::testing;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// What the task lists hold: the title of every complete reminder file, and
// whatever would make a reader see a partial one.
struct DiskView {
    std::map<std::string, int> titles; // title → number of files
    std::vector<std::string> problems;
};

DiskView inspect(const fs::path& root) {
    DiskView view;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const auto name = entry.path().filename().string();
        if (!entry.is_regular_file() || name == "displayname")
            continue;
        if (entry.path().extension() != ".ics") {
            view.problems.push_back("stray file " + name);
            continue;
        }
        const std::string text = readFile(entry.path().string());
        icalcomponent* calendar = icalparser_parse_string(text.c_str());
        icalcomponent* todo = calendar ? icalcomponent_get_first_component(calendar, ICAL_VTODO_COMPONENT) : nullptr;
        const char* uid = todo ? icalcomponent_get_uid(todo) : nullptr;
        const char* summary = todo ? icalcomponent_get_summary(todo) : nullptr;
        if (!uid || !summary || uid + std::string(".ics") != name || text.find("END:VCALENDAR") == std::string::npos)
            view.problems.push_back("incomplete " + name);
        else
            ++view.titles[summary];
        if (calendar)
            icalcomponent_free(calendar);
    }
    return view;
}

// Passes every exchange to the real HTTP adapter; just before an
// acknowledgement is sent, hands its ids to the watcher.
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
            const std::string ackPath = "/relay/device/ack";
            if (request.url.size() >= ackPath.size() &&
                request.url.compare(request.url.size() - ackPath.size(), ackPath.size(), ackPath) == 0)
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

class DeliveryOrder : public ::testing::Test {
protected:
    void SetUp() override {
        makeList(root, "home", "Home");
        makeList(root, "work", "Work");
        const char* build = std::getenv("TAVRELIN_BUILD_DIR");
        ASSERT_TRUE(build) << "TAVRELIN_BUILD_DIR is not set";
        relay = std::make_unique<DevRelayProcess>(std::string(build) + "/tools/dev-relay", token, curl);
    }

    // Runs one poll to its end.
    void poll(bool first) {
        if (first)
            module->start(Pairing{relay->api(), token, clock.now()});
        else
            module->syncNow();
        mainLoop.drain();
        ASSERT_FALSE(module->inFlight());
    }

    void TearDown() override { module->stop(); }

    // Every item that can be filed, and two that cannot.
    std::vector<std::string> enqueue(int count) {
        json items = json::array();
        std::vector<std::string> deliverable;
        for (int i = 0; i < count; ++i) {
            std::string id = "it-" + std::to_string(i);
            deliverable.push_back(id);
            if (i % 2)
                items.push_back({{"id", id},
                                 {"title", titleOf(id)},
                                 {"notes", "line one\nline two"},
                                 {"dueIso", "2026-12-07T14:30:00Z"},
                                 {"allDay", false},
                                 {"list", "Home"}});
            else
                items.push_back(
                    {{"id", id}, {"title", titleOf(id)}, {"dueIso", "2026-13-07"}, {"allDay", true}, {"list", "Work"}});
        }
        items.push_back({{"id", "no-such-list"}, {"title", "x"}, {"allDay", false}, {"list", "Nowhere"}});
        items.push_back({{"id", "no-list"}, {"title", "y"}, {"allDay", false}});
        relay->post("/dev/enqueue", items);
        return deliverable;
    }

    std::vector<std::string> pendingIds() {
        std::vector<std::string> ids;
        auto relayState = relay->get("/dev/state");
        for (const auto& item : relayState.at("tokens").at(0).at("pending"))
            ids.push_back(item.at("id"));
        return ids;
    }

    const std::string token = "rk_deliveryorder0001";
    TempFolder temp;
    fs::path root = fs::path(temp.path()) / "calendars";

    // Filled at the moment of each acknowledgement.
    struct Ack {
        std::vector<std::string> ids;
        DiskView disk;
    };
    std::vector<Ack> acks;

    curl::CurlHttp curl;
    AckWatchingHttp http{curl, [this](const std::vector<std::string>& ids) { acks.push_back({ids, inspect(root)}); }};
    std::unique_ptr<DevRelayProcess> relay;

    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    posix::PosixFiles files;
    vdir::VdirRemindersDatabase reminders{root.string(), files};
    SyncState state{clock};
    std::shared_ptr<RemindersModule> module =
        std::make_shared<RemindersModule>(mainLoop, clock, http, appInfo, reminders, state);
};

} // namespace

TEST_F(DeliveryOrder, AnItemIsAcknowledgedOnlyOnceItsFileIsWholeAndComesBackUntilThen) {
    auto deliverable = enqueue(40);
    relay->post("/dev/fault", {{"status", 503}, {"path", "/relay/device/ack"}});
    poll(true);
    // Written, not acknowledged: all still waiting on the relay.
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::warning);
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_EQ(pendingIds().size(), deliverable.size() + 2);

    poll(false);
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::idle) << state.health().message;
    EXPECT_EQ(state.deliveredThisSession(), 40);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].ids, deliverable);
    for (const auto& ack : acks) {
        EXPECT_TRUE(ack.disk.problems.empty()) << ack.disk.problems.front();
        for (const auto& id : ack.ids)
            EXPECT_GE(ack.disk.titles.count(titleOf(id)), 1u) << id << " acknowledged before its file was whole";
    }
    // The relay took that acknowledgement; the refused items wait.
    auto mine = relay->get("/dev/state").at("tokens").at(0);
    EXPECT_EQ(mine.at("lastLists"), json({"Home", "Work"}));
    EXPECT_EQ(pendingIds(), (std::vector<std::string>{"no-such-list", "no-list"}));
}

TEST_F(DeliveryOrder, WrittenButUnacknowledgedItemsComeBackAndAreNotWrittenTwice) {
    auto deliverable = enqueue(6);
    relay->post("/dev/fault", {{"status", 503}, {"path", "/relay/device/ack"}});
    poll(true);

    // Written, not acknowledged: all still waiting on the relay.
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::warning);
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_EQ(pendingIds().size(), deliverable.size() + 2);
    EXPECT_EQ(inspect(root).titles.size(), deliverable.size());

    poll(false);
    EXPECT_EQ(state.health().kind, SyncState::Health::Kind::idle) << state.health().message;
    EXPECT_EQ(pendingIds(), (std::vector<std::string>{"no-such-list", "no-list"}));
    auto disk = inspect(root);
    EXPECT_TRUE(disk.problems.empty());
    for (const auto& id : deliverable)
        EXPECT_EQ(disk.titles[titleOf(id)], 1) << id;

    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1].ids, deliverable);
}
