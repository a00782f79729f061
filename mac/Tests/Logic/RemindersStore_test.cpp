#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersStore.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::RemindersAuthorization;
using Access = RemindersStore::Access;
using WriteResult = RemindersStore::WriteResult;

namespace {

// Forwards to the fake and keeps what the store asked to save.
struct RecordingDatabase final : platform::RemindersDatabase {
    fake::FakeRemindersDatabase& inner;
    std::vector<platform::NewReminder> requests;
    bool readBackWithoutList = false;
    explicit RecordingDatabase(fake::FakeRemindersDatabase& d) : inner(d) {}
    RemindersAuthorization authorizationStatus() const override { return inner.authorizationStatus(); }
    platform::RemindersAccessAnswer requestFullAccess() override { return inner.requestFullAccess(); }
    std::vector<platform::ReminderList> lists() const override { return inner.lists(); }
    std::string save(const platform::NewReminder& reminder) override {
        requests.push_back(reminder);
        return inner.save(reminder);
    }
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override {
        auto found = inner.reminder(identifier);
        if (found && readBackWithoutList)
            found->listTitle.reset();
        return found;
    }
};

struct RemindersStoreTest : ::testing::Test {
    fake::FakeClock clock;
    fake::FakeRemindersDatabase database;
    RecordingDatabase recording{database};
    RemindersStore store{recording, clock};

    WriteResult create(const std::string& title, std::optional<std::string> list,
                       std::optional<std::string> dueIso = std::nullopt, bool allDay = false,
                       std::optional<std::string> notes = std::nullopt, const std::string& key = {}) {
        return store.create(title, notes, dueIso, allDay, list, key);
    }
};

} // namespace

TEST_F(RemindersStoreTest, UndeterminedStatusPromptsOnceAndRemembersTheAnswer) {
    database.status = RemindersAuthorization::notDetermined;
    database.answer = {false, std::nullopt};
    EXPECT_EQ(store.requestAccess(), Access::denied());
    database.answer = {true, std::nullopt};
    EXPECT_EQ(store.requestAccess(), Access::denied()) << "the remembered answer, no second prompt";
    EXPECT_EQ(database.prompts, 1);

    // The user grants access in the settings later: the status says so.
    database.status = RemindersAuthorization::fullAccess;
    EXPECT_EQ(store.requestAccess(), Access::granted());
    EXPECT_EQ(database.prompts, 1);
}

TEST_F(RemindersStoreTest, DeniedAndRestrictedNeverPrompt) {
    for (auto status : {RemindersAuthorization::denied, RemindersAuthorization::restricted}) {
        database.status = status;
        EXPECT_EQ(store.requestAccess(), Access::denied());
    }
    EXPECT_EQ(database.prompts, 0);

    // Even with a granted answer remembered, a later denial wins.
    database.status = RemindersAuthorization::notDetermined;
    EXPECT_EQ(store.requestAccess(), Access::granted());
    database.status = RemindersAuthorization::denied;
    EXPECT_EQ(store.requestAccess(), Access::denied());
    EXPECT_EQ(database.prompts, 1);
}

TEST_F(RemindersStoreTest, RefusesItemsWithoutAMatchingList) {
    database.addList("groceries");
    EXPECT_EQ(create("milk", std::nullopt), WriteResult::noList());
    EXPECT_EQ(create("milk", ""), WriteResult::noList());
    EXPECT_EQ(create("milk", "Groceries"), WriteResult::unknownList("Groceries"));
    EXPECT_EQ(create("milk", " groceries"), WriteResult::unknownList(" groceries")) << "no trimming";
    EXPECT_TRUE(database.saved.empty());
}

TEST_F(RemindersStoreTest, PicksTheFirstListWithACanonicallyEqualTitle) {
    database.addList("Inbox");
    auto precomposed = database.addList("Caf\xC3\xA9"); // é as one code point
    database.addList("Cafe\xCC\x81");                   // e + combining accent
    EXPECT_EQ(create("coffee", "Cafe\xCC\x81"), WriteResult::saved("Caf\xC3\xA9"));
    ASSERT_EQ(recording.requests.size(), 1u);
    EXPECT_EQ(recording.requests[0].listIdentifier, precomposed);

    // A list made during a poll is found from the next poll on.
    auto firstWork = database.addList("Work");
    database.addList("Work");
    EXPECT_EQ(create("report", "Work"), WriteResult::unknownList("Work"));
    store.requestAccess();
    EXPECT_EQ(create("report", "Work"), WriteResult::saved("Work"));
    EXPECT_EQ(recording.requests.back().listIdentifier, firstWork);
    EXPECT_EQ(recording.requests.back().title, "report");
}

