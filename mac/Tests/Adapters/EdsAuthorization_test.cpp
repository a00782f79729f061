// What the Evolution Data Server backend answers where it cannot work: no
// session bus at all, then a bus on which no registry answers. One process,
// in this order: GLib keeps the first bus it reaches, never a failed attempt.

#include "Platform/Eds/EdsRemindersDatabase.h"
#include "Platform/Eds/RemindersBackendChoice.h"
#include "Support/EdsSession.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

using namespace tavrelin;

TEST(EdsAuthorization, NoBusIsUndeterminedAndARegistryThatDoesNotAnswerIsDenied) {
    tavrelin::testing::TempFolder empty;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("DISPLAY");
    ::setenv("XDG_RUNTIME_DIR", empty.path().c_str(), 1);
    eds::EdsRemindersDatabase database;
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::notDetermined);
    auto answer = database.requestFullAccess();
    EXPECT_FALSE(answer.granted);
    EXPECT_TRUE(answer.error.value_or("").starts_with("no session bus: ")) << answer.error.value_or("");
    // (The end-to-end agents run without a bus and choose the vdir.)

    // The bus appears; nothing on it owns the registry's name.
    tavrelin::testing::EdsSession bare(false);
    bare.enter();
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::denied) << database.lastProblem();
    answer = database.requestFullAccess();
    EXPECT_FALSE(answer.granted || answer.error);
    EXPECT_NE(database.lastProblem().find("registry does not answer"), std::string::npos) << database.lastProblem();
    EXPECT_THROW(database.save({"system-task-list", "t", {}, {}, {}, "relay.example\nitem-1"}), platform::RemindersError);
    // Only the vdir's branch gives this reason.
    EXPECT_EQ(eds::chooseRemindersBackend("auto", database).reason, "auto: " + database.lastProblem());
}
