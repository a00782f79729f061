// The application shell on the fake platform: launch order, shutdown, the
// welcome, the menu's callbacks, the offer to move into the Applications
// folder, and pairing links (queued until launch is done, confirmed, saved,
// rejected with what they carried). Dialogs are told apart by title; their
// whole texts are in Texts_test.

#include "Support/ShellHarness.h"
#include "TavrelinMac/InstallLocation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using Lines = std::vector<std::string>;

TEST(AppDelegate, LaunchLogsInOrderRestoresThePairingAndRedrawsAndTerminationStopsDelivery) {
    Shell s("https://relay.example/base");
    LogCapture log;
    s.launch();
    EXPECT_EQ(log.lines(), (Lines{"info Tavrelin for Mac 1.4.2 started", "info pairing file: " + pairingPath,
                                  "info reminders backend: " + s.chooser.description, "info restored pairing for relay.example",
                                  "info module reminders started, backend relay.example"}));
    for (const auto& event : std::vector<std::optional<std::string>>{std::nullopt, "", "not a url"})
        s.delegate->handleGetURL(event); // only logged
    EXPECT_THAT(log.lines(), ::testing::Contains("warn received a URL event with no readable URL").Times(3));
    const std::string atLaunch = s.item().toolTip;
    s.mainLoop.drain();
    EXPECT_NE(s.item().toolTip, atLaunch);
    s.delegate->applicationWillTerminate();
    EXPECT_EQ(s.mainLoop.activeTimers(), 1u); // only the updater's
}

// The task lists may take seconds to choose: launch goes on from the answer,
// and a link that comes meanwhile waits for the restored pairing.
TEST(AppDelegate, TheTaskListsAreChosenOffTheMainThreadAndLaunchResumesWithTheAnswer) {
    Shell s("https://relay.example");
    LogCapture log;
    s.startLaunch();
    EXPECT_EQ(s.statusBar.last, nullptr);
    EXPECT_TRUE(log.lines().empty());
    s.open(pairLink("https://relay.example"));
    EXPECT_TRUE(s.dialogs.shown.empty());
    s.finishChoice();
    EXPECT_EQ(s.chooser.askedOnMainThread, std::vector<bool>{false});
    ASSERT_NE(s.statusBar.last, nullptr);
    EXPECT_THAT(log.lines(), ::testing::Contains("info restored pairing for relay.example"));
    EXPECT_EQ(s.titles(), Lines{title::replace}); // handled against the restored pairing

    // Quit while the choice runs: nothing more of launch happens.
    Shell quitting("https://relay.example");
    quitting.startLaunch();
    quitting.application.terminate();
    LogCapture quiet;
    quitting.finishChoice();
    EXPECT_EQ(quitting.statusBar.last, nullptr);
    EXPECT_TRUE(quiet.lines().empty());
}

TEST(AppDelegate, TheWelcomeComesOnceWithItsKeySetFirstThenOpensTheMenu) {
    Shell s;
    s.defaults.values.clear();
    s.dialogs.whileOpen = [&](const Alert&) { EXPECT_TRUE(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey)); };
    s.launch();
    EXPECT_EQ(s.item().clicks, 1);
    s.relaunch();
    s.launch();
    EXPECT_EQ(s.titles(), Lines{title::welcome});
}

