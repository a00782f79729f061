// The delivery record: its changes, tallies and "last checked" texts.

#include "Support/FakePlatform.h"
#include "TavrelinMac/SyncState.h"

using namespace tavrelin;
using Tallies = std::map<std::string, std::int64_t>;

namespace {

PollOutcome succeeded(std::int64_t fetched, std::int64_t delivered, std::vector<std::optional<std::string>> refusals = {},
                      std::vector<std::string> failures = {}, std::vector<std::string> lists = {"Inbox"}) {
    return {PollOutcome::Succeeded{fetched, delivered, std::move(refusals), std::move(failures), std::move(lists)}};
}

struct SyncStateTest : ::testing::Test {
    fake::FakeClock clock;
    SyncState state{clock};
    // Refused per list, refused with no list, failed writes, delivered.
    std::tuple<Tallies, std::int64_t, Tallies, std::int64_t> tallies() const {
        return {state.refusedByList(), state.refusedWithNoList(), state.failedWrites(), state.deliveredThisSession()};
    }
};

} // namespace

TEST_F(SyncStateTest, LastSyncDescriptionAgesWithTheClock) {
    // Before any poll: the menu test's "No reminders collected yet".
    state.record(succeeded(0, 0));
    const std::pair<double, std::string> cases[] = {{9.9, "just now"}, {-30, "just now"}, {10, "10s ago"}, {59.99, "59s ago"},
                                                    {60, "1m ago"},    {3599, "59m ago"}, {3600, "1h ago"}};
    for (const auto& [elapsed, text] : cases) {
        clock.current = *state.lastSuccessfulPoll() + elapsed;
        EXPECT_EQ(state.lastSyncDescription(), "Last checked " + text) << elapsed;
    }
}

TEST_F(SyncStateTest, EachOperationIsOneChangeWithItsHeadline) {
    std::vector<std::string> seen;
    state.onChange = [&] { seen.push_back(state.headline()); };
    state.setPaired(Pairing{"https://relay.example:8443/base", "rk_x", {}});
    state.beginAttempt();
    EXPECT_EQ(std::exchange(seen, {}), (std::vector<std::string>{"Not paired", "Checking…"}));
    const std::vector<std::string> stopped{"Stopped: The backend rejected this pairing. Re-pair from the extension."};
    state.record({PollOutcome::Failed{RelayError::unauthorized()}});
    EXPECT_EQ(std::exchange(seen, {}), stopped);
    state.record(succeeded(3, 1, {}, {"disk full"})); // broken stays broken through a successful poll
    EXPECT_EQ(std::exchange(seen, {}), stopped);
    state.setPaired(std::nullopt);
    EXPECT_EQ(seen, std::vector<std::string>{"Not paired"});
    EXPECT_EQ(state.pairedHost(), std::nullopt);
}

TEST_F(SyncStateTest, APollWithItemsReplacesTheTalliesKeyedByTheirFirst59CharactersAndOneWithoutKeepsThem) {
    std::string accented; // e + combining accent: one character each
    for (int i = 0; i < 59; ++i)
        accented += "e\xCC\x81";
    const std::string sixty(60, 'a');
    state.record(succeeded(6, 2, {"Groceries", "Groceries", std::string(), std::nullopt},
                           {accented + "xy", accented + "-another ending", sixty}, {"In", "Work"}));
    const auto first = std::tuple(Tallies{{"Groceries", 2}}, 2, Tallies{{accented + "…", 2}, {sixty, 1}}, 2);
    EXPECT_EQ(tallies(), first);
    state.record(succeeded(0, 0, {}, {}, {"Work"}));
    EXPECT_EQ(tallies(), first);
    EXPECT_EQ(state.knownLists(), std::vector<std::string>{"Work"});
    state.record(succeeded(1, 1, {"Other"}, {"c"}));
    EXPECT_EQ(tallies(), std::tuple(Tallies{{"Other", 1}}, 0, Tallies{{"c", 1}}, 3));

    // None clears all but the lists.
    state.setPaired(std::nullopt);
    EXPECT_FALSE(state.lastSuccessfulPoll());
    EXPECT_EQ(tallies(), std::tuple(Tallies{}, 0, Tallies{}, 0));
    EXPECT_EQ(state.knownLists(), std::vector<std::string>{"Inbox"});
}
