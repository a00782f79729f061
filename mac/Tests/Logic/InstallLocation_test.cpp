// The offer to move into the Applications folder, on the fake platform.

#include "Support/ShellHarness.h"
#include "TavrelinMac/BundleSwap.h"

using namespace tavrelin;
using namespace tavrelin::fake;

const std::string installed = "/home/user/Applications/Tavrelin.app";
const std::string staging = "/home/user/Applications/.Tavrelin.app.moving";
const std::string previous = "/home/user/Applications/.Tavrelin.app.previous";

// The welcome's key is set before it shows, and its button opens the menu.
TEST(InstallLocation, TheMoveIsOfferedOnlyOutsideTheApplicationsFoldersAndADeclineAndTheWelcomeAreRemembered) {
    const std::pair<std::string, bool> cases[] = {
        {"/Applications/Tools/Tavrelin.app", false}, {installed, false},
        {"/src/brannock/Tavrelin.app", false},       {"/home/user/Downloads/Tavrelin.app", true},
        {"/applications/Tavrelin.app", true},        {"/home/user/ApplicationsOld/Tavrelin.app", true},
    };
    for (const auto& [path, offered] : cases) {
        Downloaded s;
        s.bundle.bundlePath = path;
        s.dialogs.whileOpen = [&](const Alert& alert) {
            EXPECT_EQ(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey), alert.title == words::welcome::title());
        };
        s.launch(); // declined: the empty script answers "Not Now"
        EXPECT_EQ(s.titles(), (offered ? Lines{words::move::title(), words::welcome::title()} : Lines{words::welcome::title()}))
            << path;
        EXPECT_EQ(s.item().clicks, 1);
        s.relaunch();
        s.launch();
        EXPECT_EQ(s.dialogs.shown.size(), offered ? 2u : 1u) << path;
    }
}

TEST(InstallLocation, AnAcceptedMoveReplacesTheOldCopyRelaunchesAndEndsTheLaunch) {
    Downloaded s;
    s.files.files[installed + "/Contents/Info.plist"] = "old";
    s.files.files[staging + "/Contents/Info.plist"] = "stale";
    s.dialogs.script = {0};
    s.dialogs.whileOpen = [&](const Alert&) { s.open(pairLink("https://relay.example")); };
    LogCapture log;
    s.launch();
    EXPECT_EQ(s.files.operations,
              (Lines{"mkdir /home/user/Applications", "remove " + staging, "copy " + s.bundle.bundlePath + " -> " + staging,
                     "sync tree " + staging, "sync /home/user/Applications", "rename " + installed + " -> " + previous,
                     "rename " + staging + " -> " + installed, "sync /home/user/Applications", "remove " + previous}));
    EXPECT_EQ(s.workspace.relaunched, Lines{installed});
    EXPECT_EQ(s.application.terminateRequests, 1);
    // The link queued meanwhile is dropped with the rest of the launch.
    EXPECT_EQ(log.lines().back(), "info moved to /Applications; relaunching from there");
}

TEST(InstallLocation, AFailedMoveOrRelaunchKeepsTheOldCopyAndContinuesInPlace) {
    for (const std::string& failing : Lines{"copy ", "sync tree ", "rename " + staging, "relaunch"}) {
        Downloaded s;
        s.files.files[installed + "/Contents/Info.plist"] = "old";
        s.files.beforeOperation = [&s, &failing](const std::string& next) {
            if (!next.starts_with(failing))
                return;
            s.files.files[staging + "/x"] = "partial";
            throw FileError("No room.");
        };
        s.workspace.relaunchError = "No room.";
        s.dialogs.script = {0};
        LogCapture log;
        s.launch();
        const std::string failed = failing == "relaunch" ? "moved to /Applications but could not relaunch from there"
                                                         : "could not move to /Applications";
        EXPECT_THAT(log.lines(), ::testing::Contains("warn " + failed + ": No room.; continuing in place"));
        EXPECT_TRUE(s.statusBar.last); // the launch goes on
        EXPECT_FALSE(s.files.exists(staging) || s.files.exists(previous));
        EXPECT_EQ(s.files.files[installed + "/Contents/Info.plist"], failing == "relaunch" ? "new" : "old");
    }
}

// `--install-into`: the same stage and swap, with the running agent asked to
// go between the two, only once the new copy is complete.
TEST(InstallLocation, InstallingIntoAFolderStagesThenStopsTheRunningAgentThenSwaps) {
    FakeFiles files;
    const std::string built = "/src/build/Tavrelin.app", into = "/home/user/Applications";
    const std::string staged = into + "/.Tavrelin.app.installing";
    files.files[built + "/Contents/Info.plist"] = "new";
    files.files[installed + "/Contents/Info.plist"] = "old";
    EXPECT_EQ(installBundleInto(files, built, into + "/", [&] { files.operations.push_back("agent gone"); }), installed);
    EXPECT_EQ(files.operations, (Lines{"mkdir " + into, "copy " + built + " -> " + staged, "sync tree " + staged,
                                       "sync " + into, "agent gone", "rename " + installed + " -> " + previous,
                                       "rename " + staged + " -> " + installed, "sync " + into, "remove " + previous}));
    EXPECT_EQ(files.files[installed + "/Contents/Info.plist"], "new");

    // An agent that stays: nothing staged is left, the copy there is unchanged.
    files.files[built + "/Contents/Info.plist"] = "newer";
    EXPECT_THROW(installBundleInto(files, built, into, [] { throw FileError("it stayed"); }), FileError);
    EXPECT_FALSE(files.exists(staged));
    EXPECT_EQ(files.files[installed + "/Contents/Info.plist"], "new");

    // The installed copy is not installed over itself.
    files.operations.clear();
    EXPECT_THROW(installBundleInto(files, installed, into, [] { ADD_FAILURE() << "asked to stop"; }), FileError);
    EXPECT_TRUE(files.operations.empty());
}