TEST(AppDelegate, ASecondInstanceQuitsBeforeDoingAnything) {
    Downloaded s("https://relay.example"); // would otherwise offer the move and welcome
    s.workspace.running = {{true}, {false}};
    LogCapture log;
    s.launch();
    EXPECT_EQ(log.lines(), Lines{"info another instance is already running; exiting"});
    EXPECT_EQ(s.application.terminateRequests, 1);
    EXPECT_TRUE(s.dialogs.shown.empty());
    EXPECT_TRUE(s.chooser.askedOnMainThread.empty()); // the task lists are not even looked for
    EXPECT_EQ(s.statusBar.last, nullptr);
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

TEST(AppDelegate, MenuItemsReachTheirTargetsAndHoldTheDelegateWeakly) {
    Shell s("https://relay.example");
    s.launch();
    s.reminders.status = RemindersAuthorization::denied;
    s.mainLoop.drain();
    EXPECT_TRUE(s.item().choose(words::menu::openAccessSettings(s.reminders.place())));
    EXPECT_EQ(s.workspace.opened, Lines{"privacy settings"});

    // Restart now, after an update, reopens the bundle.
    s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", {}, {}}};
    s.dialogs.script = {0};
    EXPECT_TRUE(s.item().choose("Check for Updates…"));
    s.mainLoop.drain();
    EXPECT_EQ(s.workspace.relaunched, Lines{"/Applications/Tavrelin.app"});
    EXPECT_EQ(s.application.terminateRequests, 1);
    std::weak_ptr<AppDelegate> weak = s.delegate;
    s.delegate.reset();
    EXPECT_TRUE(weak.expired()); // no callback keeps it alive
}

// Nothing is recorded, so each dialog comes again.
TEST(AppDelegate, QuittingInsideADialogIsNoAnswer) {
    for (const std::string& dialog : {title::welcome, title::move}) {
        Downloaded s;
        if (dialog == title::welcome)
            s.bundle.bundlePath = "/Applications/Tavrelin.app";
        s.dialogs.script = {0};
        s.dialogs.whileOpen = [&](const Alert&) { s.application.terminate(); };
        LogCapture log;
        s.launch();
        EXPECT_EQ(s.titles(), Lines{dialog});
        EXPECT_FALSE(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
        EXPECT_FALSE(s.defaults.values.count(InstallLocation::declinedMoveKey)) << dialog;
        EXPECT_EQ(log.lines().size(), dialog == title::move ? 0u : 3u); // no launch step after the move offer
    }
}

// ---- the offer to move into the Applications folder

namespace {

const std::string installed = "/home/user/Applications/Tavrelin.app";
const std::string staging = "/home/user/Applications/.Tavrelin.app.moving";
const std::string previous = "/home/user/Applications/.Tavrelin.app.previous";

} // namespace

TEST(InstallLocation, TheMoveIsOfferedOnlyOutsideTheApplicationsFoldersAndADeclineIsRemembered) {
    const std::pair<std::string, bool> cases[] = {
        {"/Applications/Tools/Tavrelin.app", false}, {installed, false},
        {"/src/brannock/Tavrelin.app", false},       {"/home/user/Downloads/Tavrelin.app", true},
        {"/applications/Tavrelin.app", true},        {"/home/user/ApplicationsOld/Tavrelin.app", true},
    };
    for (const auto& [path, offered] : cases) {
        Downloaded s;
        s.bundle.bundlePath = path;
        s.launch(); // declined: the empty script answers "Not Now"
        EXPECT_EQ(s.titles(), (offered ? Lines{title::move, title::welcome} : Lines{title::welcome})) << path;
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
    EXPECT_EQ(
        s.files.operations,
        (Lines{"mkdir /home/user/Applications", "remove " + staging, "copy " + s.bundle.bundlePath + " -> " + staging,
               "rename " + installed + " -> " + previous, "rename " + staging + " -> " + installed, "remove " + previous}));
    EXPECT_EQ(s.workspace.relaunched, Lines{installed});
    EXPECT_EQ(s.application.terminateRequests, 1);
    // The link queued meanwhile is dropped with the rest of the launch.
    EXPECT_EQ(log.lines().back(), "info moved to /Applications; relaunching from there");
}

TEST(InstallLocation, AFailedMoveOrRelaunchKeepsTheOldCopyAndContinuesInPlace) {
    for (const std::string& failing : Lines{"copy ", "rename " + staging, "relaunch"}) {
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
        EXPECT_FALSE(s.files.exists(staging));
        EXPECT_FALSE(s.files.exists(previous));
        EXPECT_EQ(s.files.files[installed + "/Contents/Info.plist"], failing == "relaunch" ? "new" : "old");
    }
}

// ---- pairing links
TEST(PairingLinks, ALaunchByLinkSkipsMoveAndWelcomeAndOnlyTheLastEarlyLinkCounts) {
    Downloaded s("https://relay.example");
    LogCapture log;
    s.open(pairLink("https://one.example"));
    s.open(pairLink("https://relay.example"));
    s.launch();
    EXPECT_EQ(s.titles(), Lines{title::replace}); // against the restored pairing
    EXPECT_TRUE(s.defaults.boolForKey(AppDelegate::hasShownWelcomeKey));
    EXPECT_THAT(log.lines(), ::testing::Contains("info pairing link arrived before launch finished; queued").Times(2));
    EXPECT_EQ(log.lines().back(), "info pairing link declined; keeping relay.example");
}

TEST(PairingLinks, AFirstPairingTrustsOnlyTheUsualHostAndLocalAddressesAndADeclineChangesNothing) {
    const std::pair<std::string, bool> cases[] = {
        {"relay.tavrelin.app", true}, {"localhost:8080", true}, {"localhost.example", true},
        {"127.0.0.1:9", true},        {"relay.example", false}, {"relay.tavrelin.app.evil.example", false},
    };
    for (const auto& [host, trusted] : cases) {
        Shell s;
        s.launch();
        LogCapture log;
        s.open(pairLink("https://" + host)); // the empty script cancels
        EXPECT_EQ(s.titles(), Lines{trusted ? title::trustedFirst : title::untrustedFirst(host)}) << host;
        EXPECT_EQ(log.lines(), Lines{"info first pairing declined for " + hostOfPairing("https://" + host)});
    }
}

TEST(PairingLinks, AnAcceptedLinkIsSavedStartsDeliveryAndSaysSoAndTheSameLinkAgainReplaces) {
    Shell s;
    s.launch();
    LogCapture log;
    s.dialogs.script = {0, 0, 0};
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.stored(), (Pairing{"https://relay.example", "rk_0123456789abcdef", s.clock.current}));
    EXPECT_EQ(log.lines(), (Lines{"info paired with relay.example", "info module reminders started, backend relay.example"}));
    EXPECT_EQ(s.application.activations, 2); // before each dialog

    s.clock.current = s.clock.current + 5;
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.stored()->pairedAt, s.clock.current);
    EXPECT_THAT(log.lines(), ::testing::Each(::testing::Not(::testing::HasSubstr("rk_"))));
}

TEST(PairingLinks, RejectionsNameTheCarriedParametersInCodePointOrder) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"tavrelin://pair?Token=rk_0123456789ab&api=https://r.example", "The pairing link had no token.", "Token, api"},
        {"https://example.com/pair?x=1&x=2&b", "That link was not a Tavrelin pairing link.", "b, x, x"},
        {pairLink("Z://x"), "The backend address is not usable: unsupported scheme z", "api, token"},
        {pairLink("http://127.0.0.1:9"), "disk full", "api, token"},
    };
    for (const auto& [link, description, carried] : cases) {
        Shell s;
        s.launch();
        // Saving fails; only the last link gets that far.
        s.files.beforeOperation = [](const std::string&) { throw FileError("disk full"); };
        s.dialogs.script = {0};
        LogCapture log;
        s.open(link);
        EXPECT_EQ(log.lines(), Lines{"warn pairing rejected: " + description});
        ASSERT_EQ(s.dialogs.shown.back().title, title::rejected) << link;
        EXPECT_TRUE(s.dialogs.shown.back().text.starts_with(description + "\n\nThe link carried: " + carried + ".\n\n"));
    }
}

TEST(PairingLinks, LinksArrivingWhileADialogIsOpenWaitForItsAnswer) {
    Shell s("https://relay.example");
    s.launch();
    s.dialogs.script = {0, 0, 0, 1};
    s.dialogs.whileOpen = [&](const Alert& alert) {
        if (alert.title == title::unpair)
            s.open(pairLink("https://other.example"));
        if (alert.title == title::untrustedFirst("other.example"))
            s.open(pairLink("https://third.example"));
    };
    EXPECT_TRUE(s.item().choose(words::menu::unpair()));
    s.mainLoop.runPosted();
    // Each link is asked about once the one before is answered: the third as a
    // switch away from the second, which is declined.
    EXPECT_EQ(s.titles(), (Lines{title::unpair, title::untrustedFirst("other.example"), title::paired, title::switchBackend}));
    EXPECT_EQ(s.stored()->apiBase, "https://other.example");
}
