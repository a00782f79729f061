#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersModule.h"
#include "TavrelinMac/Words.h"

#include <nlohmann/json.hpp>
#include <set>

using namespace tavrelin;
using Health = SyncState::Health;
using namespace tavrelin::platform;
using Lines = std::vector<std::string>;
using Times = std::vector<double>;

namespace {

// A module on the fake platform whose backend answers fetches with `pending`
// and acknowledgements with `ackStatus`, unless the request's method is in
// `throwing`, which fails it with something that is no relay error.
struct World : fake::FakeServices {
    fake::LogCapture log;
    SyncState state{clock};
    std::shared_ptr<RemindersModule> module =
        std::make_shared<RemindersModule>(mainLoop, clock, http, appInfo, reminders, state);
    Pairing pairing{"https://relay.example/api", "rk_secret", clock.now()};

    HttpResponse pending = fake::relayReply({}); // what the backend answers

    long ackStatus = 200;
    std::map<std::string, std::string> throwing;
    Times pollTimes; // seconds after the start of each fetch

    World() {
        http.responder = [this, t0 = clock.now()](const HttpRequest& request) {
            if (throwing.count(request.method))
                throw std::runtime_error(throwing.at(request.method));
            if (request.method == "POST")
                return HttpResponse{ackStatus, ""};
            pollTimes.push_back(clock.now() - t0);
            return pending;
        };
        reminders.addList("Inbox");
    }
    void startAndSettle() {
        module->start(pairing);
        mainLoop.advance(0);
    }
};

struct RemindersModuleTest : ::testing::Test, World {};

} // namespace

TEST_F(RemindersModuleTest, PollsAtOnceThenEveryThirtySecondsAndBacksOffDoublingUpToFifteenMinutes) {
    module->start(pairing);
    mainLoop.advance(60);

    // Ticks come every 30 s; the first tick at or after the back-off polls.
    pending = {500, ""};
    mainLoop.advance(1860);
    module->syncNow(); // at 1920: ignores the back-off, and fails again
    mainLoop.advance(0);
    pending = fake::relayReply({});
    mainLoop.advance(900); // 2820: the back-off has run out
    EXPECT_EQ(pollTimes, (Times{0, 30, 60, 90, 120, 180, 300, 540, 1020, 1920, 1920, 2820}));
    EXPECT_FALSE(module->nextAttemptAt());
}

TEST_F(RemindersModuleTest, AccessProblemsStopBeforeTheBackendWithoutBackingOffAndAskOnce) {
    reminders.status = RemindersAuthorization::denied;
    startAndSettle();
    EXPECT_FALSE(module->nextAttemptAt());
    reminders.status = RemindersAuthorization::fullAccess; // granted in the settings
    mainLoop.advance(30);
    EXPECT_EQ(pollTimes, (Times{30}));

    reminders.status = RemindersAuthorization::notDetermined;
    reminders.accessProblem = "no database";
    startAndSettle();
    reminders.accessProblem.reset();
    mainLoop.advance(30);
    EXPECT_EQ(reminders.prompts, 1) << "asked once per process";
}

TEST_F(RemindersModuleTest, FilesWhatItCanAndAcknowledgesOnlyThat) {
    reminders.addList("Work");
    reminders.failingTitles["e"] = "The disk is full.";
    pending = fake::relayReply({"a:Inbox", "b:Work", "d:Groceries", "c:Inbox", "e:Inbox", "f:"});
    startAndSettle();
    EXPECT_EQ(http.requests.at(1).body, R"({"ids":["a","b","c"],"lists":["Inbox","Work"]})");

    pending = fake::relayReply({}); // nothing waiting: still acknowledged, with the lists
    mainLoop.advance(30);
    EXPECT_EQ(http.requests.back().body, R"({"ids":[],"lists":["Inbox","Work"]})");
}

