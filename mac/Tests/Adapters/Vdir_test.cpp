#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/FakePlatform.h"
#include "Support/VdirFixture.h"

#include <libical/ical.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::DateComponents;
using platform::NewReminder;
using platform::RemindersAuthorization;
using vdir::VdirRemindersDatabase;

namespace {

namespace fs = std::filesystem;

struct ParsedCalendar {
    explicit ParsedCalendar(const std::string& text) : root(icalparser_parse_string(text.c_str())) {}
    ~ParsedCalendar() {
        if (root)
            icalcomponent_free(root);
    }
    ParsedCalendar(const ParsedCalendar&) = delete;
    ParsedCalendar& operator=(const ParsedCalendar&) = delete;

    icalcomponent* todo() const { return root ? icalcomponent_get_first_component(root, ICAL_VTODO_COMPONENT) : nullptr; }
    int count(icalcomponent* component, icalproperty_kind kind) const {
        return icalcomponent_count_properties(component, kind);
    }

    icalcomponent* root;
};

class VdirTest : public ::testing::Test {
protected:
    fs::path root() const { return fs::path(temp.path()) / "calendars"; }
    std::string file(const std::string& list, const std::string& id) const { return (root() / list / (id + ".ics")).string(); }

    TempFolder temp;
    posix::PosixFiles files;
};

std::string dueLineOf(const std::string& text) {
    auto start = text.find("\r\nDUE");
    if (start == std::string::npos)
        return "";
    start += 2;
    return text.substr(start, text.find("\r\n", start) - start);
}

} // namespace

TEST_F(VdirTest, AuthorizationFollowsTheRootFolder) {
    VdirRemindersDatabase missing((root() / "nested" / "deeper").string(), files);
    EXPECT_EQ(missing.authorizationStatus(), RemindersAuthorization::notDetermined);
    EXPECT_TRUE(missing.lists().empty());

    auto answer = missing.requestFullAccess();
    EXPECT_TRUE(answer.granted);
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(missing.authorizationStatus(), RemindersAuthorization::fullAccess);
    EXPECT_TRUE(fs::is_empty(root() / "nested" / "deeper")) << "the agent never creates lists";
    EXPECT_TRUE(missing.requestFullAccess().granted);

    // A file where the root should be: present but unusable.
    writeText(fs::path(temp.path()) / "plain-file", "x");
    VdirRemindersDatabase onFile(temp / "plain-file", files);
    EXPECT_EQ(onFile.authorizationStatus(), RemindersAuthorization::denied);
    auto refused = onFile.requestFullAccess();
    EXPECT_FALSE(refused.granted);
    EXPECT_FALSE(refused.error);

    // Below a file: missing, and the prompt cannot create it.
    VdirRemindersDatabase belowFile(temp / "plain-file/calendars", files);
    EXPECT_EQ(belowFile.authorizationStatus(), RemindersAuthorization::notDetermined);
    auto failed = belowFile.requestFullAccess();
    EXPECT_FALSE(failed.granted);
    ASSERT_TRUE(failed.error);
    EXPECT_NE(failed.error->find("plain-file/calendars"), std::string::npos) << *failed.error;
}

TEST_F(VdirTest, ReadOnlyRootIsDenied) {
    fs::create_directories(root());
    fs::permissions(root(), fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(root().c_str(), W_OK) == 0)
        GTEST_SKIP() << "running with privileges that ignore permission bits (root)";
    VdirRemindersDatabase database(root().string(), files);
    EXPECT_EQ(database.authorizationStatus(), RemindersAuthorization::denied);
    EXPECT_FALSE(database.requestFullAccess().granted);
}

TEST(VdirDefaultRoot, AnAbsoluteExplicitFolderElseCalendarsInTheDataFolder) {
    struct Case {
        std::optional<std::string> explicitRoot, data;
        std::string expected;
    } cases[] = {
        {"/explicit/lists", "/data", "/explicit/lists"},
        {"", "/data", "/data/calendars"},
        {"relative/lists", "/data", "/data/calendars"},
        {std::nullopt, "relative", "/home/someone/.local/share/calendars"},
    };
    for (const auto& c : cases) {
        ScopedEnv env{{"HOME", "/home/someone"}, {"XDG_DATA_HOME", c.data}, {"TAVRELIN_REMINDERS_DIR", c.explicitRoot}};
        EXPECT_EQ(VdirRemindersDatabase::defaultRoot(), c.expected) << c.explicitRoot.value_or("(unset)");
    }
}

