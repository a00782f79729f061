// The Evolution Data Server backend against a real source registry and
// calendar factory on a private session bus; what it files is read back
// through libecal, as GNOME's task apps would read it.

#include "Platform/Eds/EdsRemindersDatabase.h"
#include "Platform/Eds/RemindersBackendChoice.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Support/EdsSession.h"
#include "Support/EdsTaskLists.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace tavrelin;
using platform::DateComponents;
using platform::NewReminder;
using tavrelin::testing::EdsTaskLists;

NewReminder reminder(const std::string& list, const std::string& title, const std::string& key) {
    NewReminder item;
    item.listIdentifier = list;
    item.title = title;
    item.deliveryKey = key;
    return item;
}

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
        for (const auto& known : database.lists())
            titles.push_back(known.title);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Enabled lists only (the built-in one among them), by title.
    EXPECT_EQ(titles, (std::vector<std::string>{"Elsewhere", "Locked", "Personal", "Reminders"}));
    EXPECT_TRUE(database.requestFullAccess().granted);
    EXPECT_EQ(eds::chooseRemindersBackend("auto", database).backend, eds::RemindersBackend::eds);

    NewReminder timed = reminder(list, "Call\r\nthe\x01 dentist", "relay.example\nitem-timed");
    timed.notes = "Ask about\nthe bill";
    timed.due = DateComponents{2030, 5, 4, 9, 30};
    timed.alarm = platform::Date::fromUnix(1904117400); // 2030-05-04T09:30:00Z
    NewReminder allDay = reminder(list, "Pay rent", "relay.example\nitem-allday");
    allDay.due = DateComponents{2030, 5, 5, std::nullopt, std::nullopt};
    EXPECT_EQ(database.save(timed), posix::deliveryUid(timed.deliveryKey));
    // From another thread, as the next poll runs.
    std::thread([&] { EXPECT_EQ(database.save(allDay), posix::deliveryUid(allDay.deliveryKey)); }).join();

    auto stored = lists.todos(list);
    ASSERT_EQ(stored.size(), 2u);
    const std::string& ical = stored[posix::deliveryUid(timed.deliveryKey)];
    EXPECT_EQ(EdsTaskLists::property(ical, "SUMMARY"), "SUMMARY:Call\\nthe dentist") << ical;
    EXPECT_EQ(EdsTaskLists::property(ical, "DESCRIPTION"), "DESCRIPTION:Ask about\\nthe bill") << ical;
    EXPECT_EQ(EdsTaskLists::property(ical, "DUE"), "DUE:20300504T093000") << ical;
    EXPECT_EQ(EdsTaskLists::property(ical, "VALARM:TRIGGER"), "TRIGGER;VALUE=DATE-TIME:20300504T093000Z") << ical;
    EXPECT_EQ(EdsTaskLists::property(ical, "VALARM:ACTION"), "ACTION:DISPLAY") << ical;
    const std::string& day = stored[posix::deliveryUid(allDay.deliveryKey)];
    EXPECT_EQ(EdsTaskLists::property(day, "DUE"), "DUE;VALUE=DATE:20300505") << day;
    EXPECT_EQ(EdsTaskLists::property(day, "VALARM:TRIGGER"), "") << day;
    auto back = database.reminder(posix::deliveryUid(timed.deliveryKey));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->listTitle, "Reminders");
    EXPECT_EQ(back->due, timed.due);
    EXPECT_EQ(back->alarm, timed.alarm);
    EXPECT_FALSE(database.reminder("tavrelin-00000000000000000000000000000000"));

    // A redelivery, even to another list, answers the earlier reminder and writes nothing.
    timed.title = "Changed on the relay";
    timed.listIdentifier = other;
    EXPECT_EQ(database.save(timed), posix::deliveryUid(timed.deliveryKey));
    EXPECT_EQ(lists.todos(list), stored);
    EXPECT_TRUE(lists.todos(other).empty());
    // Without a delivery key every save is a new reminder.
    EXPECT_NE(database.save(reminder(list, "No key", "")), database.save(reminder(list, "No key", "")));

    // Lists that cannot take the reminder now fail the write, not report it filed.
    for (const std::string& target : {locked, off, std::string("no-such-source")})
        EXPECT_THROW(database.save(reminder(target, "Nope", "relay.example\nitem-" + target)), platform::RemindersError)
            << target;
    EXPECT_TRUE(lists.todos(locked).empty());
}

} // namespace