TEST_F(RemindersModuleTest, APollIsOneChangeAfterItsBackgroundStepAndStopOrRestartDropsItsOutcome) {
    pending = fake::relayReply({"c:"});
    mainLoop.autoRunBackground = false;
    module->start(pairing);
    std::vector<bool> inFlightSeen;
    state.onChange = [&] { inFlightSeen.push_back(module->inFlight()); };
    ASSERT_TRUE(mainLoop.runOneBackground());
    EXPECT_TRUE(inFlightSeen.empty()) << "the background step touches no state";
    mainLoop.runPosted();
    EXPECT_EQ(inFlightSeen, (std::vector<bool>{true})) << "recorded before inFlight clears";

    module->syncNow();
    module->stop();
    mainLoop.drain();
    EXPECT_EQ(state.health(), Health::notPaired()) << "the late outcome is dropped";
    EXPECT_FALSE(module->inFlight());
    module->syncNow();
    EXPECT_EQ(mainLoop.pendingBackground(), 0u) << "nothing to poll";

    // Re-paired during a slow poll: the old poll holds up the new pairing's
    // first one, which runs as soon as the old outcome is dropped.
    pending = {500, ""};
    module->start(pairing);
    module->start(Pairing{"http://127.0.0.1:8080", "rk_other", clock.now()});
    EXPECT_EQ(mainLoop.pendingBackground(), 1u) << "the old poll blocks the immediate tick";
    ASSERT_TRUE(mainLoop.runOneBackground());
    EXPECT_EQ(http.requests.back().url, "https://relay.example/api/relay/device/pending");
    pending = fake::relayReply({});
    mainLoop.runPosted();
    EXPECT_EQ(state.health(), Health::working()) << "the old pairing's failure is not reported";
    EXPECT_FALSE(module->nextAttemptAt());
    EXPECT_TRUE(module->inFlight()) << "the new pairing polls at once, not at the next tick";
    mainLoop.drain();
    EXPECT_EQ(http.requests.back().url, "http://127.0.0.1:8080/relay/device/ack");
    EXPECT_EQ(state.headline(), "Connected");
    EXPECT_FALSE(module->inFlight());

    // The timer and a queued poll hold the module weakly.
    module->syncNow();
    const std::size_t sent = http.requests.size();
    module.reset();
    EXPECT_EQ(mainLoop.activeTimers(), 0u);
    mainLoop.drain();
    EXPECT_EQ(http.requests.size(), sent);
}

// The id alone names no item: a relay that restarted numbers its items
// anew, and another relay on the same host has ids of its own. An item counts
// as filed only when it is the same item from the same backend.
TEST_F(RemindersModuleTest, OnlyTheSameItemFromTheSameBackendCountsAsFiled) {
    reminders.addList("Work");
    const nlohmann::json milk{{"id", "item-1"}, {"title", "Milk"}, {"allDay", false}, {"list", "Inbox"}};
    auto with = [&](const char* field, nlohmann::json value) {
        nlohmann::json item = milk;
        item[field] = std::move(value);
        return item;
    };
    auto waiting = [&](const nlohmann::json& item) { pending = {200, nlohmann::json{{"items", {item}}}.dump()}; };
    auto deliver = [&](const nlohmann::json& item) {
        waiting(item);
        mainLoop.advance(30);
    };
    startAndSettle();
    deliver(milk);
    deliver(milk); // its acknowledgement was lost: the same item again
    EXPECT_EQ(reminders.saved.size(), 1u) << "a redelivery is filed once";

    // The relay restarted: its item-1 is whatever it now holds.
    const nlohmann::json others[] = {with("title", "Bread"), with("notes", "2%"), with("dueIso", "2030-05-04T09:30"),
                                     with("allDay", true), with("list", "Work")};
    for (const auto& other : others)
        deliver(other);
    EXPECT_EQ(reminders.saved.size(), 6u);

    // Another relay on the same host, then the first one paired again.
    waiting(milk);
    for (const char* apiBase : {"https://relay.example:8443/api", "https://relay.example/api"}) {
        module->start(Pairing{apiBase, "rk_secret", clock.now()});
        mainLoop.advance(0);
    }
    EXPECT_EQ(reminders.saved.size(), 7u);
    EXPECT_EQ(std::ranges::count(http.requests, R"({"ids":["item-1"],"lists":["Inbox","Work"]})", &HttpRequest::body), 9)
        << "each delivery acknowledged";
}

