#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/FakePlatform.h"
#include "Support/SavedEnvironment.h"
#include "Support/VdirFixture.h"

#include <gmock/gmock.h>

#include <utility>

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
    // The line of the reminder's file that starts with `name`.
    std::string line(const std::string& id, const std::string& name) const {
        const std::string text = readFile(file("home", id));
        auto start = text.find("\r\n" + name);
        return start == std::string::npos ? "" : text.substr(start + 2, text.find("\r\n", start + 2) - start - 2);
    }

    TempFolder temp;
    posix::PosixFiles files;
    VdirRemindersDatabase database{root().string(), files};
};

std::string calendar(const std::string& components) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + components + "END:VCALENDAR\r\n";
}
const std::string task = calendar("BEGIN:VTODO\r\nUID:t\r\nSUMMARY:Buy milk\r\nEND:VTODO\r\n");
const std::string event = calendar("BEGIN:VEVENT\r\nUID:e\r\nSUMMARY:Dentist\r\nEND:VEVENT\r\n");

std::vector<std::string> titles(const VdirRemindersDatabase& database) {
    std::vector<std::string> result;
    for (const auto& list : database.lists())
        result.push_back(list.title);
    return result;
}

} // namespace

TEST_F(VdirTest, AuthorizationFollowsTheRootFolderAndItsDefault) {
    EXPECT_EQ(database.authorizationStatus(), RemindersAuthorization::notDetermined);
    EXPECT_TRUE(database.requestFullAccess().granted);
    EXPECT_TRUE(fs::is_empty(root())) << "the agent never creates lists";

    writeText(temp / "plain-file", "x");
    EXPECT_EQ(VdirRemindersDatabase(temp / "plain-file", files).authorizationStatus(), RemindersAuthorization::denied);
    EXPECT_THAT(VdirRemindersDatabase(temp / "plain-file/calendars", files).requestFullAccess().error.value_or(""),
                ::testing::HasSubstr("plain-file/calendars"));

    // The end-to-end agents name an absolute folder; a relative one is passed over.
    const SavedEnvironment lists("TAVRELIN_REMINDERS_DIR", "relative/lists"), data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(VdirRemindersDatabase::defaultRoot(), "/data/calendars");
}

// The first look removes what a crash left of our own writes (the crash-safety
// test plants one), and only that.
TEST_F(VdirTest, ListsAreSortedFoldersTitledByDisplayNameAndOwnLeftoversGoAtTheFirstLook) {
    makeList(root(), "work", "Work Stuff");
    makeList(root(), "Zeta");
    makeList(root(), ".hidden", "Hidden");
    writeText(root() / "groceries" / "displayname", "Groceries \xE2\x80\x94 weekly\r\n\n");
    writeText(root() / "stray.ics", "not a list");
    const std::vector<std::string> others{"work/.other.tmp", "work/x.tmp", "work/.tavrelin-notes.txt", "work/.tavrelin-.tmp",
                                          ".tavrelin-0123abcd.tmp"};
    for (const auto& name : others)
        writeText(root() / name, "someone else's");
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& list : database.lists())
        seen.emplace_back(list.identifier, list.title);
    EXPECT_EQ(seen, (decltype(seen){{"Zeta", "Zeta"}, {"groceries", "Groceries \xE2\x80\x94 weekly"}, {"work", "Work Stuff"}}));
    for (const auto& name : others)
        EXPECT_TRUE(fs::exists(root() / name)) << name;

    // Later looks leave the folders alone: a write may be running.
    writeText(root() / "work/.tavrelin-later.tmp", "x");
    database.lists();
    EXPECT_TRUE(fs::exists(root() / "work/.tavrelin-later.tmp"));
}

