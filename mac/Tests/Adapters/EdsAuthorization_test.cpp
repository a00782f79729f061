// What the Evolution Data Server backend answers where it cannot work: no
// session bus at all, then a bus on which no registry answers. One process,
// in this order: GLib keeps the first bus it reaches, never a failed attempt.

#include "Platform/Eds/EdsRemindersDatabase.h"
#include "Platform/Eds/RemindersBackendChoice.h"
#include "Support/EdsSession.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

namespace {

using namespace tavrelin;
using platform::RemindersAuthorization;
using tavrelin::testing::EdsSession;
using tavrelin::testing::TempFolder;

platform::NewReminder item(const std::string& list) {
    platform::NewReminder reminder;
    reminder.listIdentifier = list;
    reminder.title = "Nowhere to go";
    reminder.deliveryKey = "relay.example\nitem-1";
    return reminder;
}

TEST(EdsAuthorization, NoBusIsUndeterminedAndARegistryThatDoesNotAnswerIsDenied) {
    ASSERT_EQ(EdsSession::missing(), "");
    TempFolder empty;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("DISPLAY");
    ::setenv("XDG_RUNTIME_DIR", empty.path().c_str(), 1);

    eds::EdsRemindersDatabase database;
    EXPECT_EQ(database.authorizationStatus(), RemindersAuthorization::notDetermined);
    auto answer = database.requestFullAccess();
    EXPECT_FALSE(answer.granted);
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->rfind("no session bus: ", 0), 0u) << *answer.error;
    EXPECT_TRUE(database.lists().empty());
    EXPECT_THROW(database.save(item("system-task-list")), platform::RemindersError);
    EXPECT_FALSE(database.reminder("tavrelin-0"));
    auto choice = eds::chooseRemindersBackend("auto", database);
    EXPECT_EQ(choice.backend, eds::RemindersBackend::vdir);
    EXPECT_EQ(choice.reason.rfind("auto: no session bus: ", 0), 0u) << choice.reason;
    EXPECT_EQ(eds::chooseRemindersBackend("eds", database).backend, eds::RemindersBackend::eds);

    // The bus appears; nothing on it owns the registry's name.
    EdsSession bare(false);
    bare.enter();
    EXPECT_EQ(database.authorizationStatus(), RemindersAuthorization::denied) << database.lastProblem();
    answer = database.requestFullAccess();
    EXPECT_FALSE(answer.granted);
    EXPECT_FALSE(answer.error);
    EXPECT_NE(database.lastProblem().find("registry does not answer"), std::string::npos) << database.lastProblem();
    EXPECT_TRUE(database.lists().empty());
    try {
        (void)database.save(item("system-task-list"));
        ADD_FAILURE() << "saved without a registry";
    } catch (const platform::RemindersError& error) {
        EXPECT_EQ(std::string(error.what()), database.lastProblem());
    }
    choice = eds::chooseRemindersBackend("auto", database);
    EXPECT_EQ(choice.backend, eds::RemindersBackend::vdir);
    EXPECT_EQ(choice.reason, "auto: " + database.lastProblem());
    EXPECT_NE(choice.reason.find(EdsSession::registryName), std::string::npos) << choice.reason;
}

} // namespace