// Two different items never share a key, however their texts are cut, and no
// key is one of the earlier form (which always holds a line feed).
TEST(DeliveryKey, TellsEveryFieldApartAndHoldsNoLineFeed) {
    const RelayItem base{"7", "a", std::nullopt, std::nullopt, false, "L"};
    auto item = [&](auto change) {
        RelayItem changed = base;
        change(changed);
        return changed;
    };
    const std::vector<std::pair<std::string, RelayItem>> cases{
        {"https://h/api", base},
        {"https://h/ap", item([](RelayItem& i) { i.id = "i7"; })},
        {"https://h/api", item([](RelayItem& i) {
             i.id = "7 1:a";
             i.title = "";
         })},
        {"https://h/api", item([](RelayItem& i) { i.title = "a\n"; })},
        {"https://h/api", item([](RelayItem& i) { i.title = "a\\n"; })},
        {"https://h/api", item([](RelayItem& i) {
             i.title = "a\n";
             i.notes = "";
         })},
        {"https://h/api", item([](RelayItem& i) { i.notes = ""; })},
        {"https://h/api", item([](RelayItem& i) { i.dueIso = ""; })},
        {"https://h/api", item([](RelayItem& i) { i.notes = "-"; })},
        {"https://h/api", item([](RelayItem& i) { i.list = std::nullopt; })},
        {"https://h/api", item([](RelayItem& i) { i.list = "L 1:0"; })},
        {"https://h/api", item([](RelayItem& i) { i.allDay = true; })},
        {"https://h/api 1:7", item([](RelayItem& i) { i.id = ""; })},
    };
    std::set<std::string> keys;
    for (const auto& [apiBase, relayItem] : cases) {
        const std::string key = deliveryKey(apiBase, relayItem);
        EXPECT_EQ(key.find('\n'), std::string::npos) << key;
        EXPECT_TRUE(keys.insert(key).second) << key;
    }
    EXPECT_EQ(deliveryKey("https://h/api", base), deliveryKey("https://h/api", RelayItem(base)));
    EXPECT_EQ(earlierDeliveryKey("https://relay.example:8443/api", base), "relay.example\n7");
}

TEST_F(RemindersModuleTest, MenuSectionCountsInCodePointOrder) {
    std::vector<std::optional<std::string>> refusals{"Work", "e\xCC\x81", "Groceries", "Work", "f", std::nullopt};
    state.record({PollOutcome::Succeeded{1, 1, refusals, {"Disk full", "Disk full"}, {"Work", "Inbox"}}});
    Lines titles;
    for (const auto& item : module->menuItems())
        titles.push_back(item.title + (item.enabled ? " >" : ""));
    using words::module::noListNamed;
    EXPECT_EQ(titles, (Lines{"1 reminder filed this session", noListNamed(1, "Groceries"), noListNamed(2, "Work"),
                             noListNamed(1, "f"), noListNamed(1, "e\xCC\x81"), "1 waiting: no list chosen in settings",
                             "2 couldn’t be saved: Disk full — still retrying", words::module::lists() + " >"}));

    // Each line is known by what it counts, not by the count: a front end keeps
    // it in place as the numbers grow. Lists of the same name stay apart.
    auto ids = [this](bool lists) {
        std::vector<std::string> out;
        for (const auto& item : module->menuItems())
            for (const auto& entry : lists ? item.submenu : std::vector{item})
                out.push_back(entry.id);
        std::set<std::string> unique(out.begin(), out.end());
        EXPECT_EQ(unique.size(), out.size()) << ::testing::PrintToString(out);
        EXPECT_FALSE(unique.count(""));
        return out;
    };
    const auto before = ids(false);
    refusals.push_back("Work");
    state.record({PollOutcome::Succeeded{2, 1, refusals, {"Disk full"}, {"Work", "Work", "Inbox"}}});
    EXPECT_EQ(ids(false), before);
    EXPECT_EQ(ids(true).size(), 3u);
}

