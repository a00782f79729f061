// The Evolution Data Server backend against a real source registry and
// calendar factory on a private session bus; what it files is read back
// through libecal, as GNOME's task apps would read it.

#include "Platform/Linux/Eds/EdsRemindersDatabase.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/EdsSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

using namespace tavrelin;
using platform::DateComponents;
using tavrelin::testing::EdsTaskLists;

namespace {

constexpr const char* notAnswering = "Evolution Data Server is not answering";

// What the save answered: its identifier, or the failure's text.
std::string attempt(eds::EdsRemindersDatabase& database, const platform::NewReminder& reminder) {
    try {
        return database.save(reminder);
    } catch (const platform::RemindersError& error) {
        return error.what();
    }
}

// Waits until the database sees the list, as the registry may take a moment.
bool sees(const eds::EdsRemindersDatabase& database, const std::string& list) {
    return tavrelin::testing::eventually(
        [&] { return std::ranges::count(database.lists(), list, &platform::ReminderList::identifier) == 1; });
}

} // namespace

TEST(EdsDatabase, FilesOnceIntoListsItCanWriteAndAFactoryThatHangsOrDiesIsNotAnsweringUntilBack) {
    // TZ first: a timed reminder's alarm is its due time here.
    const tavrelin::testing::SavedEnvironment zone("TZ", "UTC");
    tavrelin::testing::EdsSession session;
    session.enter();
    EdsTaskLists lists;
    const std::string list = lists.create("Reminders"), other = lists.create("Elsewhere");
    const std::string off = lists.create("Switched off", false);
    const std::string locked = lists.create("Locked", true, session.root() / "locked.ics");

    eds::EdsRemindersDatabase database;
    // Enabled lists only (the built-in one among them), by title, once the registry has them all.
    std::vector<std::string> titles;
    ASSERT_TRUE(sees(database, locked));
    std::ranges::transform(database.lists(), std::back_inserter(titles), &platform::ReminderList::title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Elsewhere", "Locked", "Personal", "Reminders"}));

    const auto alarm = platform::Date::fromUnix(1904117400); // 2030-05-04T09:30:00Z
    platform::NewReminder timed{list, "Call", "Ask", DateComponents{2030, 5, 4, 9, 30}, alarm, "relay.example\nitem-timed"};
    // From another thread, as the next poll runs.
    std::thread([&] { EXPECT_EQ(database.save(timed), posix::deliveryUid(timed.deliveryKey)); }).join();

    auto stored = lists.todos(list);
    ASSERT_EQ(stored.size(), 1u);
    // Stored as written (a floating due time), and read back.
    EXPECT_EQ(EdsTaskLists::property(stored[posix::deliveryUid(timed.deliveryKey)], "DUE"), "DUE:20300504T093000");
    const auto back = database.reminder(posix::deliveryUid(timed.deliveryKey)).value();
    EXPECT_EQ(std::tie(back.listTitle, back.title, back.notes, back.due, back.alarm),
              std::make_tuple("Reminders", "Call", "Ask", timed.due, alarm));

    // A redelivery, even to another list, answers the earlier reminder and writes nothing.
    timed.title = "Changed on the relay";
    timed.listIdentifier = other;
    EXPECT_EQ(database.save(timed), posix::deliveryUid(timed.deliveryKey));
    EXPECT_EQ(lists.todos(list), stored);
    EXPECT_TRUE(lists.todos(other).empty());

    // Filed by an earlier version under the host-and-id key: this delivery
    // only while it holds what this save would write, in this list.
    platform::NewReminder earlier{list,  "Water, the plants; \\ twice", "by the window", timed.due,
                                  alarm, "relay.example\nitem-1"};
    const std::string earlierUid = database.save(earlier);
    earlier.earlierDeliveryKey = earlier.deliveryKey;
    earlier.deliveryKey = "same item";
    EXPECT_EQ(database.save(earlier), earlierUid);
    earlier.deliveryKey = "other title";
    earlier.title = "Water the plants";
    EXPECT_EQ(database.save(earlier), posix::deliveryUid("other title"));
    earlier.deliveryKey = "other list";
    earlier.title = "Water, the plants; \\ twice";
    earlier.listIdentifier = other;
    EXPECT_EQ(database.save(earlier), posix::deliveryUid("other list"));
    EXPECT_EQ(lists.todos(list).size(), 3u);
    EXPECT_EQ(lists.todos(other).size(), 1u);

    // Lists that cannot take the reminder now fail the write, not report it filed.
    for (const std::string& target : {locked, off, std::string("no-such-source")})
        EXPECT_THROW(database.save({target, "Nope", {}, {}, {}, "relay.example\n" + target}), platform::RemindersError)
            << target;
    EXPECT_TRUE(lists.todos(locked).empty());

    // The calendar factory hangs, dies during a save, and comes back: each
    // failure says the server is not answering (never that the list is
    // read-only), and touches no client it let go of (valgrind and ASan watch
    // this test); once the factory is back the item is filed, once. A GLib
    // critical (a freed or dropped object used) ends the test there.
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    const std::string groceries = lists.create("Groceries");
    constexpr auto limit = std::chrono::seconds(3);
    eds::EdsRemindersDatabase limited(limit);
    // Its limit is far past any wait below: what ends its save is the factory's death.
    eds::EdsRemindersDatabase patient(std::chrono::hours(1));
    ASSERT_TRUE(sees(limited, groceries));
    ASSERT_TRUE(sees(patient, groceries));
    auto item = [&](const std::string& id) { return platform::NewReminder{groceries, id, {}, {}, {}, "relay.example\n" + id}; };
    const std::string milk = attempt(limited, item("milk")); // opens the list and keeps it open
    ASSERT_EQ(milk, posix::deliveryUid("relay.example\nmilk"));
    ASSERT_EQ(attempt(patient, item("milk")), milk);

    // Hangs: the save gives up at the limit.
    session.signalCalendarFactory(SIGSTOP);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(attempt(limited, item("bread")), notAnswering);
    EXPECT_GE(std::chrono::steady_clock::now() - started, limit) << "it gave up before its limit";
    // The rest of the poll fails without asking the server again, even one
    // that would answer now.
    session.signalCalendarFactory(SIGCONT);
    EXPECT_EQ(attempt(limited, item("eggs")), notAnswering);
    EXPECT_THROW(limited.reminder(milk), platform::RemindersError);

    // Dies while a save waits on it: that save ends then, not at its limit.
    session.signalCalendarFactory(SIGSTOP);
    ASSERT_TRUE(sees(patient, groceries)) << "the registry still answers";
    auto during = std::async(std::launch::async, [&] { return attempt(patient, item("bread")); });
    session.signalCalendarFactory(SIGKILL);
    ASSERT_EQ(during.wait_for(std::chrono::minutes(2)), std::future_status::ready)
        << "the save went on waiting on a factory that had died";
    EXPECT_EQ(during.get(), notAnswering);

    // Back: the next poll files what waited, and finds it again.
    session.startCalendarFactory();
    ASSERT_TRUE(sees(limited, groceries));
    const std::string bread = posix::deliveryUid("relay.example\nbread");
    EXPECT_EQ(attempt(limited, item("bread")), bread);
    EXPECT_EQ(limited.reminder(bread).value().listTitle, "Groceries");

    // Restarted between two polls: the list is opened anew, not used dead.
    session.signalCalendarFactory(SIGKILL);
    session.startCalendarFactory();
    ASSERT_TRUE(sees(limited, groceries));
    EXPECT_EQ(attempt(limited, item("eggs")), posix::deliveryUid("relay.example\neggs"));

    std::vector<std::string> summaries;
    for (const auto& [uid, ical] : lists.todos(groceries))
        summaries.push_back(EdsTaskLists::property(ical, "SUMMARY"));
    std::ranges::sort(summaries);
    EXPECT_EQ(summaries, (std::vector<std::string>{"SUMMARY:bread", "SUMMARY:eggs", "SUMMARY:milk"}));
}
