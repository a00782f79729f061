// The application shell on the fake platform: launch order, shutdown, the
// welcome and the menu's callbacks. Dialogs are told apart by title; their
// whole texts are in Texts_test.

#include "Support/ShellHarness.h"

using namespace tavrelin;
using namespace tavrelin::fake;

TEST(AppDelegate, LaunchLogsInOrderMenuItemsReachTheirTargetsAndTerminationStopsDelivery) {
    Shell s("https://relay.example/base");
    LogCapture log;
    s.launch();
    EXPECT_EQ(log.lines(), (Lines{"info Tavrelin for Mac 1.4.2 started", "info pairing file: " + pairingPath,
                                  "info reminders backend: " + s.backendDescription, "info restored pairing for relay.example",
                                  "info module reminders started, backend relay.example"}));
    for (const auto& event : std::vector<std::optional<std::string>>{std::nullopt, "", "not a url"})
        s.delegate->handleGetURL(event); // only logged
    EXPECT_THAT(log.lines(), ::testing::Contains("warn received a URL event with no readable URL").Times(3));

    s.reminders.status = RemindersAuthorization::denied;
    s.mainLoop.drain();
    EXPECT_TRUE(s.item().choose(words::menu::openAccessSettings(s.reminders.place())));
    EXPECT_EQ(s.workspace.opened, Lines{"privacy settings"});
    s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", {}, {}}};
    s.dialogs.script = {0}; // Restart now
    EXPECT_TRUE(s.chooseInMenu("Check for Updates…"));
    EXPECT_EQ(s.application.terminateRequests, 1);

    s.delegate->applicationWillTerminate();
    EXPECT_EQ(s.mainLoop.activeTimers(), 1u); // only the updater's
    const std::weak_ptr<AppDelegate> weak = std::exchange(s.delegate, nullptr);
    EXPECT_TRUE(weak.expired()); // no callback keeps it alive
}

// "Restart now" after an update. While the new bundle still waits beside the
// running one, the install script is yet to swap it in and start it (a start
// that waits for this agent to be gone), so nothing starts here: it would be
// the old bundle. Once the script has swapped it in, its start came while
// this agent still answered and gave way: the bundle is started from here.
TEST(AppDelegate, RestartNowStartsTheBundleOnlyOnceTheInstallScriptHasSwappedIt) {
    const std::string incoming = "/Applications/.Tavrelin.app.incoming";
    for (const bool swapped : {false, true}) {
        Shell s;
        s.launch();
        if (!swapped)
            s.files.files[incoming + "/Contents/Info.plist"] = "new";
        s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", {}, {}}, incoming};
        s.dialogs.script = {0};
        EXPECT_TRUE(s.chooseInMenu("Check for Updates…"));
        EXPECT_EQ(s.application.terminateRequests, 1);
        EXPECT_EQ(s.workspace.relaunched, swapped ? Lines{"/Applications/Tavrelin.app"} : Lines{}) << swapped;
    }
}

// The task lists may take seconds to choose: launch goes on from the answer
// (as every launch here does), unless the app was told to quit meanwhile. (A
// link that comes meanwhile waits, as PairingLinks_test shows.)
TEST(AppDelegate, TheTaskListsAreChosenOffTheMainThreadAndAQuitMeanwhileEndsTheLaunch) {
    Shell s("https://relay.example");
    LogCapture log;
    s.startLaunch();
    s.application.terminate();
    s.finishChoice();
    EXPECT_EQ(s.askedOnMainThread, std::vector<bool>{false});
    EXPECT_EQ(s.statusBar.last, nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST(AppDelegate, ASecondInstanceQuitsBeforeDoingAnything) {
    Downloaded s("https://relay.example"); // would otherwise offer the move and welcome
    s.workspace.running = {{true}, {false}};
    LogCapture log;
    s.launch();
    EXPECT_EQ(log.lines(), Lines{"info another instance is already running; exiting"});
    EXPECT_EQ(s.application.terminateRequests, 1);
    EXPECT_TRUE(s.dialogs.shown.empty());
    EXPECT_TRUE(s.askedOnMainThread.empty()); // the task lists are not even looked for
}

TEST(AppDelegate, UnpairStopsAndForgetsEvenWhenTheFileCannotGo) {
    for (bool removeFails : {false, true}) {
        Shell s("https://relay.example");
        if (removeFails)
            s.files.failing.insert(pairingPath);
        s.launch();
        EXPECT_TRUE(s.item().choose(words::menu::unpair())); // cancelled
        EXPECT_TRUE(s.stored());
        LogCapture log;
        s.dialogs.script = {0};
        EXPECT_TRUE(s.item().choose(words::menu::unpair()));
        EXPECT_EQ(log.lines(), (Lines{"info module reminders stopped", "info unpaired"}));
        EXPECT_EQ(s.stored().has_value(), removeFails);
    }
}

// Nothing is recorded, so each dialog comes again.
TEST(AppDelegate, QuittingInsideADialogIsNoAnswer) {
    for (const std::string& dialog : {words::welcome::title(), words::move::title()}) {
        Downloaded s;
        if (dialog == words::welcome::title())
            s.bundle.bundlePath = "/Applications/Tavrelin.app";
        s.dialogs.script = {0};
        s.dialogs.whileOpen = [&](const Alert&) { s.application.terminate(); };
        LogCapture log;
        s.launch();
        EXPECT_EQ(s.titles(), Lines{dialog});
        EXPECT_FALSE(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
        EXPECT_FALSE(s.defaults.values.count(InstallLocation::declinedMoveKey)) << dialog;
        EXPECT_EQ(log.lines().size(), dialog == words::move::title() ? 0u : 3u); // no launch step after the move offer
    }
}
