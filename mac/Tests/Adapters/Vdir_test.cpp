#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/FakePlatform.h"
#include "Support/VdirFixture.h"

#include <gtest/gtest.h>
#include <libical/ical.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using platform::DateComponents;
using platform::RemindersAuthorization;
using vdir::VdirRemindersDatabase;
namespace fs = std::filesystem;

namespace {

class VdirTest : public ::testing::Test {
protected:
    fs::path root() const { return fs::path(temp.path()) / "calendars"; }
    std::string file(const std::string& list, const std::string& id) const { return (root() / list / (id + ".ics")).string(); }
    // The line of the written file that starts with `name`, without its line end.
    std::string line(const std::string& list, const std::string& id, const std::string& name) const {
        const std::string text = readFile(file(list, id));
        auto start = text.find("\r\n" + name);
        return start == std::string::npos ? "" : text.substr(start + 2, text.find("\r\n", start + 2) - start - 2);
    }
    bool readOnly(const fs::path& folder) const {
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        return ::access(folder.c_str(), W_OK) != 0;
    }

    TempFolder temp;
    posix::PosixFiles files;
};

} // namespace

TEST_F(VdirTest, AuthorizationFollowsTheRootFolder) {
    VdirRemindersDatabase missing((root() / "deeper").string(), files);
    EXPECT_EQ(missing.authorizationStatus(), RemindersAuthorization::notDetermined);
    EXPECT_TRUE(missing.requestFullAccess().granted);
    EXPECT_EQ(missing.authorizationStatus(), RemindersAuthorization::fullAccess);
    EXPECT_TRUE(fs::is_empty(root() / "deeper")) << "the agent never creates lists";

    writeText(temp / "plain-file", "x");
    VdirRemindersDatabase onFile(temp / "plain-file", files);
    EXPECT_EQ(onFile.authorizationStatus(), RemindersAuthorization::denied);
    EXPECT_FALSE(onFile.requestFullAccess().granted);

    VdirRemindersDatabase belowFile(temp / "plain-file/calendars", files);
    auto failed = belowFile.requestFullAccess();
    EXPECT_FALSE(failed.granted);
    EXPECT_NE(failed.error.value_or("").find("plain-file/calendars"), std::string::npos);

    if (!readOnly(root()))
        GTEST_SKIP() << "running with privileges that ignore permission bits (root)";
    VdirRemindersDatabase locked(root().string(), files);
    EXPECT_EQ(locked.authorizationStatus(), RemindersAuthorization::denied);
    EXPECT_FALSE(locked.requestFullAccess().granted);
}

TEST(VdirDefaultRoot, AnAbsoluteExplicitFolderElseCalendarsInTheDataFolder) {
    struct Case {
        std::optional<std::string> explicitRoot, data;
        std::string expected;
    } cases[] = {
        {"/explicit/lists", "/data", "/explicit/lists"},
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
    makeList(root(), ".hidden", "Hidden");
    writeText(root() / "stray.ics", "not a list");

    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& list : VdirRemindersDatabase(root().string(), files).lists())
        seen.emplace_back(list.identifier, list.title);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                        {"Zeta", "Zeta"}, {"groceries", "Groceries \xE2\x80\x94 weekly"}, {"work", "Work Stuff"}}));
}

TEST_F(VdirTest, RemindersAreWrittenAndReadBack) {
    makeList(root(), "home", "Home");
    VdirRemindersDatabase database(root().string(), files);
    const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    auto allDay = database.save({"home", "Water", "Both balconies", DateComponents{2024, 5, 1, {}, {}}, {}, {}});
    EXPECT_EQ(line("home", allDay, "DUE"), "DUE;VALUE=DATE:20240501");
    EXPECT_EQ(line("home", allDay, "BEGIN:VALARM"), "") << "all-day reminders have no alarm";
    const std::string stamp = line("home", allDay, "DTSTAMP:").substr(8);
    const auto stamped = icaltime_as_timet_with_zone(icaltime_from_string(stamp.c_str()), icaltimezone_get_utc_timezone());
    EXPECT_TRUE(stamp.back() == 'Z' && stamped >= before && stamped <= before + 60) << stamp;
    auto back = database.reminder(allDay);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tie(back->identifier, back->listTitle, back->title, back->notes),
              std::make_tuple(allDay, "Home", "Water", "Both balconies"));
    EXPECT_EQ(back->due, (DateComponents{2024, 5, 1, {}, {}}));
    EXPECT_FALSE(back->alarm);

    // Floating due time, absolute alarm: 2024-05-01T12:30:00Z.
    const auto alarm = platform::Date::fromUnix(1714566600);
    auto timed = database.save({"home", "Call", std::nullopt, DateComponents{2024, 5, 1, 14, 30}, alarm, {}});
    EXPECT_EQ(line("home", timed, "DUE"), "DUE:20240501T143000");
    EXPECT_EQ(line("home", timed, "TRIGGER"), "TRIGGER;VALUE=DATE-TIME:20240501T123000Z");
    EXPECT_EQ(line("home", timed, "ACTION"), "ACTION:DISPLAY");
    back = database.reminder(timed);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->due, (DateComponents{2024, 5, 1, 14, 30}));
    EXPECT_EQ(back->alarm, alarm);
    EXPECT_FALSE(back->notes);

    // An alarm after the year 3000 would be written as a zero date.
    auto late = database.save({"home", "t", {}, {}, platform::Date::fromUnix(32535216000.0), {}});
    EXPECT_EQ(line("home", late, "BEGIN:VALARM"), "");
}