// Where a poll failed names it, logs it without the token and backs it off;
// nothing of it is acknowledged, and the next poll files each item once.
TEST(RemindersPollFailure, IsNamedForWhereItHappenedAndAcknowledgesNothing) {
    const std::tuple<const char*, std::function<void(World&)>, std::string, std::string> rows[] = {
        {"flushing the lists after the writes",
         [](World& w) {
             w.reminders.beforeLists = [&reminders = w.reminders] {
                 if (reminders.saved.empty())
                     return;
                 // A place without sign-in fails as the lists, even with access gone meanwhile.
                 reminders.status = RemindersAuthorization::denied;
                 throw RemindersError("could not flush /cal/inbox: Input/output error");
             };
         },
         "Trouble: Could not use the task lists: could not flush /cal/inbox: Input/output error",
         "error task lists failed after 1 writes: could not flush /cal/inbox: Input/output error; nothing acknowledged"},
        {"fetching, refused as unauthorized", [](World& w) { w.pending.status = 401; },
         "Stopped: The backend rejected this pairing. Re-pair from the extension.", "warn poll failed: unauthorized"},
        {"fetching, with no relay error", [](World& w) { w.throwing["GET"] = "socket exploded"; },
         "Trouble: Could not reach the backend: socket exploded", "warn poll failed: transport"},
        {"acknowledging, with no relay error", [](World& w) { w.throwing["POST"] = "connection reset"; },
         "Trouble: Could not reach the backend: connection reset", "warn ack failed after 1 writes; items may be redelivered"},
        {"acknowledging, refused", [](World& w) { w.ackStatus = 503; }, "Trouble: Backend returned HTTP 503.",
         "warn ack failed after 1 writes; items may be redelivered"},
    };
    for (const auto& [where, fault, headline, logLine] : rows) {
        SCOPED_TRACE(where);
        World w;
        w.pending = fake::relayReply({"a:Inbox", "b:Nope"}); // the refused one is not acknowledged either
        const HttpResponse waiting = w.pending;
        fault(w);
        w.startAndSettle();
        EXPECT_EQ(w.state.headline(), headline);
        const Lines lines = w.log.lines();
        ASSERT_GE(lines.size(), 2u);
        for (const auto& line : lines)
            EXPECT_EQ(line.find("rk_secret"), std::string::npos) << line;
        EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{logLine, "info backing off 30s after 1 consecutive failures"}));
        EXPECT_EQ(w.state.deliveredThisSession(), 0); // no success recorded

        // Once the task lists work again, the item comes back, is found filed, and is acknowledged once.
        w.reminders.beforeLists = nullptr;
        w.reminders.status = RemindersAuthorization::fullAccess;
        w.throwing.clear();
        w.ackStatus = 200;
        w.pending = waiting;
        w.http.requests.clear();
        w.mainLoop.advance(30);
        EXPECT_EQ(std::ranges::count(w.http.requests, "POST", &HttpRequest::method), 1);
        EXPECT_EQ(w.http.requests.back().body, R"({"ids":["a"],"lists":["Inbox"]})");
        EXPECT_EQ(w.reminders.saved.size(), 1u);
        EXPECT_EQ(w.state.headline(), "Connected");
    }
}

// A place chosen while a poll runs takes over once that poll has ended: the
// poll files all of its items where it began, and from the next poll on
// (started at once) nothing more goes to the old place.
TEST_F(RemindersModuleTest, ASwitchWaitsForThePollRunningAndTheNextPollFilesInTheNewPlace) {
    fake::FakeRemindersDatabase other;
    other.where = {RemindersPlace::Kind::evolutionDataServer, {}};
    other.addList("Inbox");
    pending = fake::relayReply({"a:Inbox", "b:Inbox"});
    mainLoop.autoRunBackground = false;
    module->start(pairing);
    // Chosen on the main thread while the poll's background step has begun.
    reminders.beforeLists = [&] {
        reminders.beforeLists = nullptr;
        module->usePlace(other);
    };
    ASSERT_TRUE(mainLoop.runOneBackground());
    EXPECT_EQ(reminders.saved.size(), 2u);
    EXPECT_TRUE(other.saved.empty());
    EXPECT_EQ(module->place(), reminders.where);
    EXPECT_EQ(module->title(), words::module::title(reminders.where));

    mainLoop.runPosted(); // the poll ends: the switch, and a poll at once
    EXPECT_EQ(module->place(), other.where);
    EXPECT_EQ(module->title(), words::module::title(other.where));
    EXPECT_THAT(log.lines(), ::testing::Contains("info reminders backend: now Evolution Data Server"));
    EXPECT_EQ(mainLoop.pendingBackground(), 1u);
    pending = fake::relayReply({"c:Inbox"});
    mainLoop.drain();
    mainLoop.autoRunBackground = true;
    pending = fake::relayReply({"d:Inbox"});
    mainLoop.advance(30);
    EXPECT_EQ(reminders.saved.size(), 2u) << "nothing more in the old place";
    Lines filed;
    std::ranges::transform(other.saved, std::back_inserter(filed), &SavedReminder::title);
    EXPECT_EQ(filed, (Lines{"c", "d"}));
    EXPECT_EQ(pollTimes, (Times{0, 0, 30}));
}

