#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersModule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tavrelin;
using Health = SyncState::Health;
using platform::HttpRequest;
using platform::HttpResponse;
using Lines = std::vector<std::string>;

namespace {

const char* const unauthorizedText = "The backend rejected this pairing. Re-pair from the extension.";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

nlohmann::json item(const std::string& id, const std::string& title, std::optional<std::string> list) {
    nlohmann::json j{{"id", id}, {"title", title}, {"allDay", false}};
    if (list)
        j["list"] = *list;
    return j;
}

HttpResponse itemsReply(std::vector<nlohmann::json> items) {
    nlohmann::json body;
    body["items"] = nlohmann::json::array();
    for (auto& i : items)
        body["items"].push_back(std::move(i));
    return {200, body.dump(), false};
}

// Field names follow the platform aggregate so the tests read alike.
struct Fakes {
    fake::FakeClock clock;
    fake::FakeMainLoop mainLoop{clock};
    fake::FakeHttp http;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    fake::FakeRemindersDatabase reminders;
};

struct RemindersModuleTest : ::testing::Test {
    Fakes p;
    fake::LogCapture log;
    SyncState state{p.clock};
    std::shared_ptr<RemindersModule> module =
        std::make_shared<RemindersModule>(p.mainLoop, p.clock, p.http, p.appInfo, p.reminders, state);
    Pairing pairing{"https://relay.example/api", "rk_secret", p.clock.now()};
    const platform::Date t0 = p.clock.now();

    // What the backend answers; both default to success with nothing waiting.
    std::function<HttpResponse()> pending = [] { return itemsReply({}); };
    std::function<HttpResponse()> ackReply = [] { return HttpResponse{200, "{}", false}; };
    std::vector<double> pollTimes; // seconds after t0 of each fetch
    std::vector<nlohmann::json> acks;
    std::vector<std::string> urls;

    void SetUp() override {
        p.http.responder = [this](const HttpRequest& request) {
            urls.push_back(request.url);
            if (endsWith(request.url, "/relay/device/pending")) {
                pollTimes.push_back(p.clock.now() - t0);
                return pending();
            }
            acks.push_back(nlohmann::json::parse(request.body));
            return ackReply();
        };
    }

    void startAndSettle() {
        module->start(pairing);
        p.mainLoop.advance(0);
    }

    Lines logged(const std::string& prefix) const {
        Lines result;
        for (const auto& line : log.lines())
            if (line.rfind(prefix, 0) == 0)
                result.push_back(line);
        return result;
    }
};

} // namespace

TEST_F(RemindersModuleTest, StartPollsAtOnceThenEveryThirtySeconds) {
    module->start(pairing);
    EXPECT_TRUE(module->inFlight());
    EXPECT_EQ(state.health(), Health::working());
    EXPECT_EQ(state.pairedHost(), "relay.example");
    p.mainLoop.advance(0);
    EXPECT_FALSE(module->inFlight());
    EXPECT_EQ(state.health(), Health::idle());
    p.mainLoop.advance(29);
    EXPECT_EQ(pollTimes, (std::vector<double>{0}));
    p.mainLoop.advance(61);
    EXPECT_EQ(pollTimes, (std::vector<double>{0, 30, 60, 90}));
}

TEST_F(RemindersModuleTest, BacksOffDoublingUpToFifteenMinutesAndResetsAfterASuccess) {
    pending = [] { return HttpResponse{500, "", false}; };
    startAndSettle();
    std::vector<double> delays;
    auto recordDelay = [&] { delays.push_back(*module->nextAttemptAt() - p.clock.now()); };
    recordDelay();
    // Ticks come every 30 s; the first tick at or after nextAttemptAt polls.
    while (p.clock.now() - t0 < 2700) {
        auto before = pollTimes.size();
        p.mainLoop.advance(30);
        if (pollTimes.size() != before)
            recordDelay();
    }
    EXPECT_EQ(pollTimes, (std::vector<double>{0, 30, 90, 210, 450, 930, 1830}));
    EXPECT_EQ(delays, (std::vector<double>{30, 60, 120, 240, 480, 900, 900}));
    EXPECT_EQ(module->consecutiveFailures(), 7);
    EXPECT_EQ(state.health(), Health::warning("Backend returned HTTP 500."));
    EXPECT_THAT(logged("info backing off"),
                ::testing::ElementsAre(
                    "info backing off 30s after 1 consecutive failures", "info backing off 60s after 2 consecutive failures",
                    "info backing off 120s after 3 consecutive failures", "info backing off 240s after 4 consecutive failures",
                    "info backing off 480s after 5 consecutive failures", "info backing off 900s after 6 consecutive failures",
                    "info backing off 900s after 7 consecutive failures"));

    pending = [] { return itemsReply({}); };
    p.mainLoop.advance(30); // 2730: the back-off has run out
    EXPECT_EQ(pollTimes.back(), 2730);
    EXPECT_EQ(module->consecutiveFailures(), 0);
    EXPECT_FALSE(module->nextAttemptAt());
    EXPECT_EQ(state.health(), Health::idle());

    pending = [] { return HttpResponse{502, "", false}; };
    p.mainLoop.advance(30);
    EXPECT_EQ(pollTimes.back(), 2760);
    EXPECT_EQ(*module->nextAttemptAt() - p.clock.now(), 30);
}