TEST_F(VdirTest, OutOfRangeComponentsCarryOverLikeACalendar) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    struct Case {
        DateComponents due;
        std::string line; // empty: no DUE at all
    } cases[] = {
        {{2024, 13, 45, {}, {}}, "DUE;VALUE=DATE:20250214"},
        {{2024, 1, 0, {}, {}}, "DUE;VALUE=DATE:20231231"},
        {{2024, 5, 1, 14, 75}, "DUE:20240501T151500"},
        {{2024, 5, 1, 9, {}}, "DUE:20240501T090000"},
        {{{}, 5, 1, {}, {}}, ""},
        {{2024, {}, 1, {}, {}}, ""},
        {{0, 1, 1, {}, {}}, ""},
        {{9223372036854775807LL, 1, 1, {}, {}}, ""},
        {{2024, 1, -9223372036854775807LL, {}, {}}, ""},
        {{3000, 12, 31, 23, 59}, "DUE:30001231T235900"},
        {{3000, 12, 31, 23, 60}, ""},
    };
    for (const auto& c : cases) {
        auto id = database.save({"home", "t", {}, c.due, {}, {}});
        EXPECT_EQ(line("home", id, "DUE"), c.line);
        EXPECT_TRUE(database.reminder(id)) << "still valid iCalendar";
    }
}

TEST_F(VdirTest, IdentifiersAreSafeAndUniqueAndSavesGoOnlyIntoLists) {
    makeList(root(), "a");
    makeList(root(), "b");
    makeList(root(), ".hidden");
    writeText(root() / "stray", "x");
    VdirRemindersDatabase database(root().string(), files);
    std::set<std::string> ids;
    for (int i = 0; i < 20; ++i) {
        auto id = database.save({i % 2 ? "a" : "b", "item", {}, {}, {}, {}});
        EXPECT_TRUE(id.size() == 32 && VdirRemindersDatabase::isValidIdentifier(id)) << id;
        EXPECT_TRUE(fs::is_regular_file(file(i % 2 ? "a" : "b", id)));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 20u);
    for (std::string list : {"nope", "", ".", "..", ".hidden", "stray", "../a", "a/..", "/tmp"})
        EXPECT_THROW(database.save({list, "t", {}, {}, {}, {}}), platform::RemindersError) << list;
    EXPECT_EQ(filesEndingWith(temp.path(), ".ics").size(), 20u);
    EXPECT_TRUE(filesEndingWith(temp.path(), ".tmp").empty());

    EXPECT_TRUE(VdirRemindersDatabase::isValidIdentifier("Az09_.+-" + std::string(192, 'z')));
    EXPECT_FALSE(VdirRemindersDatabase::isValidIdentifier(std::string(201, 'a')));
}

TEST_F(VdirTest, WriteFailureIsAReadableErrorAndLeavesNothing) {
    makeList(root(), "locked");
    if (!readOnly(root() / "locked"))
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
    const std::string text = readFile(file("home", id));
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c >= 0x20 ? c != 0x7f : (c == '\t' || c == '\n' || (c == '\r' && text[i + 1] == '\n'))) << i;
    }
    auto back = database.reminder(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->title, "bell null del tab\tend");
    EXPECT_EQ(back->notes, "one\ntwo\nthree\nfour");

    // Notes that clean to nothing: no DESCRIPTION, which readers would drop.
    id = database.save({"home", "t", std::string("\x01\x7f"), {}, {}, {}});
    EXPECT_EQ(line("home", id, "DESCRIPTION"), "");
    EXPECT_FALSE(database.reminder(id)->notes);
}

