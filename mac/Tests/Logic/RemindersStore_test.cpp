#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersStore.h"

using namespace tavrelin;

namespace {

struct RemindersStoreTest : ::testing::Test, fake::FakeServices {
    RemindersStore store{reminders, clock};

    void SetUp() override { reminders.addList("Inbox"); }
    RemindersStore::WriteResult create(const std::string& title, std::optional<std::string> list,
                                       std::optional<std::string> dueIso = {}, bool allDay = false,
                                       std::optional<std::string> notes = {}) {
        return store.create(title, notes, dueIso, allDay, list, "", "");
    }
};

} // namespace

TEST_F(RemindersStoreTest, FilesIntoTheFirstCanonicallyEqualListOrRefuses) {
    reminders.addList("Caf\xC3\xA9");  // é as one code point
    reminders.addList("Cafe\xCC\x81"); // e + combining accent
    EXPECT_EQ(create("milk", ""), RemindersStore::WriteResult::noList());
    EXPECT_EQ(create("milk", " Caf\xC3\xA9"), RemindersStore::WriteResult::unknownList(" Caf\xC3\xA9")) << "no trimming";
    EXPECT_EQ(create("coffee", "Cafe\xCC\x81"), RemindersStore::WriteResult::saved("Caf\xC3\xA9"));

    reminders.addList("Work"); // made during a poll: found from the next poll on
    EXPECT_EQ(create("report", "Work"), RemindersStore::WriteResult::unknownList("Work"));
    store.requestAccess();
    EXPECT_EQ(create("report", "Work"), RemindersStore::WriteResult::saved("Work"));

    reminders.unreadableTitles.insert("ghost");
    EXPECT_EQ(create("ghost", "Work"), RemindersStore::WriteResult::failed("saved but could not be read back"));
}

TEST_F(RemindersStoreTest, WritesNotesAndDueAndAnAlarmOnlyForTimedItems) {
    clock.utcOffset = 2 * 3600;
    const auto& saved = reminders.saved;
    create("", "Inbox", "", false, "");
    EXPECT_FALSE(saved.back().notes) << "empty notes stay unset";
    create("all day", "Inbox", "2024-05-01", true, "bring cake");
    EXPECT_EQ(saved.back().notes, "bring cake");
    EXPECT_EQ(saved.back().due, (platform::DateComponents{2024, 5, 1, std::nullopt, std::nullopt}));
    EXPECT_FALSE(saved.back().alarm);
    create("timed", "Inbox", "2024-05-01T14:30:00Z");
    EXPECT_EQ(saved.back().alarm, platform::Date::fromUnix(1714566600.0)); // 14:30 at UTC+2
}

// A failure is named by what failed: lists that cannot be read fail every
// create of the poll without asking again, and a lookup that fails says why.
TEST_F(RemindersStoreTest, FailuresOfTheListsOrTheLookupSayWhatFailed) {
    int asked = 0;
    reminders.beforeLists = [&] {
        if (++asked == 1)
            throw platform::RemindersError("the registry does not answer");
    };
    store.requestAccess();
    for (const char* title : {"a", "b"})
        EXPECT_EQ(create(title, "Inbox"), RemindersStore::WriteResult::failed("the registry does not answer")) << title;
    EXPECT_EQ(asked, 1) << "once per poll";
    store.requestAccess(); // the next poll asks again
    EXPECT_EQ(create("c", "Inbox"), RemindersStore::WriteResult::saved("Inbox"));

    reminders.lookupFailure = "Evolution Data Server is not answering";
    EXPECT_EQ(create("d", "Inbox"), RemindersStore::WriteResult::failed("Evolution Data Server is not answering"));
}

// The system's status decides; where it has not, one prompt per process does,
// and a prompt that cannot be made says why rather than counting as a no.
TEST_F(RemindersStoreTest, AccessIsTheStatusOrTheAnswerOfOnePromptOrWhyItCouldNotBeAsked) {
    using platform::RemindersAccessAnswer;
    using platform::RemindersAuthorization;
    using Access = RemindersStore::Access;
    const std::tuple<RemindersAuthorization, RemindersAccessAnswer, std::optional<std::string>, Access, int> rows[] = {
        {RemindersAuthorization::fullAccess, RemindersAccessAnswer::denied, {}, Access::granted(), 0},
        {RemindersAuthorization::denied, RemindersAccessAnswer::granted, {}, Access::denied(), 0},
        {RemindersAuthorization::restricted, RemindersAccessAnswer::granted, {}, Access::denied(), 0},
        {RemindersAuthorization::notDetermined, RemindersAccessAnswer::granted, {}, Access::granted(), 1},
        {RemindersAuthorization::writeOnly, RemindersAccessAnswer::denied, {}, Access::denied(), 1},
        {RemindersAuthorization::notDetermined, RemindersAccessAnswer::granted, "no database", Access::failed("no database"),
         1},
    };
    for (const auto& [status, answer, problem, expected, prompts] : rows) {
        fake::FakeRemindersDatabase database;
        database.status = status;
        database.answer = answer;
        database.accessProblem = problem;
        RemindersStore fresh(database, clock);
        EXPECT_EQ(fresh.requestAccess(), expected) << static_cast<int>(status);
        database.accessProblem.reset();
        EXPECT_EQ(fresh.requestAccess(), expected) << "the first answer stands";
        EXPECT_EQ(database.prompts, prompts);
    }
}

TEST(RemindersStore, DueDateReadsTheNumbersItCanFindAndIgnoresTheRest) {
    auto day = [](std::int64_t y, std::int64_t m, std::int64_t d) { return platform::DateComponents{y, m, d, {}, {}}; };
    const std::tuple<const char*, bool, std::optional<platform::DateComponents>> cases[] = {
        {"2024-05-01", false, platform::DateComponents{2024, 5, 1, 9, 0}},
        {"2024-05-01T14:30:00.000+02:00", false, platform::DateComponents{2024, 5, 1, 14, 30}}, // offset not applied
        {"2024-05-01T14", false, platform::DateComponents{2024, 5, 1, 9, 0}},                   // one number is not enough
        {"2024-05-01T::14::07::", false, platform::DateComponents{2024, 5, 1, 14, 7}},          // empty pieces skipped
        {"+2024--05--01-extra", true, day(2024, 5, 1)},                                         // and no time for all-day items
        {"2024-05-01-06", true, std::nullopt},                                                  // four numbers
        {"2024- 5.0-1", true, std::nullopt},
        {"9223372036854775808-1-1-2", true, day(1, 1, 2)}, // an overflowing piece is dropped
        {"\xD9\xA2\xD9\xA0-1-1", true, std::nullopt},      // Arabic-Indic digits are not decimal digits here
    };
    for (const auto& [text, allDay, expected] : cases)
        EXPECT_EQ(RemindersStore::dueComponents(text, allDay), expected) << text << " allDay=" << allDay;
}
