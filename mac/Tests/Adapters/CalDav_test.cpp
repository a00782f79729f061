// The CalDAV reminders database against two independent servers from Debian,
// Radicale and Xandikos, each on loopback in a folder of the test's, with the
// password in a real keyring (gnome-keyring on a bus of the test's own). The
// reminders go through the logic's RemindersStore, as a poll sends them.

#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Linux/Secret/LibsecretSecrets.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/SystemClock.h"
#include "Support/CalDavServer.h"
#include "Support/KeyringSession.h"
#include "TavrelinMac/RemindersStore.h"

#include <gmock/gmock.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using caldav::CalDavRemindersDatabase;
using platform::RemindersAuthorization;
using ::testing::HasSubstr;
using Access = RemindersStore::Access;
using Write = RemindersStore::WriteResult;
using SignIn = CalDavRemindersDatabase::SignInResult::Kind;

namespace tavrelin {
void PrintTo(const RemindersStore::WriteResult& write, std::ostream* out) {
    using W = RemindersStore::WriteResult;
    if (const auto* saved = std::get_if<W::Saved>(&write.outcome))
        *out << "saved in “" << saved->listTitle << "”";
    else if (const auto* unknown = std::get_if<W::UnknownList>(&write.outcome))
        *out << "no list “" << unknown->name << "”";
    else if (const auto* failed = std::get_if<W::Failed>(&write.outcome))
        *out << "failed: " << failed->message;
    else
        *out << "no list named";
}
void PrintTo(const RemindersStore::Access& access, std::ostream* out) {
    using A = RemindersStore::Access;
    const auto* failed = std::get_if<A::Failed>(&access.answer);
    *out << (failed ? "access failed: " + failed->reason : access == A::granted() ? "granted" : "denied");
}
} // namespace tavrelin

namespace {

// Why a write failed; "not failed" for one that did not.
std::string failureOf(const Write& write) {
    const auto* failed = std::get_if<Write::Failed>(&write.outcome);
    return failed ? failed->message : "not failed";
}

constexpr const char* user = "alice";
constexpr const char* password = "Tr0ub4dor&3-caldav";

struct Item {
    std::string title;
    std::optional<std::string> list;
    std::string key;
    std::optional<std::string> dueIso = std::nullopt;
    bool allDay = false;
    std::optional<std::string> notes = std::nullopt;
};

// One poll's work on the task lists: access, one create per item, the list names.
struct Poll {
    Access access = Access::denied();
    std::vector<Write> writes;
    std::vector<std::string> lists;
    std::string listsFailure;
};

Poll poll(RemindersStore& store, const std::vector<Item>& items) {
    Poll result;
    result.access = store.requestAccess();
    if (result.access != Access::granted())
        return result;
    for (const Item& item : items)
        result.writes.push_back(store.create(item.title, item.notes, item.dueIso, item.allDay, item.list, item.key, {}));
    try {
        result.lists = store.listNames();
    } catch (const std::exception& error) {
        result.listsFailure = error.what();
    }
    return result;
}

// One property of an iCalendar text, folded lines joined: "DUE;VALUE=DATE:20300505".
std::string property(const std::string& ical, const std::string& name) {
    const std::string text = std::regex_replace(ical, std::regex("\r?\n[ \t]"), "");
    std::smatch match;
    return std::regex_search(text, match, std::regex("(^|\n)(" + name + "[:;][^\r\n]*)")) ? match[2].str() : "";
}

class CalDavServers : public ::testing::TestWithParam<CalDavServerKind> {
protected:
    std::unique_ptr<CalDavRemindersDatabase> database() {
        return caldav::makeCalDavRemindersDatabase(server.address(), user, http, secrets);
    }
    std::unique_ptr<CalDavRemindersDatabase> signedIn() {
        auto made = database();
        const auto result = made->signIn(password);
        EXPECT_EQ(result.kind, SignIn::signedIn) << result.message << server.output();
        return made;
    }
    std::string keyFor(const std::string& id) { return "127.0.0.1\n" + id; }
    std::string uidFor(const std::string& id) { return posix::deliveryUid(keyFor(id)); }