TEST_F(VdirTest, LookupIgnoresMissingUnparsableAndPathLikeIdentifiers) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    auto id = database.save({"home", "real", {}, {}, {}, {}});
    const std::string valid = readFile(file("home", id));
    writeText(root() / "home" / "garbage.ics", "this is not iCalendar\n");
    writeText(root() / "home" / "event.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:event\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    // Valid reminders outside the list folders must stay out of reach.
    writeText(temp / "outside.ics", valid);
    writeText(root() / ".hidden" / "secret.ics", valid);
    fs::create_directories(root() / "home" / "dir.ics");

    EXPECT_TRUE(database.reminder(id));
    for (std::string bad :
         {"missing", "garbage", "event", "dir", "", "../outside", "..", "/etc/passwd", "secret", ".hidden/secret", "a b"})
        EXPECT_FALSE(database.reminder(bad)) << bad;
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
    }
    // Completed and moved to another list, then delivered again after a restart.
    std::string edited = readFile(file("home", uid));
    edited.insert(edited.find("END:VTODO"), "STATUS:COMPLETED\r\n");
    writeText(file("work", uid), edited);
    fs::remove(file("home", uid));
    VdirRemindersDatabase restarted(root().string(), files);
    EXPECT_EQ(restarted.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(readFile(file("work", uid)), edited);
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Work");
    // Moved after the database last looked: still found, under its new list.
    fs::rename(file("work", uid), file("home", uid));
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Home");
    EXPECT_EQ(filesEndingWith(root(), ".ics").size(), 1u);
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

    // Later looks leave the folders alone: the write may be running.
    writeText(root() / "home" / ".tavrelin-later.tmp", "x");
    database.lists();
    EXPECT_TRUE(fs::exists(root() / "home" / ".tavrelin-later.tmp"));
}

TEST_F(VdirTest, ReminderFilesFollowTheUmask) {
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    for (auto [mask, mode] : {std::pair{027u, 0640u}, {0u, 0666u}}) {
        ScopedUmask umask(mask);
        EXPECT_EQ(modeOf(file("home", database.save({"home", "t", {}, {}, {}, {}}))), mode) << std::oct << mask;
    }
}

TEST(VdirDurability, EachFolderIsFlushedOnceBeforeTheNextListsAreAnswered) {
    fake::FakeFiles files;
    files.directories = {"/cal/home", "/cal/work"};
    VdirRemindersDatabase database("/cal", files);
    auto syncs = [&] {
        std::vector<std::string> seen;
        std::copy_if(files.operations.begin(), files.operations.end(), std::back_inserter(seen),
                     [](const std::string& operation) { return operation.rfind("sync ", 0) == 0; });
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

// A task manager that reads vdirs lists what the agent wrote, under the right
// lists and with the right due dates.
TEST_F(VdirTest, TodomanListsWhatTheAgentWrote) {
    if (std::system("command -v todoman > /dev/null") != 0)
        GTEST_SKIP() << "todoman is not installed";
    makeList(root(), "work", "Work");
    makeList(root(), "home");
    VdirRemindersDatabase database(root().string(), files);
    database.save({"work", "Submit report", "Quarterly numbers", DateComponents{2024, 5, 1, {}, {}}, {}, "k1"});
    database.save({"home", "Dentist", {}, DateComponents{2024, 5, 1, 14, 30}, platform::Date::fromUnix(1714573800), "k2"});
    database.save({"work", "Plan next year", {}, DateComponents{2024, 13, 1, 9, 75}, {}, "k3"});
    database.save({"home", "Someday", {}, {}, {}, "k4"});

    writeText(temp / "config.py", "path = '" + (root() / "*").string() + "'\ncache_path = '" + temp / "cache.sqlite3" +
                                      "'\ndate_format = '%Y-%m-%d'\ntime_format = '%H:%M'\ndt_separator = ' '\n"
                                      "humanize = False\n");
    const std::string command = "todoman --config '" + temp / "config.py" + "' --color never list > '" + temp / "out" + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // "[ ] 3  2024-05-01 14:30 Dentist @home"; the order is todoman's business.
    std::string listed = readFile(temp / "out");
    for (const char* task : {"  (no due date) Someday @home\n", "  2025-01-01 10:15 Plan next year @Work\n",
                             "  2024-05-01 14:30 Dentist @home\n", "  2024-05-01 Submit report @Work\n"})
        EXPECT_NE(listed.find(task), std::string::npos) << task << " in\n" << listed;
}