TEST_F(RemindersStoreTest, AnswersThePickedTitleWhenTheReadBackHasNoList) {
    database.addList("Caf\xC3\xA9");
    recording.readBackWithoutList = true;
    EXPECT_EQ(create("coffee", "Cafe\xCC\x81"), WriteResult::saved("Caf\xC3\xA9"));
}

TEST_F(RemindersStoreTest, WritesTitleNotesDueAndAlarm) {
    database.addList("Inbox");
    clock.utcOffset = 2 * 3600;

    EXPECT_EQ(create("", "Inbox", std::nullopt, false, std::string()), WriteResult::saved("Inbox"));
    EXPECT_EQ(database.saved.back().title, "");
    EXPECT_FALSE(database.saved.back().notes) << "empty notes stay unset";
    EXPECT_FALSE(database.saved.back().due);

    EXPECT_EQ(create("all day", "Inbox", "2024-05-01", true, "bring cake"), WriteResult::saved("Inbox"));
    EXPECT_EQ(database.saved.back().notes, "bring cake");
    EXPECT_EQ(database.saved.back().due, (platform::DateComponents{2024, 5, 1, std::nullopt, std::nullopt}));
    EXPECT_FALSE(database.saved.back().alarm);

    EXPECT_EQ(create("timed", "Inbox", "2024-05-01T14:30:00Z"), WriteResult::saved("Inbox"));
    EXPECT_EQ(database.saved.back().due, (platform::DateComponents{2024, 5, 1, 14, 30}));
    // 14:30 local time at UTC+2 is 12:30 UTC.
    EXPECT_EQ(database.saved.back().alarm, platform::Date::fromUnix(1714566600.0));

    for (const char* unreadable : {"2024-05-01 14:30", ""}) {
        EXPECT_EQ(create("unreadable", "Inbox", unreadable), WriteResult::saved("Inbox"));
        EXPECT_FALSE(database.saved.back().due) << unreadable;
        EXPECT_FALSE(database.saved.back().alarm) << unreadable;
    }

    // Components the calendar cannot place keep the due date but get no alarm.
    EXPECT_EQ(create("far", "Inbox", "9999999999-1-1"), WriteResult::saved("Inbox"));
    EXPECT_TRUE(database.saved.back().due);
    EXPECT_FALSE(database.saved.back().alarm);
}

TEST_F(RemindersStoreTest, ReportsSaveAndReadBackFailures) {
    database.addList("Inbox");
    database.failingTitles["boom"] = "The disk is full.";
    database.unreadableTitles.insert("ghost");
    EXPECT_EQ(create("boom", "Inbox"), WriteResult::failed("The disk is full."));
    EXPECT_EQ(create("ghost", "Inbox"), WriteResult::failed("saved but could not be read back"));
    EXPECT_EQ(database.saved.size(), 1u) << "the ghost was saved all the same";
}

TEST_F(RemindersStoreTest, ListNamesInDatabaseOrderWithDuplicates) {
    EXPECT_TRUE(store.listNames().empty());
    database.addList("Work");
    database.addList("Inbox");
    database.addList("Work");
    EXPECT_EQ(store.listNames(), (std::vector<std::string>{"Work", "Inbox", "Work"}));
}

TEST_F(RemindersStoreTest, ADeliveryKeyReachesTheDatabaseWhichFilesItOnce) {
    database.addList("Inbox");
    EXPECT_EQ(create("call", "Inbox", {}, false, {}, "relay.example\nitem-1"), WriteResult::saved("Inbox"));
    EXPECT_EQ(create("call", "Inbox", {}, false, {}, "relay.example\nitem-1"), WriteResult::saved("Inbox"));
    EXPECT_EQ(create("call", "Inbox"), WriteResult::saved("Inbox"));
    ASSERT_EQ(recording.requests.size(), 3u);
    EXPECT_EQ(recording.requests[0].deliveryKey, "relay.example\nitem-1");
    EXPECT_EQ(recording.requests[2].deliveryKey, "");
    EXPECT_EQ(database.saved.size(), 2u);
}