TEST_F(VdirTest, ListsAreSortedFoldersTitledByDisplayName) {
    makeList(root(), "work", "Work Stuff");
    makeList(root(), "Zeta");
    makeList(root(), "groceries");
    writeText(root() / "groceries" / "displayname", "Groceries \xE2\x80\x94 weekly\r\n\n");
    makeList(root(), "blank");
    writeText(root() / "blank" / "displayname", "\n");
    makeList(root(), ".hidden", "Hidden");
    writeText(root() / "stray.ics", "not a list");

    VdirRemindersDatabase database(root().string(), files);
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& list : database.lists())
        seen.emplace_back(list.identifier, list.title);
    std::vector<std::pair<std::string, std::string>> expected{
        {"Zeta", "Zeta"}, {"blank", "blank"}, {"groceries", "Groceries \xE2\x80\x94 weekly"}, {"work", "Work Stuff"}};
    EXPECT_EQ(seen, expected);
}

TEST_F(VdirTest, AllDayReminderIsOneVtodoWithDateDue) {
    makeList(root(), "home", "Home");
    VdirRemindersDatabase database(root().string(), files);
    auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    auto id = database.save({"home", "Water the plants", "Both balconies", DateComponents{2024, 5, 1, {}, {}}, {}, {}});

    std::string text = readFile(file("home", id));
    EXPECT_EQ(dueLineOf(text), "DUE;VALUE=DATE:20240501");
    ParsedCalendar parsed(text);
    ASSERT_TRUE(parsed.root);
    ASSERT_EQ(icalcomponent_isa(parsed.root), ICAL_VCALENDAR_COMPONENT);
    EXPECT_STREQ(icalproperty_get_version(icalcomponent_get_first_property(parsed.root, ICAL_VERSION_PROPERTY)), "2.0");
    EXPECT_EQ(parsed.count(parsed.root, ICAL_PRODID_PROPERTY), 1);
    EXPECT_EQ(icalcomponent_count_components(parsed.root, ICAL_ANY_COMPONENT), 1);
    icalcomponent* todo = parsed.todo();
    ASSERT_TRUE(todo);
    EXPECT_EQ(icalcomponent_get_uid(todo), id);
    EXPECT_STREQ(icalcomponent_get_summary(todo), "Water the plants");
    EXPECT_STREQ(icalcomponent_get_description(todo), "Both balconies");
    icaltimetype due = icalcomponent_get_due(todo);
    EXPECT_TRUE(due.is_date);
    EXPECT_EQ(icalcomponent_count_components(todo, ICAL_VALARM_COMPONENT), 0) << "all-day reminders have no alarm";

    icaltimetype stamp = icalcomponent_get_dtstamp(todo);
    EXPECT_TRUE(icaltime_is_utc(stamp));
    auto stamped = icaltime_as_timet_with_zone(stamp, icaltimezone_get_utc_timezone());
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, before + 60);

    auto back = database.reminder(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->identifier, id);
    EXPECT_EQ(back->listTitle, "Home");
    EXPECT_EQ(back->notes, "Both balconies");
    EXPECT_EQ(back->due, (DateComponents{2024, 5, 1, {}, {}}));
    EXPECT_FALSE(back->alarm);
}