    KeyringSession keyring;
    // The keyring adapter finds the bus the process is in when it is made.
    bool entered = (keyring.enter(), true);
    curl::CurlHttp curl;
    RecordingHttp http{curl};
    TempFolder folder;
    CalDavServer server{GetParam(), folder / "server", user, password, curl};
    secret::LibsecretSecrets secrets;
    posix::SystemClock clock;
};

INSTANTIATE_TEST_SUITE_P(, CalDavServers, ::testing::Values(CalDavServerKind::radicale, CalDavServerKind::xandikos),
                         [](const auto& info) { return serverName(info.param); });

TEST_P(CalDavServers, FindsTheTaskListsTheWayClientsDo) {
    server.makeList("tasks", "Reminders");
    server.makeList("errands", std::nullopt); // titled by its address
    server.makeList("birthdays", "Birthdays", {"VEVENT"});
    server.makeAddressBook("contacts");

    auto reminders = database();
    // Nobody signed in: nothing to send, and nothing sent.
    EXPECT_EQ(reminders->authorizationStatus(), RemindersAuthorization::notDetermined);
    EXPECT_EQ(reminders->requestFullAccess(), platform::RemindersAccessAnswer::denied);
    EXPECT_TRUE(http.sent().empty());

    EXPECT_EQ(reminders->signIn("not it").kind, SignIn::rejected);
    EXPECT_EQ(secrets.lookup({reminders->server(), user}), std::nullopt);
    EXPECT_EQ(reminders->signIn(password).kind, SignIn::signedIn);
    EXPECT_EQ(secrets.lookup({reminders->server(), user}), password);

    // A calendar of events only is no task list (Xandikos makes every calendar
    // take tasks too). Radicale names an unnamed calendar by its path itself.
    std::vector<std::string> expected{server.keepsComponentSets() ? "alice/errands" : "errands", "Reminders"};
    if (!server.keepsComponentSets())
        expected.insert(expected.begin(), "Birthdays");
    auto titles = [&] {
        std::vector<std::string> found;
        for (const auto& list : reminders->lists())
            found.push_back(list.title);
        return found;
    };
    EXPECT_EQ(reminders->authorizationStatus(), RemindersAuthorization::fullAccess);
    EXPECT_EQ(titles(), expected);

    // The next poll starts from the calendar home it found: one PROPFIND, on a
    // connection of its own, and a list made meanwhile is there.
    server.makeList("work", "Work");
    http.clear();
    const int sessions = http.sessions();
    EXPECT_EQ(reminders->authorizationStatus(), RemindersAuthorization::fullAccess);
    expected.push_back("Work");
    EXPECT_EQ(titles(), expected);
    EXPECT_EQ(http.sent().size(), 1u);
    EXPECT_EQ(http.count("PROPFIND", server.home()), 1u);
    EXPECT_EQ(http.sessions(), sessions + 1);

    // A list the agent makes is a task list like the others.
    const auto made = reminders->createList("Groceries & more");
    EXPECT_EQ(made.title, "Groceries & more");
    const auto lists = reminders->lists();
    EXPECT_TRUE(std::any_of(lists.begin(), lists.end(), [&](const auto& list) {
        return list.identifier == made.identifier && list.title == "Groceries & more";
    })) << made.identifier;
    RemindersStore store(*reminders, clock);
    EXPECT_EQ(poll(store, {{"Milk", "Groceries & more", keyFor("milk")}}).writes,
              std::vector{Write::saved("Groceries & more")});
}

TEST_P(CalDavServers, FilesTheTaskTheFolderGetsAndKeepsThePasswordInTheKeyringOnly) {
    const std::string list = server.makeList("tasks", "Reminders");
    auto reminders = signedIn();
    RemindersStore store(*reminders, clock);
    http.clear();
    const int sessions = http.sessions();
    const Poll filed =
        poll(store, {{"Call the dentist", "Reminders", keyFor("dentist"), "2030-05-04T09:30", false, "Ask about Tuesday"},
                     {"Pay rent", "Reminders", keyFor("rent"), "2030-05-05", true},
                     {"Water the plants", "Reminders", keyFor("plants")}});
    ASSERT_EQ(filed.access, Access::granted());
    EXPECT_THAT(filed.writes, ::testing::Each(Write::saved("Reminders")));
    EXPECT_EQ(filed.lists, std::vector<std::string>{"Reminders"});

    // One connection for the poll; every PUT creates, never replaces.
    EXPECT_EQ(http.sessions(), sessions + 1);
    EXPECT_EQ(http.count("PUT"), 3u);
    EXPECT_EQ(http.count("GET"), 3u); // each read back
    for (const auto& sent : http.sent())
        if (sent.method == "PUT") {
            EXPECT_EQ(sent.header("If-None-Match"), "*");
            EXPECT_THAT(sent.header("Content-Type"), HasSubstr("text/calendar"));
            EXPECT_EQ(sent.url.rfind(server.address() + list.substr(1), 0), 0u) << sent.url;
        }

    const auto items = server.items(list);
    ASSERT_EQ(items.size(), 3u);
    const std::string dentist = items.at(list + uidFor("dentist") + ".ics");
    const std::string rent = items.at(list + uidFor("rent") + ".ics");
    const std::string plants = items.at(list + uidFor("plants") + ".ics");
    EXPECT_EQ(property(dentist, "SUMMARY"), "SUMMARY:Call the dentist");
    EXPECT_EQ(property(dentist, "DESCRIPTION"), "DESCRIPTION:Ask about Tuesday");
    EXPECT_EQ(property(dentist, "DUE"), "DUE:20300504T093000");                      // floating, as the folder's
    EXPECT_THAT(property(dentist, "TRIGGER"), HasSubstr("VALUE=DATE-TIME:2030050")); // the absolute alarm
    EXPECT_EQ(property(rent, "DUE"), "DUE;VALUE=DATE:20300505");
    EXPECT_EQ(property(rent, "TRIGGER"), ""); // all-day: no alarm
    EXPECT_EQ(property(plants, "DUE"), "");
    EXPECT_EQ(property(plants, "UID"), "UID:" + uidFor("plants"));

    // The password is in the keyring's encrypted file and nowhere else on disk.
    for (const std::filesystem::path& root : {keyring.root(), std::filesystem::path(folder.path())})
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file() || entry.path().string().rfind((folder / "server"), 0) == 0)
                continue; // the server's own account file holds it, as servers do
            EXPECT_EQ(readFile(entry.path().string()).find(password), std::string::npos) << entry.path();
        }
    EXPECT_TRUE(std::filesystem::exists(keyring.root() / "data/keyrings/login.keyring"));
}