// A list is made off the main thread, never beside a poll: after the one
// running, and the polls wait for it. Then a poll runs at once and files what
// waited for the list; a list that cannot be made says why and polls nothing.
TEST_F(RemindersModuleTest, AListIsMadeBetweenPollsAndWhatWaitsForItIsFiledAtOnce) {
    pending = fake::relayReply({"g:Groceries"});
    startAndSettle();
    ASSERT_EQ(state.refusedByList().count("Groceries"), 1u);

    mainLoop.autoRunBackground = false;
    ackStatus = 503; // the poll in flight fails and backs off
    mainLoop.advance(30);
    std::vector<std::optional<std::string>> answers;
    module->createList("Groceries", [&](const std::optional<std::string>& problem) { answers.push_back(problem); });
    EXPECT_EQ(mainLoop.pendingBackground(), 1u) << "the list waits for the poll";
    mainLoop.runOneBackground();
    mainLoop.runPosted();
    ASSERT_TRUE(module->nextAttemptAt());
    ackStatus = 200;
    EXPECT_TRUE(reminders.created.empty());
    module->syncNow();
    EXPECT_EQ(mainLoop.pendingBackground(), 1u) << "no poll beside the list being made";
    mainLoop.runOneBackground();
    EXPECT_EQ(reminders.created, Lines{"Groceries"});
    EXPECT_TRUE(answers.empty()) << "answered on the main thread";
    mainLoop.runPosted();
    EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_EQ(mainLoop.pendingBackground(), 1u) << "a poll at once, back-off or not";
    mainLoop.drain();
    ASSERT_EQ(reminders.saved.size(), 1u);
    EXPECT_EQ(reminders.saved[0].listTitle, "Groceries");
    EXPECT_TRUE(state.refusedByList().empty());
    EXPECT_EQ(pollTimes, (Times{0, 30, 30}));

    reminders.createFailure = "Permission denied";
    module->createList("Work", [&](const std::optional<std::string>& problem) { answers.push_back(problem); });
    mainLoop.drain();
    EXPECT_EQ(answers.back(), "Permission denied");
    EXPECT_EQ(log.lines().back(), "error could not create list Work: Permission denied");
    EXPECT_EQ(pollTimes.size(), 3u) << "no poll after a failure";
}

// Where the platform offers them: the place in use, a switch to each other
// place, and an offer to make each list that items wait for, right under
// their line. Without them the section is the product's.
TEST_F(RemindersModuleTest, TheSectionNamesThePlaceAndOffersTheOthersAndMissingLists) {
    const RemindersPlace eds{RemindersPlace::Kind::evolutionDataServer, {}};
    state.record({PollOutcome::Succeeded{2, 0, {"Work", "Groceries"}, {}, {"Inbox"}}});
    auto section = [this] {
        Lines lines;
        for (const auto& item : module->menuItems())
            lines.push_back(std::string(item.indentation, '>') + (item.enabled && item.action ? "+ " : "") + item.title);
        return lines;
    };
    const Lines plain = section();
    EXPECT_EQ(plain, (Lines{words::module::noListNamed(1, "Groceries"), words::module::noListNamed(1, "Work"),
                            words::module::lists()}));

    std::vector<RemindersPlace> chosen;
    Lines asked;
    module->availablePlaces = [&] { return std::vector{reminders.where, eds}; };
    module->onUsePlace = [&](const RemindersPlace& place) { chosen.push_back(place); };
    module->onCreateList = [&](const std::string& name) { asked.push_back(name); };
    EXPECT_EQ(section(), (Lines{words::places::current(reminders.where), words::module::noListNamed(1, "Groceries"),
                                ">+ " + words::places::createList("Groceries"), words::module::noListNamed(1, "Work"),
                                ">+ " + words::places::createList("Work"), words::module::lists(),
                                "+ " + words::places::useInstead(eds)}));
    for (const auto& item : module->menuItems())
        if (item.action)
            item.action();
    EXPECT_EQ(asked, (Lines{"Groceries", "Work"}));
    EXPECT_EQ(chosen, std::vector{eds});

    // Each entry keeps its id as the counts change; none outlives the module.
    std::set<std::string> ids;
    for (const auto& item : module->menuItems())
        EXPECT_TRUE(ids.insert(item.id).second) << item.id;
    const auto items = module->menuItems();
    module.reset();
    for (const auto& item : items)
        if (item.action)
            item.action();
    EXPECT_EQ(asked.size(), 2u);
}
