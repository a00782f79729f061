#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using Lines = std::vector<std::string>;

TEST(AppLaunch, NormalLaunchLogsInOrderRestoresPairingAndStartsTheModuleOnce) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example/base");
    LogCapture log;
    s.launch();

    EXPECT_EQ(log.lines(),
              (Lines{"info Tavrelin for Mac 1.4.2 started", "info pairing file: /home/user/.local/share/Tavrelin/pairing.json",
                     "info restored pairing for relay.example", "info module reminders started, backend relay.example"}));
    EXPECT_TRUE(s.delegate->isReady());
    EXPECT_TRUE(s.delegate->remindersModule()->hasClient());
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 1u); // one immediate poll
    EXPECT_EQ(s.delegate->syncState().pairedHost, "relay.example");
    // The state's observer redraws the menu-bar button.
    EXPECT_EQ(s.item().toolTip, "Tavrelin — Checking…");
    EXPECT_TRUE(s.p.dialogs.shown.empty());
}

TEST(AppLaunch, FirstLaunchShowsTheWelcomeOnceThenOpensTheMenu) {
    Shell s;
    s.p.defaults.values.clear();
    bool keySetBeforeDialog = false;
    s.p.dialogs.whileOpen = [&](const platform::Alert&) {
        keySetBeforeDialog = s.p.defaults.boolForKey(AppDelegate::hasShownWelcomeKey);
    };
    s.launch();

    EXPECT_EQ(s.delegate->syncState().health, SyncState::Health::notPaired());
    EXPECT_EQ(s.item().toolTip, "Tavrelin — Not paired");
    ASSERT_EQ(s.p.dialogs.shown.size(), 1u);
    const auto& welcome = s.p.dialogs.shown[0];
    EXPECT_EQ(welcome.style, platform::AlertStyle::informational);
    EXPECT_EQ(welcome.title, "Thanks for installing Tavrelin");
    EXPECT_EQ(welcome.text,
              "Tavrelin is running now. Look for the tamsel icon in the menu bar at the top of your screen.\n\n"
              "There is no app window and no Dock icon, which is deliberate: it stays out of the way and files your "
              "reminders in the background.\n\n"
              "Next step: open the Tavrelin extension in Chrome and pair this Mac. Until you do, no reminders will "
              "arrive here.");
    EXPECT_EQ(welcome.buttons, Lines{"Show me"});
    EXPECT_TRUE(keySetBeforeDialog);
    EXPECT_EQ(s.p.application.activations, 1);
    EXPECT_EQ(s.item().clicks, 1);

    s.relaunch();
    s.launch();
    EXPECT_EQ(s.p.dialogs.shown.size(), 1u);
    EXPECT_EQ(s.item().clicks, 0);
}

TEST(AppLaunch, WelcomeDoesNotClickAStatusItemWithoutButton) {
    Shell s;
    s.p.defaults.values.clear();
    s.p.statusBar.itemsHaveButton = false;
    s.launch();
    EXPECT_EQ(s.p.dialogs.shown.size(), 1u);
    EXPECT_EQ(s.item().clicks, 0);
}

TEST(AppLaunch, SingleInstanceTest) {
    struct Case {
        std::optional<std::string> identifier;
        std::vector<platform::RunningApplication> running;
        bool other;
    };
    const Case cases[] = {
        {"com.tavrelin.mac", {}, false},
        {"com.tavrelin.mac", {{true}}, false},
        {"com.tavrelin.mac", {{true}, {false}}, true},
        {"com.tavrelin.mac", {{false}}, true},
        {std::nullopt, {{false}}, false},
    };
    for (const auto& c : cases) {
        Shell s;
        s.p.bundle.bundleIdentifier = c.identifier;
        s.p.workspace.running = c.running;
        EXPECT_EQ(s.delegate->anotherInstanceIsRunning(), c.other);
        EXPECT_EQ(s.p.workspace.queried, c.identifier ? Lines{*c.identifier} : Lines{});
    }
}