TEST_P(CalDavServers, ARedeliveryAfterACrashFindsTheTaskFiledBefore) {
    const std::string list = server.makeList("tasks", "Reminders");
    std::string identifier;
    {
        auto reminders = signedIn();
        RemindersStore store(*reminders, clock);
        ASSERT_EQ(poll(store, {{"Call the dentist", "Reminders", keyFor("dentist")}}).writes,
                  std::vector{Write::saved("Reminders")});
        // The agent dies before its acknowledgement leaves; the person edits the task meanwhile.
    }
    const std::string path = list + uidFor("dentist") + ".ics";
    std::string edited = server.items(list).at(path);
    edited = std::regex_replace(edited, std::regex("SUMMARY:[^\r\n]*"), "SUMMARY:Call the dentist at 9");
    ASSERT_EQ(server.request("PUT", path, {{"Content-Type", "text/calendar"}}, edited).status / 100, 2);

    // A new process: the password comes from the keyring.
    auto reminders = database();
    RemindersStore store(*reminders, clock);
    const Poll redelivered = poll(store, {{"Call the dentist", "Reminders", keyFor("dentist")},
                                          {"Call the dentist", "Reminders", keyFor("dentist again")}});
    EXPECT_EQ(redelivered.writes, (std::vector{Write::saved("Reminders"), Write::saved("Reminders")}));
    const auto items = server.items(list);
    ASSERT_EQ(items.size(), 2u); // filed once; the other key is another task
    EXPECT_EQ(property(items.at(path), "SUMMARY"), "SUMMARY:Call the dentist at 9");
    EXPECT_EQ(reminders->reminder(path)->title, "Call the dentist at 9");

    // Another client moved the task to a name of its own: the UID still finds it.
    const std::string renamed = list + "renamed-by-a-phone.ics";
    server.remove(path);
    ASSERT_EQ(server.request("PUT", renamed, {{"Content-Type", "text/calendar"}}, items.at(path)).status, 201);
    platform::NewReminder again;
    again.listIdentifier = list;
    again.title = "Call the dentist";
    again.deliveryKey = keyFor("dentist");
    EXPECT_EQ(reminders->save(again), renamed);
    EXPECT_EQ(server.items(list).count(path), 0u);
}

