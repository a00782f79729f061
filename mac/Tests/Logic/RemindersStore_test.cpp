#include "Support/FakePlatform.h"
#include "TavrelinMac/RemindersStore.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::DateComponents;
using platform::RemindersAuthorization;
using Access = RemindersStore::Access;
using WriteResult = RemindersStore::WriteResult;

namespace {

struct RemindersStoreTest : ::testing::Test {
    fake::FakeClock clock;
    fake::FakeRemindersDatabase database;
    RemindersStore store{database, clock};

    WriteResult create(const std::string& title, std::optional<std::string> list, std::optional<std::string> dueIso = {},
                       bool allDay = false, std::optional<std::string> notes = {}) {
        return store.create(title, notes, dueIso, allDay, list, "");
    }
};

} // namespace

TEST_F(RemindersStoreTest, PromptsOnlyWhileUndeterminedAndOnlyOnce) {
    for (auto status : {RemindersAuthorization::denied, RemindersAuthorization::restricted}) {
        database.status = status;
        EXPECT_EQ(store.requestAccess(), Access::denied());
    }
    database.status = RemindersAuthorization::notDetermined;
    database.answer = {false, std::nullopt};
    EXPECT_EQ(store.requestAccess(), Access::denied());
    database.answer = {true, std::nullopt};
    EXPECT_EQ(store.requestAccess(), Access::denied()) << "the remembered answer, no second prompt";
    database.status = RemindersAuthorization::fullAccess; // granted in the settings later
    EXPECT_EQ(store.requestAccess(), Access::granted());
    EXPECT_EQ(database.prompts, 1);
}

TEST_F(RemindersStoreTest, FilesIntoTheFirstCanonicallyEqualListOrRefuses) {
    database.addList("Caf\xC3\xA9");  // é as one code point
    database.addList("Cafe\xCC\x81"); // e + combining accent
    EXPECT_EQ(create("milk", std::nullopt), WriteResult::noList());
    EXPECT_EQ(create("milk", ""), WriteResult::noList());
    EXPECT_EQ(create("milk", " Caf\xC3\xA9"), WriteResult::unknownList(" Caf\xC3\xA9")) << "no trimming";
    EXPECT_TRUE(database.saved.empty());
    EXPECT_EQ(create("coffee", "Cafe\xCC\x81"), WriteResult::saved("Caf\xC3\xA9"));

    database.addList("Work"); // made during a poll: found from the next poll on
    EXPECT_EQ(create("report", "Work"), WriteResult::unknownList("Work"));
    store.requestAccess();
    EXPECT_EQ(create("report", "Work"), WriteResult::saved("Work"));
    EXPECT_EQ(store.listNames(), (std::vector<std::string>{"Caf\xC3\xA9", "Cafe\xCC\x81", "Work"}));

    database.failingTitles["boom"] = "The disk is full.";
    database.unreadableTitles.insert("ghost");
    EXPECT_EQ(create("boom", "Work"), WriteResult::failed("The disk is full."));
    EXPECT_EQ(create("ghost", "Work"), WriteResult::failed("saved but could not be read back"));
}

TEST_F(RemindersStoreTest, WritesTitleNotesDueAndAlarm) {
    database.addList("Inbox");
    clock.utcOffset = 2 * 3600;
    create("", "Inbox", "", false, "");
    EXPECT_EQ(database.saved.back().title, "");
    EXPECT_FALSE(database.saved.back().notes) << "empty notes stay unset";
    EXPECT_FALSE(database.saved.back().due);

    create("all day", "Inbox", "2024-05-01", true, "bring cake");
    EXPECT_EQ(database.saved.back().notes, "bring cake");
    EXPECT_EQ(database.saved.back().due, (DateComponents{2024, 5, 1, std::nullopt, std::nullopt}));
    EXPECT_FALSE(database.saved.back().alarm);

    create("timed", "Inbox", "2024-05-01T14:30:00Z");
    EXPECT_EQ(database.saved.back().alarm, platform::Date::fromUnix(1714566600.0)); // 14:30 at UTC+2

    create("unreadable", "Inbox", "2024-05-01 14:30");
    EXPECT_FALSE(database.saved.back().due);
    create("far", "Inbox", "9999999999-1-1"); // the calendar cannot place it: no alarm
    EXPECT_TRUE(database.saved.back().due);
    EXPECT_FALSE(database.saved.back().alarm);
}

TEST(DueDate, ReadsTheNumbersItCanFindAndIgnoresTheRest) {
    auto day = [](std::int64_t y, std::int64_t m, std::int64_t d) { return DateComponents{y, m, d, {}, {}}; };
    const std::tuple<const char*, bool, std::optional<DateComponents>> cases[] = {
        {"2024-05-01T14:30:00Z", true, day(2024, 5, 1)}, // time ignored for all-day items
        {"2024-05-01", false, DateComponents{2024, 5, 1, 9, 0}},
        {"2024-05-01T14:30:00.000+02:00", false, DateComponents{2024, 5, 1, 14, 30}}, // offset not applied
        {"2024-05-01T14", false, DateComponents{2024, 5, 1, 9, 0}},                   // one number is not enough
        {"2024-05-01T::14::07::", false, DateComponents{2024, 5, 1, 14, 7}},          // empty pieces skipped
        {"2024-05-01T-3:+75", false, DateComponents{2024, 5, 1, -3, 75}},             // signs allowed, ranges not checked
        {"2024-05-01T14:30T45", false, DateComponents{2024, 5, 1, 9, 0}},             // "30T45" is not a number
        {"TT2024-5-1T08:15", false, DateComponents{2024, 5, 1, 8, 15}},               // leading T's skipped
        {"+2024--05--01-extra", true, day(2024, 5, 1)},
        {"20240501", true, std::nullopt},
        {"2024-05-01-06", true, std::nullopt}, // four numbers
        {"2024-05-01t14:30", false, std::nullopt},
        {"TTT", true, std::nullopt},
        {"2024-++5-1", true, std::nullopt},
        {"2024- 5.0-1", true, std::nullopt},
        {"9223372036854775808-1-1-2", true, day(1, 1, 2)}, // an overflowing piece is dropped
        {"9223372036854775807-1-1", true, day(INT64_MAX, 1, 1)},
        {"\xD9\xA2\xD9\xA0-1-1", true, std::nullopt}, // Arabic-Indic digits are not decimal digits here
    };
    for (const auto& [text, allDay, expected] : cases)
        EXPECT_EQ(RemindersStore::dueComponents(text, allDay), expected) << text << " allDay=" << allDay;
}