TEST(AppLaunch, AnotherInstanceLogsAndTerminatesAndDoesNothingElse) {
    Shell s;
    s.p.defaults.values.clear();
    s.p.bundle.bundlePath = "/home/user/Downloads/Tavrelin.app"; // would otherwise offer the move
    s.file.stored = storedPairing("https://relay.example");
    s.p.workspace.running = {{true}, {false}};
    LogCapture log;
    s.launch();
    s.delegate->applicationWillTerminate();

    EXPECT_EQ(log.lines(), Lines{"info another instance is already running; exiting"});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    EXPECT_TRUE(s.p.dialogs.shown.empty());
    EXPECT_EQ(s.p.statusBar.last, nullptr);
    EXPECT_TRUE(s.delegate->modules().empty());
    EXPECT_FALSE(s.delegate->isReady());
    EXPECT_TRUE(s.p.defaults.values.empty());
}

TEST(AppLaunch, LaunchByLinkSkipsMoveAndWelcomeAndReplacesTheRestoredPairing) {
    Shell s;
    s.p.defaults.values.clear();
    s.p.bundle.bundlePath = "/home/user/Downloads/Tavrelin.app";
    s.file.stored = storedPairing("https://relay.example");
    LogCapture log;
    s.open(pairLink("https://relay.example"));
    EXPECT_FALSE(s.delegate->isReady());
    ASSERT_TRUE(s.delegate->pendingPairURL());
    s.launch();

    EXPECT_FALSE(s.delegate->pendingPairURL());
    EXPECT_TRUE(s.p.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
    EXPECT_FALSE(s.p.defaults.values.count(AppDelegate::declinedMoveKey));
    ASSERT_EQ(s.p.dialogs.shown.size(), 1u); // no move offer, no welcome
    EXPECT_EQ(s.p.dialogs.shown[0].title, "Replace this Mac’s pairing?");
    EXPECT_EQ(s.item().clicks, 0);
    const Lines lines = log.lines();
    EXPECT_EQ(lines.front(), "info pairing link arrived before launch finished; queued");
    EXPECT_EQ(lines.back(), "info pairing link declined; keeping relay.example");
    EXPECT_EQ(s.file.stored, storedPairing("https://relay.example"));

    // The key stays set: no welcome at the next plain launch either.
    s.p.bundle.bundlePath = "/Applications/Tavrelin.app";
    s.relaunch();
    s.launch();
    EXPECT_EQ(s.p.dialogs.shown.size(), 1u);
}

TEST(AppLaunch, OnlyTheLastOfTwoEarlyLinksIsHandled) {
    Shell s;
    LogCapture log;
    s.open(pairLink("https://one.example"));
    s.open(pairLink("https://two.example"));
    s.p.dialogs.script = {0};
    s.launch();

    EXPECT_EQ(s.file.stored->apiBase, "https://two.example");
    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    EXPECT_EQ(s.p.dialogs.shown[0].title, "Pair this Mac with two.example?");
    EXPECT_EQ(s.p.dialogs.shown[1].title, "Tavrelin is paired");
    const Lines lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "info pairing link arrived before launch finished; queued"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "info paired with two.example"), 1);
}

TEST(AppLaunch, UnpairStopsThenClearsAndIgnoresAClearFailure) {
    for (bool clearFails : {false, true}) {
        Shell s;
        s.file.stored = storedPairing("https://relay.example");
        if (clearFails)
            s.file.clearError = "The file “pairing.json” couldn’t be removed.";
        s.launch();
        s.p.defaults.values[AppDelegate::declinedMoveKey] = true;
        LogCapture log;
        s.delegate->statusMenu()->onUnpair();

        EXPECT_EQ(log.lines(), (Lines{"info module reminders stopped", "info unpaired"}));
        EXPECT_EQ(s.file.stored.has_value(), clearFails);
        EXPECT_EQ(s.delegate->syncState().health, SyncState::Health::notPaired());
        EXPECT_FALSE(s.delegate->remindersModule()->hasClient());
        EXPECT_TRUE(s.p.dialogs.shown.empty());
        EXPECT_TRUE(s.p.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
        EXPECT_TRUE(s.p.defaults.boolForKey(AppDelegate::declinedMoveKey));
    }
}

TEST(AppLaunch, QuitStopsModulesAndKeepsThePairingFile) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example");
    s.launch();
    LogCapture log;
    s.delegate->statusMenu()->onQuit();
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    s.delegate->applicationWillTerminate();
    EXPECT_EQ(log.lines(), Lines{"info module reminders stopped"});
    EXPECT_TRUE(s.file.stored);
}