TEST_F(RemindersModuleTest, SyncNowIgnoresBackOffButNotAPollInFlightOrAStop) {
    module->syncNow();
    p.mainLoop.advance(0);
    EXPECT_TRUE(pollTimes.empty()) << "never started";

    pending = [] { return HttpResponse{500, "", false}; };
    startAndSettle();
    p.mainLoop.advance(10);
    module->syncNow();
    p.mainLoop.advance(0);
    EXPECT_EQ(pollTimes, (std::vector<double>{0, 10}));
    EXPECT_EQ(module->consecutiveFailures(), 2);

    p.mainLoop.autoRunBackground = false;
    module->syncNow();
    int changes = 0;
    state.onChange = [&] { ++changes; };
    module->syncNow();
    EXPECT_EQ(p.mainLoop.pendingBackground(), 1u);
    EXPECT_EQ(changes, 0) << "no second attempt begins";
    p.mainLoop.drain();
    EXPECT_EQ(pollTimes.size(), 3u);

    module->stop();
    module->syncNow();
    EXPECT_EQ(p.mainLoop.pendingBackground(), 0u);
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
}

TEST_F(RemindersModuleTest, AccessProblemsDoNotBackOffAndAGrantIsPickedUpByTheNextTick) {
    p.reminders.status = platform::RemindersAuthorization::denied;
    startAndSettle();
    EXPECT_EQ(state.headline(), "Needs Reminders access");
    EXPECT_TRUE(urls.empty());
    EXPECT_EQ(module->consecutiveFailures(), 0);
    EXPECT_FALSE(module->nextAttemptAt());
    EXPECT_EQ(logged("warn").back(), "warn reminders access denied");

    p.reminders.status = platform::RemindersAuthorization::fullAccess;
    p.mainLoop.advance(30);
    EXPECT_EQ(pollTimes, (std::vector<double>{30}));
    EXPECT_EQ(state.health(), Health::idle());
}

TEST_F(RemindersModuleTest, AFailedAccessRequestStopsWithTheReason) {
    p.reminders.status = platform::RemindersAuthorization::notDetermined;
    p.reminders.answer = {false, std::string("no database")};
    startAndSettle();
    EXPECT_EQ(state.headline(), "Stopped: Reminders access failed: no database");
    EXPECT_EQ(logged("error"), (Lines{"error reminders access error"}));
    EXPECT_FALSE(module->nextAttemptAt());
    p.mainLoop.advance(30);
    EXPECT_EQ(p.reminders.prompts, 1) << "the failed answer is remembered";
    EXPECT_TRUE(urls.empty());
}

TEST_F(RemindersModuleTest, FilesWhatItCanAndAcknowledgesOnlyThat) {
    p.reminders.addList("Inbox");
    p.reminders.addList("Work");
    p.reminders.failingTitles["broken"] = "The disk is full.";
    pending = [] {
        return itemsReply({item("a", "one", "Inbox"), item("b", "two", "Work"), item("d", "four", "Groceries"),
                           item("c", "three", "Inbox"), item("e", "broken", "Inbox"), item("f", "six", std::nullopt)});
    };
    startAndSettle();

    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0], (nlohmann::json{{"ids", {"a", "b", "c"}}, {"lists", {"Inbox", "Work"}}}));
    EXPECT_EQ(state.deliveredThisSession(), 3);
    EXPECT_EQ(state.refusedByList(), (std::map<std::string, std::int64_t>{{"Groceries", 1}}));
    EXPECT_EQ(state.refusedWithNoList(), 1);
    EXPECT_EQ(state.failedWrites(), (std::map<std::string, std::int64_t>{{"The disk is full.", 1}}));
    EXPECT_EQ(state.headline(), "Trouble: 1 couldn\u2019t be saved");
    EXPECT_EQ(state.knownLists(), (Lines{"Inbox", "Work"}));
    EXPECT_EQ(state.lastSuccessfulPoll(), p.clock.now());
    EXPECT_EQ(log.lines(),
              (Lines{"info module reminders started, backend relay.example", "info delivered a -> list Inbox",
                     "info delivered b -> list Work", "warn refused d: unknown list", "info delivered c -> list Inbox",
                     "error failed e: The disk is full.", "warn refused f: no list specified"}));

    // Nothing waiting: still acknowledged with the list names; tallies stay.
    pending = [] { return itemsReply({}); };
    p.mainLoop.advance(30);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[1], (nlohmann::json{{"ids", nlohmann::json::array()}, {"lists", {"Inbox", "Work"}}}));
    EXPECT_EQ(state.deliveredThisSession(), 3);
    EXPECT_EQ(state.refusedByList().size(), 1u);
    EXPECT_EQ(state.refusedWithNoList(), 1);
    EXPECT_EQ(state.failedWrites().size(), 1u);
    EXPECT_EQ(state.health(), Health::idle());

    // A poll with items replaces the tallies.
    pending = [] { return itemsReply({item("g", "seven", "Other")}); };
    p.mainLoop.advance(30);
    EXPECT_EQ(state.refusedByList(), (std::map<std::string, std::int64_t>{{"Other", 1}}));
    EXPECT_EQ(state.refusedWithNoList(), 0);
    EXPECT_TRUE(state.failedWrites().empty());
}