// Control characters never reach the file: line breaks become line feeds, the others go.
TEST_F(VdirTest, RemindersAreWrittenCleanAndReadBack) {
    makeList(root(), "home", "Home");
    const DateComponents day{2024, 5, 1, {}, {}};
    const char title[] = "bell\x07 null\0 del\x7f tab\tend";
    auto allDay = database.save({"home", std::string(title, sizeof title - 1), "one\r\ntwo\rthree\nfour", day, {}, {}});
    auto back = database.reminder(allDay).value();
    EXPECT_EQ(std::tie(back.identifier, back.listTitle, back.title, back.notes, back.due),
              std::make_tuple(allDay, "Home", "bell null del tab\tend", "one\ntwo\nthree\nfour", day));

    // How a due time and an alarm are written is the round-trip test's; here they are read back.
    const auto alarm = platform::Date::fromUnix(1714566600);
    auto timed = database.save({"home", "Call", std::nullopt, DateComponents{2024, 5, 1, 14, 30}, alarm, {}});
    back = database.reminder(timed).value();
    EXPECT_EQ(std::tie(back.due, back.alarm), std::make_tuple(DateComponents{2024, 5, 1, 14, 30}, alarm));

    // An alarm after the year 3000 would be written as a zero date; notes that
    // clean to nothing as an empty DESCRIPTION, which readers drop.
    auto late = database.save({"home", "t", std::string("\x01\x7f"), {}, platform::Date::fromUnix(32535216000.0), {}});
    EXPECT_EQ(line(late, "BEGIN:VALARM") + line(late, "DESCRIPTION"), "");

    // Out-of-range components carry over like a calendar.
    const std::pair<DateComponents, std::string> cases[] = {
        {{2024, 13, 45, {}, {}}, "DUE;VALUE=DATE:20250214"},
        {{3000, 12, 31, 23, 59}, "DUE:30001231T235900"},
        // No DUE at all: beyond what iCalendar writes, or overflowing.
        {{0, 1, 1, {}, {}}, ""},
        {{3000, 12, 31, 23, 60}, ""},
        {{9223372036854775807LL, 1, 1, {}, {}}, ""},
        {{2024, 1, -9223372036854775807LL, {}, {}}, ""},
    };
    for (const auto& [due, expected] : cases) {
        auto id = database.save({"home", "t", {}, due, {}, {}});
        EXPECT_EQ(line(id, "DUE"), expected);
    }
}