TEST_F(VdirTest, TimedReminderHasFloatingDueAndAbsoluteAlarm) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    // 2024-05-01T12:30:00Z, e.g. 14:30 in a UTC+2 zone.
    auto alarm = platform::Date::fromUnix(1714566600);
    auto id = database.save(
        {"home", "Call Ana, re: plan; bring\nnotes", std::nullopt, DateComponents{2024, 5, 1, 14, 30}, alarm, {}});

    std::string text = readFile(file("home", id));
    EXPECT_EQ(dueLineOf(text), "DUE:20240501T143000") << "floating: no zone, no Z";
    EXPECT_EQ(text.find("TZID"), std::string::npos);
    EXPECT_NE(text.find("\r\nTRIGGER;VALUE=DATE-TIME:20240501T123000Z\r\n"), std::string::npos) << text;

    ParsedCalendar parsed(text);
    icalcomponent* todo = parsed.todo();
    ASSERT_TRUE(todo);
    EXPECT_EQ(parsed.count(todo, ICAL_DESCRIPTION_PROPERTY), 0) << "no notes, no DESCRIPTION";
    ASSERT_EQ(icalcomponent_count_components(todo, ICAL_VALARM_COMPONENT), 1);
    icalcomponent* valarm = icalcomponent_get_first_component(todo, ICAL_VALARM_COMPONENT);
    EXPECT_EQ(icalproperty_get_action(icalcomponent_get_first_property(valarm, ICAL_ACTION_PROPERTY)), ICAL_ACTION_DISPLAY);
    EXPECT_STREQ(icalcomponent_get_description(valarm), "Call Ana, re: plan; bring\nnotes");
    EXPECT_STREQ(icalcomponent_get_summary(todo), "Call Ana, re: plan; bring\nnotes");

    auto back = database.reminder(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->listTitle, "home");
    EXPECT_EQ(back->title, "Call Ana, re: plan; bring\nnotes");
    EXPECT_FALSE(back->notes);
    EXPECT_EQ(back->due, (DateComponents{2024, 5, 1, 14, 30}));
    EXPECT_EQ(back->alarm, alarm);
}

TEST_F(VdirTest, OutOfRangeComponentsCarryOverLikeACalendar) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    struct Case {
        DateComponents due;
        std::string line; // empty: no DUE at all
    } cases[] = {
        {{2024, 13, 45, {}, {}}, "DUE;VALUE=DATE:20250214"},
        {{2024, 2, 30, {}, {}}, "DUE;VALUE=DATE:20240301"},
        {{2024, 1, 0, {}, {}}, "DUE;VALUE=DATE:20231231"},
        {{2024, 5, 1, 14, 75}, "DUE:20240501T151500"},
        {{2024, 5, 1, 9, {}}, "DUE:20240501T090000"},
        {{{}, 5, 1, {}, {}}, ""},
        {{0, 1, 1, {}, {}}, ""},
        {{9223372036854775807LL, 1, 1, {}, {}}, ""},
        {{2024, 1, -9223372036854775807LL, {}, {}}, ""},
        {{3000, 12, 31, 23, 59}, "DUE:30001231T235900"},
        // Later years would be written as a zero date.
        {{3001, 1, 1, {}, {}}, ""},
        {{3000, 12, 31, 23, 60}, ""},
    };
    for (const auto& c : cases) {
        auto id = database.save({"home", "t", {}, c.due, {}, {}});
        std::string text = readFile(file("home", id));
        EXPECT_EQ(dueLineOf(text), c.line) << text;
        ParsedCalendar parsed(text);
        EXPECT_TRUE(parsed.todo()) << "still valid iCalendar: " << text;
    }
}

TEST_F(VdirTest, IdentifiersAreSafeAndUniqueAcrossLists) {
    makeList(root(), "a");
    makeList(root(), "b");
    VdirRemindersDatabase database(root().string(), files);
    std::set<std::string> ids;
    for (int i = 0; i < 40; ++i) {
        auto id = database.save({i % 2 ? "a" : "b", "item " + std::to_string(i), {}, {}, {}, {}});
        EXPECT_TRUE(VdirRemindersDatabase::isValidIdentifier(id)) << id;
        EXPECT_GE(id.size(), 32u);
        EXPECT_TRUE(fs::is_regular_file(file(i % 2 ? "a" : "b", id)));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 40u);
    EXPECT_EQ(filesEndingWith(root(), ".ics").size(), 40u);
    EXPECT_TRUE(filesEndingWith(root(), ".tmp").empty());
}

TEST_F(VdirTest, SavingIntoAnythingButAListThrows) {
    makeList(root(), "home");
    makeList(root(), ".hidden");
    writeText(root() / "stray", "x");
    writeText(fs::path(temp.path()) / "outside" / "keep", "x");
    VdirRemindersDatabase database(root().string(), files);
    for (std::string list : {"nope", "", ".", "..", ".hidden", "stray", "../outside", "home/..", "/tmp"}) {
        EXPECT_THROW(database.save({list, "t", {}, {}, {}, {}}), platform::RemindersError) << list;
    }
    EXPECT_TRUE(filesEndingWith(temp.path(), ".ics").empty());
    EXPECT_TRUE(filesEndingWith(temp.path(), ".tmp").empty());
}