TEST_P(CalDavServers, AWrongPasswordIsNotSentAgainUntilSignedInAgain) {
    server.makeList("tasks", "Reminders");
    auto reminders = database();
    // What the keyring holds is not (or no longer) the password.
    secrets.store({reminders->server(), user}, "test", "wrong");
    RemindersStore store(*reminders, clock);
    EXPECT_EQ(poll(store, {{"Call the dentist", "Reminders", keyFor("dentist")}}).access, Access::denied());
    const std::size_t tried = http.sent().size();
    EXPECT_GE(tried, 1u);
    for (int later = 0; later < 3; ++later)
        EXPECT_EQ(poll(store, {{"Call the dentist", "Reminders", keyFor("dentist")}}).access, Access::denied());
    EXPECT_EQ(http.sent().size(), tried); // no loop of rejected requests

    EXPECT_EQ(reminders->signIn("still wrong").kind, SignIn::rejected);
    EXPECT_EQ(secrets.lookup({reminders->server(), user}), "wrong");
    EXPECT_EQ(reminders->signIn(password).kind, SignIn::signedIn);
    EXPECT_EQ(poll(store, {{"Call the dentist", "Reminders", keyFor("dentist")}}).writes,
              std::vector{Write::saved("Reminders")});

    // The password changes on the server while the agent runs: the poll that
    // meets the 401 fails, the next ones are denied without a request.
    server.setPassword("a new one");
    const Poll rejected = poll(store, {{"Pay rent", "Reminders", keyFor("rent")}, {"Water", "Reminders", keyFor("water")}});
    ASSERT_EQ(rejected.writes.size(), 2u);
    EXPECT_THAT(failureOf(rejected.writes[0]), HasSubstr("rejected the password"));
    EXPECT_THAT(failureOf(rejected.writes[0]), ::testing::Not(HasSubstr("a new one")));
    EXPECT_THAT(rejected.listsFailure, HasSubstr("rejected the password"));
    http.clear();
    EXPECT_EQ(poll(store, {{"Pay rent", "Reminders", keyFor("rent")}}).access, Access::denied());
    EXPECT_TRUE(http.sent().empty());
    EXPECT_EQ(reminders->signIn("a new one").kind, SignIn::signedIn);
    EXPECT_EQ(poll(store, {{"Pay rent", "Reminders", keyFor("rent")}}).writes, std::vector{Write::saved("Reminders")});
}

TEST_P(CalDavServers, AServerThatDiesMidPollFailsThatPollAndTheNextFilesTheRest) {
    const std::string list = server.makeList("tasks", "Reminders");
    auto reminders = signedIn();
    RemindersStore store(*reminders, clock);
    ASSERT_EQ(store.requestAccess(), Access::granted());
    ASSERT_EQ(store.create("One", std::nullopt, std::nullopt, false, "Reminders", keyFor("one"), {}),
              Write::saved("Reminders"));
    server.kill();
    const Write second = store.create("Two", std::nullopt, std::nullopt, false, "Reminders", keyFor("two"), {});
    EXPECT_THAT(failureOf(second), HasSubstr("could not reach the CalDAV server"));
    // The rest of the poll is not sent to a dead server, and fails the same way.
    const std::size_t sent = http.sent().size();
    EXPECT_EQ(store.create("Three", std::nullopt, std::nullopt, false, "Reminders", keyFor("three"), {}), second);
    EXPECT_THROW(store.listNames(), platform::RemindersError); // so nothing is acknowledged
    EXPECT_EQ(http.sent().size(), sent);

    server.start();
    const Poll next = poll(
        store,
        {{"One", "Reminders", keyFor("one")}, {"Two", "Reminders", keyFor("two")}, {"Three", "Reminders", keyFor("three")}});
    EXPECT_THAT(next.writes, ::testing::Each(Write::saved("Reminders")));
    EXPECT_EQ(next.lists, std::vector<std::string>{"Reminders"});
    EXPECT_EQ(server.items(list).size(), 3u);
}

TEST_P(CalDavServers, AListDeletedOnTheServerMakesItsItemsWait) {
    server.makeList("tasks", "Reminders");
    const std::string errands = server.makeList("errands", "Errands");
    auto reminders = signedIn();
    RemindersStore store(*reminders, clock);
    ASSERT_EQ(store.requestAccess(), Access::granted());
    ASSERT_EQ(store.create("Buy milk", std::nullopt, std::nullopt, false, "Errands", keyFor("milk"), {}),
              Write::saved("Errands"));
    server.remove(errands); // by another client, mid-poll
    const Write gone = store.create("Buy bread", std::nullopt, std::nullopt, false, "Errands", keyFor("bread"), {});
    EXPECT_THAT(failureOf(gone), HasSubstr("“Errands” is no longer on the CalDAV server"));
    EXPECT_EQ(store.create("Call", std::nullopt, std::nullopt, false, "Reminders", keyFor("call"), {}),
              Write::saved("Reminders"));
    EXPECT_EQ(store.listNames(), std::vector<std::string>{"Reminders"});

    const Poll next = poll(store, {{"Buy bread", "Errands", keyFor("bread")}});
    EXPECT_EQ(next.writes, std::vector{Write::unknownList("Errands")});
}

} // namespace