TEST(AppLaunch, MenuCallbacks) {
    Shell s;
    s.launch();
    StatusMenu& menu = *s.delegate->statusMenu();

    // Sync Now with no pairing does nothing.
    menu.onSyncNow();
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 0u);

    menu.onPairingHelp();
    ASSERT_EQ(s.p.dialogs.shown.size(), 1u);
    const auto& help = s.p.dialogs.shown[0];
    EXPECT_EQ(help.style, platform::AlertStyle::informational);
    EXPECT_EQ(help.title, "Pairing this Mac");
    EXPECT_EQ(help.text,
              "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That sends this "
              "app both the backend address and the relay token in one step.\n\n"
              "Both values have to come together on purpose. Typing them separately is how a Mac ends up quietly "
              "polling the wrong backend while reminders pile up somewhere else.");
    EXPECT_TRUE(help.buttons.empty());
    EXPECT_EQ(s.p.application.activations, 1);

    menu.onOpenRemindersSettings();
    EXPECT_EQ(s.p.workspace.opened, Lines{"x-apple.systempreferences:com.apple.preference.security?Privacy_Reminders"});

    // "Check for Updates…" runs a manual check; the version line shows how it went.
    EXPECT_EQ(menu.updateSummary(), "Not checked yet");
    s.updateOutcome = Updater::Failed{"offline"};
    menu.onCheckForUpdates();
    s.p.mainLoop.drain();
    ASSERT_EQ(s.p.dialogs.shown.size(), 2u);
    EXPECT_EQ(s.p.dialogs.shown[1].title, "Couldn’t check for updates");
    EXPECT_EQ(s.p.application.activations, 2);
    EXPECT_EQ(menu.updateSummary(), "Last check failed");
    // The first automatic check comes 90 s after launch and shows nothing.
    s.updateOutcome = Updater::UpToDate{};
    s.p.mainLoop.advance(90);
    EXPECT_EQ(menu.updateSummary(), "Up to date (1.4.2)");

    // Callbacks hold the delegate weakly: it goes away with its last owner.
    auto summary = menu.updateSummary;
    auto help2 = menu.onPairingHelp;
    std::weak_ptr<AppDelegate> weak = s.delegate;
    s.delegate.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(summary(), "");
    help2();
    EXPECT_EQ(s.p.dialogs.shown.size(), 2u);
}

TEST(AppLaunch, SyncNowReachesAPairedModule) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example");
    s.launch();
    s.p.mainLoop.drain(); // the first poll finishes
    ASSERT_EQ(s.p.mainLoop.pendingBackground(), 0u);
    s.delegate->statusMenu()->onSyncNow();
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 1u);
}

TEST(AppLaunch, RestartNowQuitsAndReopensTheBundle) {
    Shell s;
    s.launch();
    s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", {}, {}}};
    s.p.dialogs.script = {0}; // Restart now
    s.delegate->statusMenu()->onCheckForUpdates();
    s.p.mainLoop.drain();
    ASSERT_FALSE(s.p.processes.calls.empty());
    const auto& reopen = s.p.processes.calls.back();
    EXPECT_TRUE(reopen.detached);
    EXPECT_EQ(reopen.arguments,
              (Lines{"-c", "sleep 1; /usr/bin/setsid -f '/Applications/Tavrelin.app/Contents/MacOS/tavrelin-agent'"}));
    EXPECT_EQ(s.p.application.terminateRequests, 1);
}