TEST_F(VdirTest, WriteFailureIsAReadableErrorAndLeavesNothing) {
    makeList(root(), "locked");
    fs::permissions(root() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (::access((root() / "locked").c_str(), W_OK) == 0)
        GTEST_SKIP() << "running with privileges that ignore permission bits (root)";
    VdirRemindersDatabase database(root().string(), files);
    try {
        database.save({"locked", "t", {}, {}, {}, {}});
        FAIL() << "saved into a read-only folder";
    } catch (const platform::RemindersError& error) {
        EXPECT_NE(std::string(error.what()).find("locked"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(root() / "locked"));
}

TEST_F(VdirTest, ControlCharactersNeverReachTheFile) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    const char title[] = "bell\x07 null\0 del\x7f tab\tend";
    auto id = database.save({"home", std::string(title, sizeof title - 1), "one\r\ntwo\rthree\nfour", {}, {}, {}});

    std::string text = readFile(file("home", id));
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool lineEnd = c == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        bool allowed = c >= 0x20 ? c != 0x7f : (c == '\t' || c == '\n' || lineEnd);
        EXPECT_TRUE(allowed) << "byte " << int(c) << " at " << i;
    }
    auto back = database.reminder(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->title, "bell null del tab\tend");
    EXPECT_EQ(back->notes, "one\ntwo\nthree\nfour");
}

TEST_F(VdirTest, LookupIgnoresMissingUnparsableAndPathLikeIdentifiers) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    auto id = database.save({"home", "real", {}, {}, {}, {}});
    std::string valid = readFile(file("home", id));

    writeText(root() / "home" / "garbage.ics", "this is not iCalendar\n");
    writeText(root() / "home" / "event.ics", "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:event\r\n"
                                             "SUMMARY:x\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    // Valid reminders outside the list folders must stay out of reach.
    writeText(fs::path(temp.path()) / "outside.ics", valid);
    writeText(root() / "outside.ics", valid);
    writeText(root() / ".hidden" / "secret.ics", valid);
    fs::create_directories(root() / "home" / "dir.ics");

    EXPECT_TRUE(database.reminder(id));
    for (const std::string& bad : std::vector<std::string>{"missing", "garbage", "event", "dir", "", "../outside",
                                                           "../../outside", "..", "home/../outside", "/etc/passwd", "secret",
                                                           ".hidden/secret", "a b", std::string("x\0y", 3)}) {
        EXPECT_FALSE(database.reminder(bad)) << bad;
    }
    EXPECT_FALSE(VdirRemindersDatabase::isValidIdentifier("a/b"));
    EXPECT_FALSE(VdirRemindersDatabase::isValidIdentifier(std::string(300, 'a')));
    EXPECT_TRUE(VdirRemindersDatabase::isValidIdentifier("Az09_.+-"));
}

TEST_F(VdirTest, ADeliveryIsFiledOnceWhereverTheUserMovedOrEditedIt) {
    makeList(root(), "home", "Home");
    makeList(root(), "work", "Work");
    const std::string key = "relay.example\nitem-1";
    const std::string uid = posix::deliveryUid(key);
    {
        VdirRemindersDatabase database(root().string(), files);
        EXPECT_EQ(database.save({"home", "Call", {}, {}, {}, key}), uid);
        EXPECT_EQ(database.save({"work", "Call", {}, {}, {}, key}), uid);
        EXPECT_FALSE(fs::exists(file("work", uid)));
    }

    // Completed and moved to another list, then delivered again after a restart.
    std::string edited = readFile(file("home", uid));
    edited.insert(edited.find("END:VTODO"), "STATUS:COMPLETED\r\n");
    writeText(file("work", uid), edited);
    fs::remove(file("home", uid));
    VdirRemindersDatabase restarted(root().string(), files);
    EXPECT_EQ(restarted.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(readFile(file("work", uid)), edited);
    EXPECT_FALSE(fs::exists(file("home", uid)));
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Work");

    // Moved after the database last looked: still found, under its new list.
    fs::rename(file("work", uid), file("home", uid));
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Home");

    // Without a key every save is a new reminder.
    auto first = restarted.save({"home", "Call", {}, {}, {}, {}});
    auto second = restarted.save({"home", "Call", {}, {}, {}, {}});
    EXPECT_NE(first, second);
    EXPECT_EQ(filesEndingWith(root(), ".ics").size(), 3u);
}

TEST_F(VdirTest, OwnLeftoverTemporariesGoAtTheFirstLookOnly) {
    makeList(root(), "home");
    const std::vector<std::string> others{".other.tmp", "x.tmp", ".tavrelin-notes.txt", ".tavrelin-.tmp"};
    for (const auto& name : others)
        writeText(root() / "home" / name, "someone else's");
    writeText(root() / "home" / ".tavrelin-0123abcd.tmp", "BEGIN:VCAL");
    writeText(root() / ".tavrelin-0123abcd.tmp", "not in a list");

    VdirRemindersDatabase database(root().string(), files);
    database.lists();
    EXPECT_FALSE(fs::exists(root() / "home" / ".tavrelin-0123abcd.tmp"));
    for (const auto& name : others)
        EXPECT_TRUE(fs::exists(root() / "home" / name)) << name;
    EXPECT_TRUE(fs::exists(root() / ".tavrelin-0123abcd.tmp"));

    // Later polls leave the folders alone.
    writeText(root() / "home" / ".tavrelin-later.tmp", "x");
    database.lists();
    database.save({"home", "t", {}, {}, {}, {}});
    EXPECT_TRUE(fs::exists(root() / "home" / ".tavrelin-later.tmp"));
}

TEST_F(VdirTest, ReminderFilesFollowTheUmask) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    for (auto [mask, mode] : {std::pair{027u, 0640u}, {0u, 0666u}, {077u, 0600u}}) {
        ScopedUmask umask(mask);
        EXPECT_EQ(modeOf(file("home", database.save({"home", "t", {}, {}, {}, {}}))), mode) << std::oct << mask;
    }
}

TEST_F(VdirTest, NotesThatCleanToNothingWriteNoDescription) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    for (const std::string& notes : {std::string(), std::string("\x01\x7f")}) {
        auto id = database.save({"home", "title", notes, {}, {}, {}});
        EXPECT_EQ(readFile(file("home", id)).find("DESCRIPTION"), std::string::npos) << notes;
        auto back = database.reminder(id);
        ASSERT_TRUE(back);
        EXPECT_FALSE(back->notes);
    }
}

