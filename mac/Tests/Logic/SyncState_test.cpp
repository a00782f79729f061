#include "Support/FakePlatform.h"
#include "TavrelinMac/SyncState.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using Health = SyncState::Health;
using Tallies = std::map<std::string, std::int64_t>;

namespace {

struct SyncStateTest : ::testing::Test {
    fake::FakeClock clock;
    SyncState state{clock};
    int changes = 0;
    void SetUp() override {
        state.onChange = [this] { ++changes; };
    }
    void succeeded(std::int64_t fetched, std::int64_t delivered, std::vector<std::optional<std::string>> refusals = {},
                   std::vector<std::string> failures = {}, std::vector<std::string> lists = {"Inbox"}) {
        state.record({PollOutcome::Succeeded{fetched, delivered, std::move(refusals), std::move(failures), std::move(lists)}});
    }
};

} // namespace

TEST_F(SyncStateTest, LastSyncDescriptionAgesWithTheClock) {
    EXPECT_EQ(state.lastSyncDescription(), "No reminders collected yet");
    succeeded(0, 0);
    const auto at = *state.lastSuccessfulPoll();
    const std::pair<double, const char*> cases[] = {
        {9.9, "Last checked just now"},  {-30, "Last checked just now"}, {10, "Last checked 10s ago"},
        {59.99, "Last checked 59s ago"}, {60, "Last checked 1m ago"},    {3599, "Last checked 59m ago"},
        {3600, "Last checked 1h ago"},   {7199, "Last checked 1h ago"},  {7200, "Last checked 2h ago"},
    };
    for (const auto& [elapsed, text] : cases) {
        clock.current = at + elapsed;
        EXPECT_EQ(state.lastSyncDescription(), text) << elapsed;
    }
}

TEST_F(SyncStateTest, EachOperationIsOneFinishedChange) {
    std::vector<std::string> seen;
    state.onChange = [&] {
        ++changes;
        seen.push_back(state.headline());
    };
    const std::function<void()> operations[] = {
        [&] {
            state.setPaired(Pairing{"https://relay.example:8443/base", "rk_x", {}});
        },
        [&] { state.beginAttempt(); },
        [&] { state.record({PollOutcome::Failed{RelayError::http(500)}}); },
        [&] { state.record({PollOutcome::AccessDenied{}}); },
        [&] { state.record({PollOutcome::AccessFailed{"no database"}}); },
        [&] {
            succeeded(3, 1, {"A", std::nullopt}, {"disk full"});
        }, // broken stays broken
        [&] { state.record({PollOutcome::Failed{RelayError::transport("down")}}); },
        [&] {
            succeeded(3, 1, {"A", std::nullopt}, {"disk full", "disk full"});
        },
        [&] { succeeded(0, 0); },
        [&] { state.setPaired(std::nullopt); },
    };
    for (const auto& operation : operations) {
        changes = 0;
        operation();
        EXPECT_EQ(changes, 1);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Not paired", "Checking…", "Trouble: Backend returned HTTP 500.",
                                              "Needs Reminders access", "Stopped: Reminders access failed: no database",
                                              "Stopped: Reminders access failed: no database",
                                              "Trouble: Could not reach the backend: down", "Trouble: 2 couldn’t be saved",
                                              "Connected", "Not paired"}));
}

TEST_F(SyncStateTest, APollWithItemsReplacesTheTalliesAndOneWithoutKeepsThem) {
    state.setPaired(Pairing{"not a url", "rk_x", {}});
    EXPECT_EQ(state.pairedHost(), "not a url");
    const std::string longA = std::string(59, 'b') + "-first ending", longB = std::string(59, 'b') + "-other ending";
    succeeded(6, 2, {"Groceries", "Groceries", std::string(), std::nullopt}, {longA, longB, "short"}, {"Inbox", "Work"});
    EXPECT_EQ(state.refusedByList(), (Tallies{{"Groceries", 2}}));
    EXPECT_EQ(state.refusedWithNoList(), 2);
    EXPECT_EQ(state.failedWrites(), (Tallies{{std::string(59, 'b') + "…", 2}, {"short", 1}}));
    EXPECT_EQ(state.health(), Health::warning("3 couldn’t be saved"));

    succeeded(0, 0, {}, {}, {"Work"});
    EXPECT_EQ(state.refusedWithNoList(), 2);
    EXPECT_EQ(state.failedWrites().size(), 2u);
    EXPECT_EQ(state.knownLists(), std::vector<std::string>{"Work"});
    EXPECT_EQ(state.deliveredThisSession(), 2);

    succeeded(1, 1, {"Other"});
    EXPECT_EQ(state.refusedByList(), (Tallies{{"Other", 1}}));
    EXPECT_EQ(state.refusedWithNoList(), 0);
    EXPECT_TRUE(state.failedWrites().empty());
    EXPECT_EQ(state.deliveredThisSession(), 3);

    // A new pairing keeps everything; none clears all but the lists.
    state.setPaired(Pairing{"https://relay.example", "rk_x", {}});
    EXPECT_EQ(state.deliveredThisSession(), 3);
    state.setPaired(std::nullopt);
    EXPECT_FALSE(state.pairedHost());
    EXPECT_FALSE(state.lastSuccessfulPoll());
    EXPECT_EQ(state.deliveredThisSession(), 0);
    EXPECT_TRUE(state.refusedByList().empty());
    EXPECT_EQ(state.knownLists(), std::vector<std::string>{"Inbox"});
}

TEST(SyncState, FailureKeysCountUserPerceivedCharacters) {
    EXPECT_EQ(SyncState::failureKey(std::string(60, 'a')), std::string(60, 'a'));
    std::string accented; // e + combining accent: one character each
    for (int i = 0; i < 59; ++i)
        accented += "e\xCC\x81";
    EXPECT_EQ(SyncState::failureKey(accented + "xy"), accented + "…");
}
