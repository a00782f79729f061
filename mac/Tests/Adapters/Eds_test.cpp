// The Evolution Data Server backend against a real source registry and
// calendar factory on a private session bus; what it files is read back
// through libecal, as GNOME's task apps would read it.

#include "Platform/Eds/EdsRemindersDatabase.h"
#include "Platform/Eds/RemindersBackendChoice.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/EdsSession.h"
#include "Support/EdsTaskLists.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

namespace {

using namespace tavrelin;
using platform::DateComponents;
using platform::NewReminder;
using tavrelin::testing::EdsSession;
using tavrelin::testing::EdsTaskLists;

bool eventually(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class EdsDatabase : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // TZ first: a timed reminder's alarm is its due time here.
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        try {
            session = std::make_unique<EdsSession>();
        } catch (const std::exception& error) {
            problem = error.what();
            return;
        }
        session->enter();
        try {
            lists = std::make_unique<EdsTaskLists>();
        } catch (const std::exception& error) {
            problem = error.what();
        }
    }

    static void TearDownTestSuite() {
        lists.reset();
        session.reset();
    }

    void SetUp() override { ASSERT_TRUE(problem.empty()) << problem; }

    // A new local task list; answers its source UID once the database sees it.
    std::string createList(const std::string& name, bool enabled = true, bool writable = true) {
        std::string uid =
            lists->create(name, enabled, writable ? std::nullopt : std::optional(session->root() / (name + ".ics")));
        if (enabled) {
            EXPECT_TRUE(eventually([&] {
                for (const auto& known : database.lists())
                    if (known.identifier == uid)
                        return true;
                return false;
            })) << name;
        }
        return uid;
    }

    std::map<std::string, std::string> todos(const std::string& listUid) { return lists->todos(listUid); }

    static NewReminder reminder(const std::string& list, const std::string& title, const std::string& key) {
        NewReminder item;
        item.listIdentifier = list;
        item.title = title;
        item.deliveryKey = key;
        return item;
    }

    static inline std::unique_ptr<EdsSession> session;
    static inline std::unique_ptr<EdsTaskLists> lists;
    static inline std::string problem;
    eds::EdsRemindersDatabase database;
};

TEST_F(EdsDatabase, ListsAreTheEnabledTaskListsByTitleAndNeverCreated) {
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::fullAccess);
    auto before = database.lists();
    auto answer = database.requestFullAccess();
    EXPECT_TRUE(answer.granted);
    EXPECT_FALSE(answer.error);
    EXPECT_EQ(database.lists().size(), before.size()) << "the prompt must not create lists";

    std::string zebra = createList("Zebra list");
    std::string alpha = createList("Alpha list");
    createList("Switched off", false);
    auto lists = database.lists();
    std::vector<std::string> titles;
    for (const auto& list : lists)
        titles.push_back(list.title);
    EXPECT_TRUE(std::is_sorted(titles.begin(), titles.end())) << ::testing::PrintToString(titles);
    EXPECT_EQ(std::count(titles.begin(), titles.end(), "Switched off"), 0);
    auto position = [&](const std::string& uid) {
        return std::find_if(lists.begin(), lists.end(), [&](const auto& list) { return list.identifier == uid; }) -
               lists.begin();
    };
    EXPECT_LT(position(alpha), position(zebra));
    EXPECT_EQ(lists[position(alpha)].title, "Alpha list");
    EXPECT_EQ(database.lists().size(), lists.size()); // stable

    auto choice = eds::chooseRemindersBackend("auto", database);
    EXPECT_EQ(choice.backend, eds::RemindersBackend::eds) << choice.reason;
    EXPECT_EQ(eds::chooseRemindersBackend("", database).backend, eds::RemindersBackend::eds);
    EXPECT_EQ(eds::chooseRemindersBackend("vdir", database).backend, eds::RemindersBackend::vdir);
    EXPECT_NE(eds::chooseRemindersBackend("carrier pigeon", database).reason.find("unknown value “carrier pigeon”"),
              std::string::npos);
}