TEST_F(RemindersModuleTest, AFailedAcknowledgementCountsNothingAndBacksOff) {
    p.reminders.addList("Inbox");
    pending = [] { return itemsReply({item("a", "one", "Inbox"), item("b", "two", "Inbox"), item("c", "x", "Nope")}); };
    ackReply = [] { return HttpResponse{503, "", false}; };
    startAndSettle();
    EXPECT_EQ(p.reminders.saved.size(), 2u) << "the written reminders stay";
    EXPECT_EQ(logged("warn ack"), (Lines{"warn ack failed after 2 writes; items may be redelivered"}));
    EXPECT_EQ(state.health(), Health::warning("Backend returned HTTP 503."));
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_TRUE(state.refusedByList().empty());
    EXPECT_FALSE(state.lastSuccessfulPoll());
    EXPECT_EQ(module->consecutiveFailures(), 1);
    EXPECT_EQ(logged("info backing off"), (Lines{"info backing off 30s after 1 consecutive failures"}));
}

TEST_F(RemindersModuleTest, FetchFailuresAreLoggedByKindAndRetried) {
    pending = [] { return HttpResponse{401, "", false}; };
    startAndSettle();
    EXPECT_EQ(state.health(), Health::broken(unauthorizedText));
    EXPECT_EQ(*module->nextAttemptAt() - p.clock.now(), 30);
    p.mainLoop.advance(30);
    EXPECT_EQ(pollTimes.size(), 2u) << "still retried";

    // Whatever the decoder refuses is malformed, a transport-class failure.
    for (std::string body : {std::string(R"({"items":[],"x":1e999})"), std::string("{\"items\":[],\"x\":\"\xff\"}"),
                             R"({"items":[],"x":)" + std::string(65, '[') + std::string(65, ']') + "}"}) {
        pending = [body] { return HttpResponse{200, body, false}; };
        module->syncNow();
        p.mainLoop.advance(0);
        EXPECT_EQ(state.health().message.rfind("Could not read the backend's reply: ", 0), 0u) << body;
    }
    EXPECT_EQ(logged("warn poll failed"),
              (Lines{"warn poll failed: unauthorized", "warn poll failed: unauthorized", "warn poll failed: transport",
                     "warn poll failed: transport", "warn poll failed: transport"}));

    // An error that is not the client's own still ends up as a transport problem.
    pending = []() -> HttpResponse { throw std::runtime_error("socket exploded"); };
    module->syncNow();
    p.mainLoop.advance(0);
    EXPECT_EQ(state.health(), Health::warning("Could not reach the backend: socket exploded"));
    EXPECT_EQ(module->consecutiveFailures(), 6);
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("rk_secret"), std::string::npos) << line;
}

TEST_F(RemindersModuleTest, APollIsOneChangeRecordedWithItsOutcomeBeforeInFlightClears) {
    p.reminders.addList("Inbox");
    pending = [] { return itemsReply({item("a", "one", "Inbox"), item("b", "two", "Nope"), item("c", "x", std::nullopt)}); };
    startAndSettle();
    p.mainLoop.autoRunBackground = false;
    std::vector<bool> inFlightSeen;
    state.onChange = [&] { inFlightSeen.push_back(module->inFlight()); };
    module->syncNow(); // beginAttempt: one change
    ASSERT_TRUE(p.mainLoop.runOneBackground());
    EXPECT_EQ(inFlightSeen.size(), 1u) << "the background step touches no state";
    p.mainLoop.runPosted();
    EXPECT_EQ(inFlightSeen, (std::vector<bool>{true, true}));
    EXPECT_FALSE(module->inFlight());
    EXPECT_EQ(state.refusedWithNoList(), 1);
}

