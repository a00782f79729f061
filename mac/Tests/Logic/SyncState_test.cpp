// The delivery record; every headline and "last checked" text is checked here.

#include "Support/FakePlatform.h"
#include "TavrelinMac/SyncState.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using Tallies = std::map<std::string, std::int64_t>;

namespace {

PollOutcome succeeded(std::int64_t fetched, std::int64_t delivered, std::vector<std::optional<std::string>> refusals = {},
                      std::vector<std::string> failures = {}, std::vector<std::string> lists = {"Inbox"}) {
    return {PollOutcome::Succeeded{fetched, delivered, std::move(refusals), std::move(failures), std::move(lists)}};
}

} // namespace

TEST(SyncState, LastSyncDescriptionAgesWithTheClock) {
    fake::FakeClock clock;
    SyncState state{clock};
    EXPECT_EQ(state.lastSyncDescription(), "No reminders collected yet");
    state.record(succeeded(0, 0));
    const std::pair<double, const char*> cases[] = {
        {9.9, "Last checked just now"},  {-30, "Last checked just now"}, {10, "Last checked 10s ago"},
        {59.99, "Last checked 59s ago"}, {60, "Last checked 1m ago"},    {3599, "Last checked 59m ago"},
        {3600, "Last checked 1h ago"},   {7200, "Last checked 2h ago"},
    };
    for (const auto& [elapsed, text] : cases) {
        clock.current = *state.lastSuccessfulPoll() + elapsed;
        EXPECT_EQ(state.lastSyncDescription(), text) << elapsed;
    }
}

TEST(SyncState, EachOperationIsOneChangeWithItsHeadline) {
    fake::FakeClock clock;
    SyncState state{clock};
    std::vector<std::string> seen;
    state.onChange = [&] { seen.push_back(state.headline()); };
    const std::pair<std::function<void()>, std::string> operations[] = {
        {[&] {
             state.setPaired(Pairing{"https://relay.example:8443/base", "rk_x", {}});
         },
         "Not paired"},
        {[&] { state.beginAttempt(); }, "Checking…"},
        {[&] { state.record({PollOutcome::Failed{RelayError::http(500)}}); }, "Trouble: Backend returned HTTP 500."},
        {[&] { state.record({PollOutcome::AccessDenied{}}); }, "Needs Reminders access"},
        {[&] { state.record({PollOutcome::AccessFailed{"no database"}}); }, "Stopped: Reminders access failed: no database"},
        // Broken stays broken through a successful poll.
        {[&] { state.record(succeeded(3, 1, {}, {"disk full"})); }, "Stopped: Reminders access failed: no database"},
        {[&] { state.record({PollOutcome::Failed{RelayError::transport("down")}}); },
         "Trouble: Could not reach the backend: down"},
        {[&] {
             state.record(succeeded(3, 1, {}, {"disk full", "disk full"}));
         },
         "Trouble: 2 couldn’t be saved"},
        {[&] { state.record(succeeded(0, 0)); }, "Connected"},
        {[&] { state.record({PollOutcome::Failed{RelayError::unauthorized()}}); },
         "Stopped: The backend rejected this pairing. Re-pair from the extension."},
        {[&] { state.setPaired(std::nullopt); }, "Not paired"},
    };
    for (const auto& [operation, headline] : operations) {
        seen.clear();
        operation();
        EXPECT_EQ(seen, std::vector<std::string>{headline});
    }
    EXPECT_EQ(state.pairedHost(), std::nullopt);
}

TEST(SyncState, APollWithItemsReplacesTheTalliesAndOneWithoutKeepsThem) {
    fake::FakeClock clock;
    SyncState state{clock};
    state.setPaired(Pairing{"https://relay.example:8443/base", "rk_x", {}});
    EXPECT_EQ(state.pairedHost(), "relay.example");
    const std::string a = std::string(59, 'a') + "-one ending", b = std::string(59, 'a') + "-another ending";
    state.record(succeeded(6, 2, {"Groceries", "Groceries", std::string(), std::nullopt}, {a, b, "b"}, {"In", "Work"}));
    EXPECT_EQ(state.refusedByList(), (Tallies{{"Groceries", 2}}));
    EXPECT_EQ(state.refusedWithNoList(), 2);
    EXPECT_EQ(state.failedWrites(), (Tallies{{std::string(59, 'a') + "…", 2}, {"b", 1}}));
    EXPECT_EQ(state.health(), SyncState::Health::warning("3 couldn’t be saved"));

    state.record(succeeded(0, 0, {}, {}, {"Work"}));
    EXPECT_EQ(state.refusedWithNoList(), 2);
    EXPECT_EQ(state.failedWrites().size(), 2u);
    EXPECT_EQ(state.knownLists(), std::vector<std::string>{"Work"});

    state.record(succeeded(1, 1, {"Other"}));
    EXPECT_EQ(state.refusedByList(), (Tallies{{"Other", 1}}));
    EXPECT_EQ(state.refusedWithNoList(), 0);
    EXPECT_TRUE(state.failedWrites().empty());
    EXPECT_EQ(state.deliveredThisSession(), 3);

    // None clears all but the lists.
    state.setPaired(std::nullopt);
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
