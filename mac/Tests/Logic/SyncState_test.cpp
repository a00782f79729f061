#include "Support/FakePlatform.h"
#include "TavrelinMac/SyncState.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using Health = SyncState::Health;

namespace {

struct SyncStateTest : ::testing::Test {
    fake::FakeClock clock;
    SyncState state{clock};
    int changes = 0;
    void SetUp() override {
        state.onChange = [this] { ++changes; };
    }
    Pairing pairing(std::string apiBase) { return Pairing{std::move(apiBase), "rk_secret", clock.now()}; }
};

} // namespace

TEST_F(SyncStateTest, LastSyncDescriptionAgesWithTheClock) {
    EXPECT_EQ(state.lastSyncDescription(), "No reminders collected yet");
    state.pollSucceeded(0, {}, 0);
    const auto at = *state.lastSuccessfulPoll;
    const std::pair<double, const char*> cases[] = {
        {9.9, "Last checked just now"}, {-30, "Last checked just now"},  {10, "Last checked 10s ago"},
        {59, "Last checked 59s ago"},   {59.99, "Last checked 59s ago"}, {60, "Last checked 1m ago"},
        {3599, "Last checked 59m ago"}, {3600, "Last checked 1h ago"},   {7200, "Last checked 2h ago"},
    };
    for (const auto& [elapsed, text] : cases) {
        clock.current = at + elapsed;
        EXPECT_EQ(state.lastSyncDescription(), text) << elapsed;
    }
}

TEST_F(SyncStateTest, EveryOperationNotifiesExactlyOnceAfterUpdatingFields) {
    // The observer must see the finished state, so record it from inside.
    std::vector<std::string> seen;
    state.onChange = [&] {
        ++changes;
        seen.push_back(state.headline());
    };
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"setPaired", [&] { state.setPaired(pairing("https://relay.example")); }},
        {"beginAttempt", [&] { state.beginAttempt(); }},
        {"pollFailed", [&] { state.pollFailed(RelayError::http(500)); }},
        {"clearRefusals", [&] { state.clearRefusals(); }},
        {"recordRefusal", [&] { state.recordRefusal("Inbox"); }},
        {"recordWriteFailure", [&] { state.recordWriteFailure("disk full"); }},
        {"pollSucceeded", [&] { state.pollSucceeded(2, {"Inbox"}, 1); }},
        {"changed", [&] { state.changed(); }},
        {"setPaired none", [&] { state.setPaired(std::nullopt); }},
    };
    for (const auto& [name, op] : operations) {
        changes = 0;
        op();
        EXPECT_EQ(changes, 1) << name;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Not paired", "Checking\u2026", "Trouble: Backend returned HTTP 500.",
                                              "Trouble: Backend returned HTTP 500.", "Trouble: Backend returned HTTP 500.",
                                              "Trouble: Backend returned HTTP 500.", "Trouble: 1 couldn\u2019t be saved",
                                              "Trouble: 1 couldn\u2019t be saved", "Not paired"}));
}

TEST_F(SyncStateTest, FailureKeysCountUserPerceivedCharacters) {
    EXPECT_EQ(SyncState::failureKey(std::string(60, 'a')), std::string(60, 'a'));
    // An accented letter written as e + combining accent is one character.
    std::string accented;
    for (int i = 0; i < 59; ++i)
        accented += "e\xCC\x81";
    EXPECT_EQ(SyncState::failureKey(accented + "xy"), accented + "\u2026");

    // Long messages sharing their first 59 characters are counted together.
    state.recordWriteFailure(std::string(59, 'b') + "-first ending");
    state.recordWriteFailure(std::string(59, 'b') + "-another ending");
    state.recordWriteFailure("short");
    EXPECT_EQ(state.failedWrites, (std::map<std::string, std::int64_t>{{std::string(59, 'b') + "\u2026", 2}, {"short", 1}}));
}

TEST_F(SyncStateTest, RefusalsCountPerListAndEmptyNameMeansNoList) {
    state.onChange = nullptr; // fields update without an observer too
    state.recordRefusal("Groceries");
    state.recordRefusal("Groceries");
    state.recordRefusal(std::string());
    state.recordRefusal(std::nullopt);
    EXPECT_EQ(state.refusedByList, (std::map<std::string, std::int64_t>{{"Groceries", 2}}));
    EXPECT_EQ(state.refusedWithNoList, 2);

    state.recordWriteFailure("boom");
    state.clearRefusals();
    EXPECT_TRUE(state.refusedByList.empty());
    EXPECT_EQ(state.refusedWithNoList, 0);
    EXPECT_EQ(state.failedWrites.size(), 1u) << "write failures are not refusals";
}

TEST_F(SyncStateTest, PollSucceededSetsHealthUnlessBroken) {
    state.recordRefusal("X");
    state.pollSucceeded(2, {"Inbox", "Work"}, 0);
    EXPECT_EQ(state.health, Health::idle());
    EXPECT_EQ(state.lastSuccessfulPoll, clock.now());
    EXPECT_EQ(state.refusedByList.size(), 1u) << "tallies are the module's business";

    state.pollSucceeded(1, {"Inbox"}, 2);
    EXPECT_EQ(state.headline(), "Trouble: 2 couldn\u2019t be saved");
    EXPECT_EQ(state.deliveredThisSession, 3);

    state.pollFailed(RelayError::unauthorized());
    clock.current = clock.current + 100;
    state.pollSucceeded(4, {"Only"}, 0);
    EXPECT_EQ(state.headline(), "Stopped: The backend rejected this pairing. Re-pair from the extension.");
    EXPECT_EQ(state.lastSuccessfulPoll, clock.now());
    EXPECT_EQ(state.deliveredThisSession, 7);
    EXPECT_EQ(state.knownLists, (std::vector<std::string>{"Only"}));
}

TEST_F(SyncStateTest, SetPairedKeepsOrResetsTallies) {
    state.health = Health::idle();
    state.pollSucceeded(5, {"Inbox"}, 0);
    state.recordRefusal("Gone");
    state.recordRefusal(std::nullopt);
    state.recordWriteFailure("boom");

    state.setPaired(pairing("https://relay.example:8443/base"));
    EXPECT_EQ(state.pairedHost, "relay.example");
    EXPECT_EQ(state.health, Health::idle());
    EXPECT_EQ(state.deliveredThisSession, 5);
    EXPECT_EQ(state.refusedWithNoList, 1);

    state.setPaired(pairing("not a url"));
    EXPECT_EQ(state.pairedHost, "not a url");

    state.setPaired(std::nullopt);
    EXPECT_FALSE(state.pairedHost);
    EXPECT_EQ(state.health, Health::notPaired());
    EXPECT_FALSE(state.lastSuccessfulPoll);
    EXPECT_EQ(state.deliveredThisSession, 0);
    EXPECT_TRUE(state.refusedByList.empty());
    EXPECT_EQ(state.refusedWithNoList, 0);
    EXPECT_TRUE(state.failedWrites.empty());
    EXPECT_EQ(state.knownLists, (std::vector<std::string>{"Inbox"}));
}