TEST_F(RemindersModuleTest, StopDuringAPollIsImmediateAndDropsTheLateOutcome) {
    p.reminders.addList("Inbox");
    pending = [] { return itemsReply({item("a", "one", "Inbox")}); };
    p.mainLoop.autoRunBackground = false;
    module->start(pairing);
    module->stop();
    EXPECT_EQ(state.health(), Health::notPaired());
    EXPECT_FALSE(module->hasClient());
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
    EXPECT_EQ(log.lines().back(), "info module reminders stopped");

    int changes = 0;
    state.onChange = [&] { ++changes; };
    p.mainLoop.drain();
    EXPECT_EQ(p.reminders.saved.size(), 1u) << "the poll was not cancelled";
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(state.health(), Health::notPaired());
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_FALSE(state.lastSuccessfulPoll());
    EXPECT_FALSE(module->inFlight());
}

TEST_F(RemindersModuleTest, ARestartDuringAPollWaitsForItAndIgnoresItsOutcome) {
    pending = [] { return HttpResponse{500, "", false}; };
    p.mainLoop.autoRunBackground = false;
    module->start(pairing);
    module->start(Pairing{"http://127.0.0.1:8080", "rk_other", p.clock.now()});
    EXPECT_EQ(p.mainLoop.pendingBackground(), 1u) << "the old poll blocks the immediate tick";
    EXPECT_EQ(state.pairedHost(), "127.0.0.1");
    EXPECT_EQ(logged("info module").back(), "info module reminders started, backend 127.0.0.1");

    p.mainLoop.drain();
    EXPECT_EQ(state.health(), Health::working()) << "the old pairing's failure is not reported";
    EXPECT_EQ(module->consecutiveFailures(), 0);
    EXPECT_FALSE(module->inFlight());

    pending = [] { return itemsReply({}); };
    p.mainLoop.autoRunBackground = true;
    p.mainLoop.advance(30);
    EXPECT_EQ(urls.size(), 3u);
    EXPECT_EQ(urls[1], "http://127.0.0.1:8080/relay/device/pending");
    EXPECT_EQ(state.health(), Health::idle());
    EXPECT_EQ(p.mainLoop.activeTimers(), 1u) << "the first timer is gone";
}

TEST_F(RemindersModuleTest, TheTimerAndAQueuedPollHoldTheModuleWeakly) {
    p.mainLoop.autoRunBackground = false;
    module->start(pairing);
    module.reset();
    EXPECT_EQ(p.mainLoop.activeTimers(), 0u);
    p.mainLoop.drain();
    p.mainLoop.advance(60);
    EXPECT_TRUE(urls.empty());
}

TEST_F(RemindersModuleTest, MenuSection) {
    EXPECT_TRUE(module->menuItems().empty());
    auto titles = [&] {
        Lines result;
        for (const auto& item : module->menuItems())
            result.push_back(item.title);
        return result;
    };
    auto poll = [&](std::int64_t delivered, std::vector<std::optional<std::string>> refusals, std::vector<std::string> failures,
                    std::vector<std::string> lists) {
        state.record({PollOutcome::Succeeded{1, delivered, std::move(refusals), std::move(failures), std::move(lists)}});
    };
    poll(1, {}, {}, {});
    EXPECT_EQ(titles(), (Lines{"1 reminder filed this session"}));

    poll(1, {"Work", "Groceries", "Work", "apples", "e\xCC\x81t\xC3\xA9", "f", std::nullopt, std::nullopt, std::nullopt},
         {std::string(70, 'x'), "Disk full", "Disk full"}, {"Work", "Inbox"});
    EXPECT_EQ(titles(), (Lines{
                            "2 reminders filed this session",
                            "1 waiting: no list named “Groceries” on this Mac",
                            "2 waiting: no list named “Work” on this Mac",
                            "1 waiting: no list named “apples” on this Mac",
                            "1 waiting: no list named “f” on this Mac",
                            // é composes to U+00E9, after every ASCII letter.
                            "1 waiting: no list named “e\xCC\x81t\xC3\xA9” on this Mac",
                            "3 waiting: no list chosen in settings",
                            "2 couldn’t be saved: Disk full — still retrying",
                            "1 couldn’t be saved: " + std::string(59, 'x') + "… — still retrying",
                            "Lists on this Mac",
                        }));
    // Only the list of lists opens; every other line is information.
    auto items = module->menuItems();
    for (std::size_t i = 0; i + 1 < items.size(); ++i)
        EXPECT_TRUE(!items[i].enabled && !items[i].action && items[i].submenu.empty()) << items[i].title;
    ASSERT_TRUE(items.back().enabled);
    ASSERT_EQ(items.back().submenu.size(), 2u);
    EXPECT_TRUE(items.back().submenu[0].title == "Work" && !items.back().submenu[0].enabled);
    EXPECT_EQ(items.back().submenu[1].title, "Inbox");
}
