// The places rule and list making against a real source registry and
// calendar factory on a private session bus, as the agent meets them on a
// desktop where Evolution Data Server runs (it does on XFCE too, once
// installed: its alarm notifier starts it).

#include "Platform/Linux/Desktop/SessionBus.h"
#include "Platform/Linux/Eds/EdsRemindersDatabase.h"
#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/PosixFiles.h"
#include "Support/EdsSession.h"
#include "Support/FakePlatform.h"
#include "Support/SpinEventLoop.h"

#include <gmock/gmock.h>

using namespace tavrelin;
using Kind = platform::RemindersPlace::Kind;
using tavrelin::testing::EdsTaskLists;

TEST(EdsPlaces, AutoFollowsTheDesktopAndAListMadeThereIsMadeOnceAndTakesReminders) {
    tavrelin::testing::EdsSession session;
    session.enter();
    tavrelin::testing::application<QCoreApplication>();
    EdsTaskLists view;
    posix::PosixFiles files;

    // Evolution Data Server answers with its own Personal list on every desktop here.
    for (const auto& [desktop, expected] :
         {std::pair{"GNOME", Kind::evolutionDataServer}, std::pair{"ubuntu:GNOME", Kind::evolutionDataServer},
          std::pair{"XFCE", Kind::taskListFolder}, std::pair{"LXQt", Kind::taskListFolder},
          std::pair{"KDE", Kind::taskListFolder}}) {
        SCOPED_TRACE(desktop);
        fake::FakeUserDefaults defaults;
        eds::LinuxRemindersPlaces places(defaults, files,
                                         {.folder = session.root() / "calendars",
                                          .currentDesktop = desktop,
                                          .loadEds = [] { return std::make_unique<eds::EdsRemindersDatabase>(); },
                                          .edsMissing = [] { return qt::sessionBusLacks(eds::registryBusName); }});
        const std::string said = places.settle();
        EXPECT_EQ(places.chosen().kind, expected) << said;
        EXPECT_EQ(places.available().size(), 2u) << "both places are there";
    }

    eds::EdsRemindersDatabase database;
    const auto before = database.lists().size();
    const auto groceries = database.createList("Groceries");
    EXPECT_EQ(groceries.title, "Groceries");
    // Made once: asked again, also in another Unicode form, it is the same list.
    EXPECT_EQ(database.createList("Groceries").identifier, groceries.identifier);
    const auto cafe = database.createList("Caf\xC3\xA9 ../../x");
    EXPECT_EQ(database.createList("Cafe\xCC\x81 ../../x").identifier, cafe.identifier);
    EXPECT_EQ(database.lists().size(), before + 2);
    EXPECT_THAT(database.lists(), ::testing::Contains(::testing::Field(&platform::ReminderList::title, "Caf\xC3\xA9 ../../x")));
    EXPECT_THROW(database.createList(""), platform::RemindersError);

    // GNOME's task apps see it, and it takes reminders at once.
    const std::string uid = database.save({groceries.identifier, "Milk", {}, {}, {}, "relay.example\nmilk"});
    EXPECT_EQ(uid, posix::deliveryUid("relay.example\nmilk"));
    const auto filed = view.todos(groceries.identifier);
    ASSERT_EQ(filed.size(), 1u);
    EXPECT_EQ(EdsTaskLists::property(filed.begin()->second, "SUMMARY"), "SUMMARY:Milk");
    EXPECT_EQ(database.reminder(uid).value().listTitle, "Groceries");
}
