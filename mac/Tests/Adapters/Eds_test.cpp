// The Evolution Data Server backend against a real source registry and
// calendar factory on a private session bus; what it files is read back
// through libecal, as GNOME's task apps would read it.

#include "Platform/Eds/EdsRemindersDatabase.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/EdsSession.h"
#include "Support/EdsTaskLists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace tavrelin;
using platform::DateComponents;
using tavrelin::testing::EdsTaskLists;

TEST(EdsDatabase, FilesIntoTheNamedListOnceAndRefusesListsItCannotWrite) {
    // TZ first: a timed reminder's alarm is its due time here.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    tavrelin::testing::EdsSession session;
    session.enter();
    EdsTaskLists lists;
    const std::string list = lists.create("Reminders"), other = lists.create("Elsewhere");
    const std::string off = lists.create("Switched off", false);
    const std::string locked = lists.create("Locked", true, session.root() / "locked.ics");

    eds::EdsRemindersDatabase database;
    std::vector<std::string> titles;
    for (int tries = 0; titles.size() < 4 && tries < 500; ++tries) {
        titles.clear();
        std::ranges::transform(database.lists(), std::back_inserter(titles), &platform::ReminderList::title);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Enabled lists only (the built-in one among them), by title.
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

    // Lists that cannot take the reminder now fail the write, not report it filed.
    for (const std::string& target : {locked, off, std::string("no-such-source")})
        EXPECT_THROW(database.save({target, "Nope", {}, {}, {}, "relay.example\n" + target}), platform::RemindersError)
            << target;
    EXPECT_TRUE(lists.todos(locked).empty());
}
