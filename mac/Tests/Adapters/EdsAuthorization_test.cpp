// What the Evolution Data Server backend answers where it cannot work: no
// session bus at all, then a bus on which no registry answers. One process,
// in this order: GLib keeps the first bus it reaches, never a failed attempt.

#include "Platform/BundleLayout.h"
#include "Platform/Linux/Desktop/SessionBus.h"
#include "Platform/Linux/Eds/EdsRemindersDatabase.h"
#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"
#include "Platform/Linux/Eds/RemindersBackendChoice.h"
#include "Platform/Posix/PosixFiles.h"
#include "Support/DevRelayProcess.h"
#include "Support/EdsSession.h"
#include "Support/FakePlatform.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"

#include <gmock/gmock.h>

using namespace tavrelin;

namespace {
constexpr const char* notAnswering = "Evolution Data Server is not answering";
}

TEST(EdsAuthorization, NoBusOrARegistryThatDoesNotAnswerIsUndeterminedAndSaysWhy) {
    tavrelin::testing::TempFolder empty;
    const tavrelin::testing::SavedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", {}), display("DISPLAY", {}),
        runtime("XDG_RUNTIME_DIR", empty.path());
    eds::EdsRemindersDatabase database;
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::notDetermined);
    EXPECT_THAT([&] { database.requestFullAccess(); },
                ::testing::ThrowsMessage<platform::RemindersError>(::testing::StartsWith("no session bus: ")));
    // (The end-to-end agents run without a bus and choose the vdir.)

    // The bus appears; nothing on it owns the registry's name. That is a
    // server that does not answer, said as such, not a refusal.
    tavrelin::testing::EdsSession bare(false);
    bare.enter();
    tavrelin::testing::application<QCoreApplication>();
    EXPECT_EQ(qt::sessionBusLacks(eds::registryBusName),
              "nothing on the session bus owns or starts org.gnome.evolution.dataserver.Sources5");
    const eds::EdsProbe probe = database.probe();
    EXPECT_EQ(probe.kind, eds::EdsProbe::Kind::notAnswering);
    EXPECT_NE(probe.problem.find("registry does not answer"), std::string::npos) << probe.problem;
    EXPECT_EQ(database.authorizationStatus(), platform::RemindersAuthorization::notDetermined);
    const auto fails = ::testing::ThrowsMessage<platform::RemindersError>(::testing::StrEq(notAnswering));
    EXPECT_THAT([&] { database.requestFullAccess(); }, fails);
    EXPECT_THAT([&] { database.lists(); }, fails);
    EXPECT_THAT([&] { database.save({"system-task-list", "t", {}, {}, {}, "relay.example\nitem-1"}); }, fails);
    EXPECT_THAT([&] { database.reminder("item-1"); }, fails);
    // Only the vdir's branch gives this reason.
    EXPECT_EQ(eds::chooseRemindersBackend("auto", "GNOME", [&]() -> const eds::EdsTaskLists& { return database; }).reason,
              "auto: " + probe.problem);

    // On GNOME too, the folder then; Evolution Data Server is not offered,
    // and its libraries are not loaded.
    posix::PosixFiles files;
    fake::FakeUserDefaults defaults;
    int loads = 0;
    eds::LinuxRemindersPlaces places(defaults, files,
                                     {.folder = empty / "calendars",
                                      .currentDesktop = "GNOME",
                                      .loadEds =
                                          [&loads] {
                                              ++loads;
                                              return std::make_unique<eds::EdsRemindersDatabase>();
                                          },
                                      .edsMissing = [] { return qt::sessionBusLacks(eds::registryBusName); }});
    EXPECT_THAT(places.settle(), ::testing::HasSubstr("nothing on the session bus owns or starts"));
    EXPECT_EQ(places.available(), std::vector<platform::RemindersPlace>{places.chosen()});
    EXPECT_EQ(places.chosen().kind, platform::RemindersPlace::Kind::taskListFolder);
    EXPECT_EQ(loads, 0);
}