TEST_F(VdirTest, IdentifiersAreSafeAndOnlyListFoldersAreWrittenOrRead) {
    makeList(root(), "home");
    makeList(root(), ".hidden");
    writeText(root() / "stray", "x");
    // Without a delivery key (the agent always has one) a fresh identifier.
    const std::string id = database.save({"home", "item", {}, {}, {}, {}});
    EXPECT_EQ(id.size(), 32u);
    for (std::string list : {"nope", "", ".", "..", ".hidden", "stray", "../home", "home/..", "/tmp"})
        EXPECT_THROW(database.save({list, "t", {}, {}, {}, {}}), platform::RemindersError) << list;
    // One reminder, no temporary files, nothing anywhere else.
    EXPECT_EQ(files.list(root() / "home").size(), 1u);
    EXPECT_EQ(files.list(root()), (std::vector<std::string>{".hidden", "home", "stray"}));

    EXPECT_TRUE(VdirRemindersDatabase::isValidIdentifier("AZaz09_.+-" + std::string(190, 'z')));
    EXPECT_FALSE(VdirRemindersDatabase::isValidIdentifier(std::string(201, 'a')));

    // Lookups ignore missing, unparsable and path-like identifiers.
    writeText(root() / "home" / "garbage.ics", "this is not iCalendar\n");
    writeText(root() / "home" / "event.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:event\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    // A valid reminder outside the list folders must stay out of reach.
    writeText(root() / ".hidden" / "secret.ics", readFile(file("home", id)));
    fs::create_directories(root() / "home" / "dir.ics");
    EXPECT_TRUE(database.reminder(id));
    for (std::string bad : {"missing", "garbage", "event", "dir", "", "..", "secret", "../.hidden/secret", "a b"})
        EXPECT_FALSE(database.reminder(bad)) << bad;
}

TEST_F(VdirTest, ADeliveryIsFiledOnceWhereverTheUserMovedOrEditedIt) {
    makeList(root(), "home", "Home");
    makeList(root(), "work", "Work");
    const std::string key = "relay.example\nitem-1", uid = posix::deliveryUid(key);
    EXPECT_EQ(database.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(database.save({"work", "Call", {}, {}, {}, key}), uid);

    // Completed and moved to another list, then delivered again after a restart.
    std::string edited = readFile(file("home", uid));
    edited.insert(edited.find("END:VTODO"), "STATUS:COMPLETED\r\n");
    writeText(file("work", uid), edited);
    fs::remove(file("home", uid));
    VdirRemindersDatabase restarted(root().string(), files);
    EXPECT_EQ(restarted.save({"home", "Call", {}, {}, {}, key}), uid);
    EXPECT_EQ(readFile(file("work", uid)), edited);
    // Moved after the database last looked: still found, under its new list.
    fs::rename(file("work", uid), file("home", uid));
    EXPECT_EQ(restarted.reminder(uid)->listTitle, "Home");
    EXPECT_EQ(files.list(root() / "home").size() + files.list(root() / "work").size(), 3u) << "two displaynames";
}

TEST(VdirDurability, EachFolderIsFlushedOnceBeforeTheNextListsAreAnswered) {
    fake::FakeFiles files;
    files.directories = {"/cal/home", "/cal/work"};
    VdirRemindersDatabase database("/cal", files);
    auto syncs = [&] {
        auto seen = std::exchange(files.operations, {});
        std::erase_if(seen, [](const std::string& operation) { return !operation.starts_with("sync "); });
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

    // A flush that fails fails the look, and is tried again at the next one.
    database.save({"home", "t", {}, {}, {}, {}});
    files.failing.insert("/cal/home");
    EXPECT_THROW(database.lists(), platform::RemindersError);
    files.failing.clear();
    database.lists();
    EXPECT_EQ(syncs(), std::vector<std::string>{"sync /cal/home"});
}

// Event calendars share the root with task lists; only folders that can hold
// tasks are lists, and only lists take a reminder.
TEST_F(VdirTest, FoldersOfEventsAreNotListsButEmptyOnesAre) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    // vdirsyncer's metadata: all it keeps beside a collection's items.
    const Files synced{{"color", "#3a7f2b"}, {"description", "shared"}, {"order", "2"}};
    const std::tuple<std::string, Files, bool> folders[] = {
        {"tasks", {{"t.ics", task}}, true},
        {"events", {{"a.ics", event}, {"b.ics", event}}, false},
        {"empty", {}, true},
        {"synced-tasks", {{"t.ics", task}}, true},
        {"synced-events", {{"e.ics", event}}, false},
        {"mixed", {{"a.ics", event}, {"b.ics", task}, {"c.ics", event}}, true},
        {"both-in-one", {{"x.ics", calendar("BEGIN:VEVENT\r\nEND:VEVENT\r\nBEGIN:VTODO\r\nEND:VTODO\r\n")}}, true},
        {"lower-case-event", {{"e.ics", "begin:vcalendar\nbegin:vevent\nend:vevent\nend:vcalendar\n"}}, false},
        {"event-and-junk", {{"e.ics", event}, {"junk.ics", "not iCalendar"}}, false},
        {"journal", {{"j.ics", calendar("BEGIN:VJOURNAL\r\nEND:VJOURNAL\r\n")}}, true},
        {"event-in-non-items", {{"e.ics.tmp", event}, {"e.txt", event}}, true},
    };
    std::vector<std::string> expected;
    for (const auto& [name, files, isList] : folders) {
        makeList(root(), name, "“" + name + "”");
        if (name.starts_with("synced-"))
            for (const auto& [file, text] : synced)
                writeText(root() / name / file, text);
        for (const auto& [file, text] : files)
            writeText(root() / name / file, text);
        if (isList)
            expected.push_back("“" + name + "”");
    }
    std::ranges::sort(expected); // the folders' order, as the titles follow their names
    EXPECT_EQ(titles(database), expected);

    EXPECT_THROW(database.save({"events", "x", {}, {}, {}, {}}), platform::RemindersError);
    EXPECT_EQ(files.list(root() / "events").size(), 3u);
    EXPECT_NO_THROW(database.save({"empty", "x", {}, {}, {}, {}}));

    // A task added to a calendar makes it a list; without it, it is a calendar again.
    writeText(root() / "events" / "t.ics", task);
    EXPECT_THAT(titles(database), ::testing::Contains("“events”"));
    fs::remove(root() / "events" / "t.ics");
    EXPECT_THAT(titles(database), ::testing::Not(::testing::Contains("“events”")));
    // Emptied, it can take tasks again.
    fs::remove(root() / "events" / "a.ics");
    fs::remove(root() / "events" / "b.ics");
    EXPECT_THAT(titles(database), ::testing::Contains("“events”"));
}

// A look reads an item once under its name, and a list only up to its first
// task, so a large calendar or list costs a folder listing per poll.
TEST(VdirCost, ALookReadsOnlyItemsItHasNotSeen) {
    fake::FakeFiles files;
    VdirRemindersDatabase database("/cal", files);
    for (int i = 0; i < 50; ++i) {
        files.files["/cal/calendar/e" + std::to_string(i) + ".ics"] = event;
        files.files["/cal/list/t" + std::to_string(i) + ".ics"] = task;
    }
    auto itemReads = [&] {
        int total = 0;
        for (const auto& [path, count] : std::exchange(files.reads, {}))
            total += path.ends_with(".ics") ? count : 0;
        return total;
    };
    EXPECT_EQ(titles(database), std::vector<std::string>{"list"});
    EXPECT_EQ(itemReads(), 51) << "every event, and the list's first task";
    EXPECT_EQ(titles(database), std::vector<std::string>{"list"});
    EXPECT_EQ(itemReads(), 0);

    files.files["/cal/calendar/new.ics"] = event;
    files.files.erase("/cal/list/t0.ics"); // the task the list was known by
    database.lists();
    EXPECT_EQ(itemReads(), 2) << "the new event, and the list's next task";
    database.save({"list", "Call", {}, {}, {}, "relay.example\nitem-1"});
    database.lists();
    EXPECT_EQ(itemReads(), 0);
}