TEST_F(EdsDatabase, FilesEveryKindOfItemAndReadsItBack) {
    std::string list = createList("Reminders");

    NewReminder timed = reminder(list, "Call the dentist", "relay.example\nitem-timed");
    timed.notes = "Ask about\nthe bill";
    timed.due = DateComponents{2030, 5, 4, 9, 30};
    timed.alarm = platform::Date::fromUnix(1904117400); // 2030-05-04T09:30:00Z
    NewReminder allDay = reminder(list, "Pay rent", "relay.example\nitem-allday");
    allDay.due = DateComponents{2030, 5, 5, std::nullopt, std::nullopt};
    NewReminder carried = reminder(list, "Month thirteen", "relay.example\nitem-carry");
    carried.due = DateComponents{2030, 13, 1, std::nullopt, std::nullopt};
    NewReminder bare = reminder(list, "Line\r\nbreak\x01 and\ttab", "relay.example\nitem-bare");

    struct Expect {
        const NewReminder& item;
        std::string due, trigger, description, summary;
    };
    const Expect cases[] = {
        {timed, "DUE:20300504T093000", "TRIGGER;VALUE=DATE-TIME:20300504T093000Z", "DESCRIPTION:Ask about\\nthe bill",
         "SUMMARY:Call the dentist"},
        {allDay, "DUE;VALUE=DATE:20300505", "", "", "SUMMARY:Pay rent"},
        {carried, "DUE;VALUE=DATE:20310101", "", "", "SUMMARY:Month thirteen"},
        {bare, "", "", "", "SUMMARY:Line\\nbreak and\ttab"},
    };
    for (const auto& c : cases) {
        std::string id = database.save(c.item);
        EXPECT_EQ(id, posix::deliveryUid(c.item.deliveryKey));
        auto stored = todos(list);
        ASSERT_TRUE(stored.count(id)) << c.item.title;
        const std::string& ical = stored[id];
        EXPECT_EQ(EdsTaskLists::property(ical, "SUMMARY"), c.summary) << ical;
        EXPECT_EQ(EdsTaskLists::property(ical, "DESCRIPTION"), c.description) << ical;
        EXPECT_EQ(EdsTaskLists::property(ical, "DUE"), c.due) << ical;
        EXPECT_EQ(EdsTaskLists::property(ical, "VALARM:TRIGGER"), c.trigger) << ical;
        if (!c.trigger.empty()) {
            EXPECT_EQ(EdsTaskLists::property(ical, "VALARM:ACTION"), "ACTION:DISPLAY");
        }
    }

    // The database reads back what libecal holds.
    auto back = database.reminder(posix::deliveryUid(timed.deliveryKey));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->listTitle, "Reminders");
    EXPECT_EQ(back->title, "Call the dentist");
    EXPECT_EQ(back->notes, "Ask about\nthe bill");
    EXPECT_EQ(back->due, timed.due);
    EXPECT_EQ(back->alarm, timed.alarm);
    auto day = database.reminder(posix::deliveryUid(allDay.deliveryKey));
    ASSERT_TRUE(day);
    EXPECT_EQ(day->due, allDay.due);
    EXPECT_FALSE(day->alarm);
    EXPECT_FALSE(day->notes);
    EXPECT_FALSE(database.reminder("tavrelin-00000000000000000000000000000000"));
    EXPECT_FALSE(database.reminder(""));

    // Without a delivery key every save is a new reminder.
    std::string first = database.save(reminder(list, "No key", ""));
    std::string second = database.save(reminder(list, "No key", ""));
    EXPECT_NE(first, second);
    EXPECT_EQ(todos(list).size(), 6u);
}

TEST_F(EdsDatabase, RedeliveryAnswersTheEarlierReminderAndWritesNothing) {
    std::string list = createList("Errands");
    std::string other = createList("Elsewhere");
    NewReminder item = reminder(list, "Buy stamps", "relay.example\nitem-again");
    item.due = DateComponents{2030, 6, 1, 8, 0};
    std::string id = database.save(item);
    auto before = todos(list);

    item.title = "Changed on the relay";
    EXPECT_EQ(database.save(item), id);
    item.listIdentifier = other; // found wherever it is, not filed twice
    EXPECT_EQ(database.save(item), id);
    EXPECT_EQ(todos(list), before);
    EXPECT_TRUE(todos(other).empty());
}

TEST_F(EdsDatabase, ReadOnlyAndUnknownListsAreWriteFailures) {
    std::string locked = createList("Locked", true, false);
    try {
        database.save(reminder(locked, "Nope", "relay.example\nitem-locked"));
        ADD_FAILURE() << "a read-only list accepted a reminder";
    } catch (const platform::RemindersError& error) {
        EXPECT_STREQ(error.what(), "the task list “Locked” is read-only");
    }
    EXPECT_TRUE(todos(locked).empty());
    EXPECT_THROW(database.save(reminder("no-such-source", "Nope", "relay.example\nitem-unknown")), platform::RemindersError);
    // Nothing listens there: the list cannot take the reminder now.
    std::string remote = lists->createRemote("Remote", "http://127.0.0.1:9/tasks/");
    ASSERT_TRUE(eventually([&] { return database.lists().size() > 1; }));
    EXPECT_THROW(database.save(reminder(remote, "Nope", "relay.example\nitem-remote")), platform::RemindersError);
    std::string off = createList("Off", false);
    EXPECT_THROW(database.save(reminder(off, "Nope", "relay.example\nitem-off")), platform::RemindersError);
}

// The poll runs on a background thread, a different one from poll to poll.
TEST_F(EdsDatabase, WorksFromOneThreadAfterAnother) {
    std::string list = createList("Threads");
    for (int round = 0; round < 3; ++round) {
        std::thread poll([&] {
            std::string id = database.save(reminder(list, "Round", "relay.example\nround-" + std::to_string(round)));
            EXPECT_TRUE(database.reminder(id));
        });
        poll.join();
    }
    EXPECT_EQ(todos(list).size(), 3u);
}

} // namespace