TEST_F(VdirTest, AlarmsAfterTheYear3000AreLeftOut) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    const auto late = platform::Date::fromUnix(32535216000.0); // 3001-01-01T00:00:00Z
    auto id = database.save({"home", "t", {}, DateComponents{2024, 5, 1, 9, 0}, late, {}});
    EXPECT_EQ(readFile(file("home", id)).find("VALARM"), std::string::npos);
    auto back = database.reminder(id);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->alarm);
}

TEST(VdirDurability, EachFolderIsFlushedOnceBeforeTheNextListsAreAnswered) {
    fake::FakeFiles files;
    files.directories = {"/cal/home", "/cal/work"};
    VdirRemindersDatabase database("/cal", files);
    auto syncs = [&] {
        std::vector<std::string> seen;
        for (const auto& operation : files.operations)
            if (operation.rfind("sync ", 0) == 0)
                seen.push_back(operation);
        files.operations.clear();
        return seen;
    };
    const std::vector<std::string> both{"sync /cal/home", "sync /cal/work"};
    database.lists();
    EXPECT_EQ(syncs(), both) << "what an earlier run left unflushed";

    for (const char* list : {"home", "work", "home"})
        database.save({list, "t", {}, {}, {}, {}});
    EXPECT_TRUE(syncs().empty());
    database.lists();
    EXPECT_EQ(syncs(), both);
    database.lists();
    EXPECT_TRUE(syncs().empty());

    // A flush that fails fails the look, and is tried again at the next one.
    database.save({"home", "t", {}, {}, {}, {}});
    files.failing.insert("/cal/home");
    EXPECT_THROW(database.lists(), platform::RemindersError);
    files.failing.clear();
    syncs();
    database.lists();
    EXPECT_EQ(syncs(), std::vector<std::string>{"sync /cal/home"});
}