// A bundle without the module (or a system without libecal) still runs: auto
// takes the vdir and says why; every call of the stand-in fails with it.
TEST(EdsAuthorization, AMissingModuleIsARegistryThatDoesNotAnswer) {
    const auto lists =
        eds::loadEdsTaskLists("/nonexistent/tavrelin-eds.so", [](const std::string& line) { ADD_FAILURE() << line; });
    const eds::EdsProbe probe = lists->probe();
    EXPECT_EQ(probe.kind, eds::EdsProbe::Kind::notAnswering);
    EXPECT_THAT(probe.problem, ::testing::StartsWith("Evolution Data Server's module cannot be loaded: /nonexistent"));
    EXPECT_EQ(lists->authorizationStatus(), platform::RemindersAuthorization::notDetermined);
    EXPECT_THAT([&] { lists->requestFullAccess(); },
                ::testing::ThrowsMessage<platform::RemindersError>(::testing::StrEq(probe.problem)));
    const platform::NewReminder reminder{"list", "t", {}, {}, {}, "relay.example\nitem-1"};
    EXPECT_THAT([&] { lists->save(reminder); },
                ::testing::ThrowsMessage<platform::RemindersError>(::testing::StrEq(probe.problem)));
    const auto choice = eds::chooseRemindersBackend("auto", "GNOME", [&]() -> const eds::EdsTaskLists& { return *lists; });
    EXPECT_EQ(std::pair(choice.backend, choice.reason), std::pair(eds::RemindersBackend::vdir, "auto: " + probe.problem));
}

// C++ objects and exceptions cross into the module, so only this build's own
// is called. This build's module with another build's stamp is refused with
// one line for the log; auto then takes the vdir, and eds says why wherever it
// is asked.
TEST(EdsAuthorization, AModuleOfAnotherBuildIsRefused) {
    using tavrelin::testing::buildDir, tavrelin::testing::readFile;
    const std::string built = readFile((buildDir() / "Tavrelin.app" / bundle::edsModule).string());
    const std::string stamp(eds::agentBuildStamp());
    const std::size_t at = built.find(stamp);
    ASSERT_NE(at, std::string::npos) << "the module carries this build's stamp";
    ASSERT_EQ(built.find(stamp, at + 1), std::string::npos);

    std::string otherStamp = stamp, other = built;
    otherStamp.back() = otherStamp.back() == '0' ? '1' : '0';
    other.replace(at, stamp.size(), otherStamp);
    const tavrelin::testing::TempFolder folder;
    const std::tuple<std::string, std::string, std::string> modules[] = {
        {"same.so", built, ""},
        {"other.so", other, "“" + otherStamp + "”"},
    };
    const std::string problem = "Evolution Data Server's module belongs to another build of the agent";
    for (const auto& [name, bytes, theirs] : modules) {
        SCOPED_TRACE(name);
        const std::string path = folder.path() + "/" + name;
        tavrelin::testing::writeFile(path, bytes);
        std::vector<std::string> lines;
        const auto lists = eds::loadEdsTaskLists(path, [&](const std::string& line) { lines.push_back(line); });
        ASSERT_TRUE(lists);
        if (theirs.empty()) {
            EXPECT_TRUE(lines.empty()) << lines.front();
            continue;
        }
        EXPECT_EQ(lines,
                  (std::vector<std::string>{"refused Evolution Data Server's module " + path + ": it belongs to agent build " +
                                            theirs + ", this is build “" + stamp + "”"}));
        EXPECT_EQ(lists->probe().problem, problem);
        EXPECT_THAT([&] { lists->requestFullAccess(); },
                    ::testing::ThrowsMessage<platform::RemindersError>(::testing::StrEq(problem)));
        const auto choice = eds::chooseRemindersBackend("auto", "GNOME", [&]() -> const eds::EdsTaskLists& { return *lists; });
        EXPECT_EQ(std::pair(choice.backend, choice.reason), std::pair(eds::RemindersBackend::vdir, "auto: " + problem));
    }
}
