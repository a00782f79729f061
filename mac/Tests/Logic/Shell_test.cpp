// The application shell on the fake platform: launch order, the pairing-link
// flow, the move offer and the welcome. Whole dialog texts are in Texts_test.

#include "Support/ShellHarness.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::fake;
using Lines = std::vector<std::string>;

namespace {

const std::string downloads = "/home/user/Downloads/Tavrelin.app";
const std::string installed = "/home/user/Applications/Tavrelin.app";
const std::string staging = "/home/user/Applications/.Tavrelin.app.moving";
const std::string previous = "/home/user/Applications/.Tavrelin.app.previous";
const char* const declinedKey = "com.tavrelin.mac.declinedMoveToApplications";
const char* const welcomeKey = "com.tavrelin.mac.hasShownWelcome";

// A first launch from the Downloads folder.
struct Downloaded : Shell {
    Downloaded() {
        p.defaults.values.clear();
        p.bundle.bundlePath = downloads;
        p.files.files[downloads + "/Contents/Info.plist"] = "new";
    }
};

} // namespace

// ---- launch and shutdown

// After launch only the updater's first check (90 s on) is scheduled: no
// delivery timer runs without a pairing.
constexpr std::size_t updateTimers = 1;

TEST(Shell, LaunchLogsInOrderRestoresThePairingAndRedrawsOnEveryChange) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example/base");
    LogCapture log;
    s.launch();
    EXPECT_EQ(log.lines(),
              (Lines{"info Tavrelin for Mac 1.4.2 started", "info pairing file: /home/user/.local/share/Tavrelin/pairing.json",
                     "info restored pairing for relay.example", "info module reminders started, backend relay.example"}));
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 1u); // one immediate poll
    const std::string atLaunch = s.item().toolTip;
    s.p.mainLoop.drain();
    EXPECT_NE(s.item().toolTip, atLaunch);
    EXPECT_TRUE(s.p.dialogs.shown.empty());
}

TEST(Shell, TheWelcomeComesOnceWithItsKeySetFirstThenOpensTheMenu) {
    for (bool hasButton : {true, false}) {
        Shell s;
        s.p.defaults.values.clear();
        s.p.statusBar.itemsHaveButton = hasButton;
        bool keySetBefore = false;
        s.p.dialogs.whileOpen = [&](const platform::Alert&) { keySetBefore = s.p.defaults.boolForKey(welcomeKey); };
        s.launch();
        EXPECT_EQ(s.titles(), Lines{title::welcome});
        EXPECT_TRUE(keySetBefore);
        EXPECT_EQ(s.item().clicks, hasButton ? 1 : 0);
        EXPECT_EQ(s.item().toolTip.empty(), !hasButton); // not paired is drawn

        s.relaunch();
        s.launch();
        EXPECT_EQ(s.p.dialogs.shown.size(), 1u);
    }
}

TEST(Shell, SingleInstance) {
    struct Case {
        std::optional<std::string> identifier;
        std::vector<platform::RunningApplication> running;
        bool other;
    } cases[] = {
        {"com.tavrelin.mac", {}, false},
        {"com.tavrelin.mac", {{true}}, false},
        {"com.tavrelin.mac", {{true}, {false}}, true},
        {std::nullopt, {{false}}, false},
    };
    for (const auto& c : cases) {
        Shell s;
        s.p.bundle.bundleIdentifier = c.identifier;
        s.p.workspace.running = c.running;
        EXPECT_EQ(s.delegate->anotherInstanceIsRunning(), c.other);
    }

    Downloaded s; // would otherwise offer the move and welcome
    s.file.stored = storedPairing("https://relay.example");
    s.p.workspace.running = {{true}, {false}};
    LogCapture log;
    s.launch();
    s.delegate->applicationWillTerminate();
    EXPECT_EQ(log.lines(), Lines{"info another instance is already running; exiting"});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    EXPECT_TRUE(s.p.dialogs.shown.empty());
    EXPECT_EQ(s.p.statusBar.last, nullptr);
    EXPECT_TRUE(s.p.defaults.values.empty());
}

TEST(Shell, ALaunchByLinkSkipsMoveAndWelcomeAndOnlyTheLastEarlyLinkCounts) {
    Downloaded s;
    s.file.stored = storedPairing("https://relay.example");
    LogCapture log;
    s.open(pairLink("https://one.example"));
    s.open(pairLink("https://relay.example"));
    s.launch();

    EXPECT_EQ(s.titles(), Lines{title::replace}); // against the restored pairing
    EXPECT_TRUE(s.p.defaults.boolForKey(welcomeKey));
    EXPECT_FALSE(s.p.defaults.values.count(declinedKey));
    const Lines lines = log.lines();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2), Lines(2, "info pairing link arrived before launch finished; queued"));
    EXPECT_EQ(lines.back(), "info pairing link declined; keeping relay.example");
    EXPECT_EQ(s.file.stored, storedPairing("https://relay.example"));
}

TEST(Shell, UnpairStopsAndClearsEvenWhenClearingFailsAndQuitKeepsTheFile) {
    for (bool clearFails : {false, true}) {
        Shell s;
        s.file.stored = storedPairing("https://relay.example");
        if (clearFails)
            s.file.clearError = "cannot remove";
        s.launch();
        LogCapture log;
        s.p.dialogs.script = {0};
        EXPECT_TRUE(s.item().choose("Unpair this Mac…"));
        EXPECT_EQ(log.lines(), (Lines{"info module reminders stopped", "info unpaired"}));
        EXPECT_EQ(s.file.stored.has_value(), clearFails);
        EXPECT_EQ(s.p.mainLoop.activeTimers(), updateTimers);
    }
    Shell s;
    s.file.stored = storedPairing("https://relay.example");
    s.launch();
    LogCapture log;
    EXPECT_TRUE(s.item().choose("Quit Tavrelin"));
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    s.delegate->applicationWillTerminate();
    EXPECT_EQ(log.lines(), Lines{"info module reminders stopped"});
    EXPECT_TRUE(s.file.stored);
}

TEST(Shell, MenuCallbacksHoldTheDelegateWeakly) {
    Shell s;
    s.file.stored = storedPairing("http://127.0.0.1:1");
    s.p.reminders.status = platform::RemindersAuthorization::denied;
    s.launch();
    s.p.mainLoop.drain();
    EXPECT_TRUE(s.item().choose("Open Privacy & Security settings…"));
    EXPECT_EQ(s.p.workspace.opened, Lines{"privacy settings"});
    s.file.stored.reset();
    s.relaunch();
    s.launch();
    EXPECT_TRUE(s.item().choose("How to pair…"));
    EXPECT_EQ(s.titles(), Lines{title::help});
    EXPECT_EQ(s.p.application.activations, 1);

    std::weak_ptr<AppDelegate> weak = s.delegate;
    s.delegate.reset();
    EXPECT_TRUE(weak.expired()); // no callback keeps it alive
}

TEST(Shell, CheckNowReachesOnlyAPairedModule) {
    Shell s;
    s.launch();
    EXPECT_FALSE(s.item().choose("Check now"));
    s.file.stored = storedPairing("https://relay.example");
    s.relaunch();
    s.launch();
    s.p.mainLoop.drain();
    EXPECT_TRUE(s.item().choose("Check now"));
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 1u);
}

TEST(Shell, UpdatesAreCheckedFromTheMenuAndOnScheduleAndRestartNowReopensTheBundle) {
    Shell s;
    s.launch();
    s.updateOutcome = Updater::Failed{"offline"};
    EXPECT_TRUE(s.item().choose("Check for Updates…"));
    s.p.mainLoop.drain();
    EXPECT_EQ(s.titles(), Lines{"Couldn’t check for updates"});
    EXPECT_EQ(s.p.application.activations, 1); // through the one dialog gate

    // The first automatic check comes 90 s after launch and shows nothing.
    s.updateOutcome = Updater::UpToDate{};
    s.p.mainLoop.advance(90);
    s.p.mainLoop.drain();
    EXPECT_EQ(s.titles().size(), 1u);

    s.updateOutcome = Updater::Installed{{"1.5.0", 43, "https://tavrelin.app/a.zip", "ab", {}, {}}};
    s.p.dialogs.script = {0}; // Restart now
    EXPECT_TRUE(s.item().choose("Check for Updates…"));
    s.p.mainLoop.drain();
    EXPECT_EQ(s.p.workspace.relaunched, Lines{"/Applications/Tavrelin.app"});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
}

// ---- pairing links

TEST(Shell, EventsWithoutAReadableURLAreOnlyLogged) {
    Shell s;
    s.launch();
    LogCapture log;
    for (const auto& event : std::vector<std::optional<std::string>>{std::nullopt, "", "not a url"})
        s.delegate->handleGetURL(event);
    EXPECT_EQ(log.lines(), Lines(3, "warn received a URL event with no readable URL"));
    EXPECT_TRUE(s.p.dialogs.shown.empty());
}

TEST(Shell, AFirstPairingTrustsOnlyTheUsualHostAndLocalAddressesAndADeclineChangesNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"https://relay.tavrelin.app", title::trustedFirst},
        {"http://localhost:8080", title::trustedFirst},
        {"https://localhost.example", title::trustedFirst},
        {"http://127.0.0.1:9", title::trustedFirst},
        {"https://relay.example", title::untrustedFirst("relay.example")},
        {"https://relay.tavrelin.app.evil.example", title::untrustedFirst("relay.tavrelin.app.evil.example")},
    };
    for (const auto& [api, expected] : cases) {
        Shell s;
        s.launch();
        LogCapture log;
        s.open(pairLink(api)); // the empty script cancels
        EXPECT_EQ(s.titles(), Lines{expected}) << api;
        EXPECT_EQ(log.lines(), Lines{"info first pairing declined for " + hostOfPairing(api)});
        EXPECT_FALSE(s.file.stored);
        EXPECT_EQ(s.p.mainLoop.activeTimers(), updateTimers);
    }
}

TEST(Shell, AnAcceptedLinkIsSavedStartsDeliveryAndSaysSoAndTheSameLinkAgainReplaces) {
    Shell s;
    s.launch();
    s.p.clock.current = s.p.clock.current + 60;
    LogCapture log;
    s.p.dialogs.script = {0, 0, 0};
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.file.stored, (Pairing{"https://relay.example", token, s.p.clock.current}));
    EXPECT_EQ(log.lines(), (Lines{"info paired with relay.example", "info module reminders started, backend relay.example"}));
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 1u);
    EXPECT_EQ(s.p.application.activations, 2); // before each dialog

    s.p.clock.current = s.p.clock.current + 5;
    s.open(pairLink("https://relay.example/"));
    EXPECT_EQ(s.titles(), (Lines{title::untrustedFirst("relay.example"), title::paired, title::replace, title::paired}));
    EXPECT_EQ(s.file.stored->pairedAt, s.p.clock.current);
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("rk_"), std::string::npos) << line;
    for (const auto& alert : s.p.dialogs.shown)
        EXPECT_EQ((alert.title + alert.text).find("rk_"), std::string::npos);
}

TEST(Shell, DecliningASwitchOfBackendKeepsEverything) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example/base");
    s.launch();
    s.p.mainLoop.drain();
    const std::string tip = s.item().toolTip;
    LogCapture log;
    s.open(pairLink("https://other.example"));
    EXPECT_EQ(s.titles(), Lines{title::switchBackend});
    EXPECT_EQ(log.lines(), Lines{"info pairing link declined; keeping relay.example"});
    EXPECT_EQ(s.file.stored, storedPairing("https://relay.example/base"));
    EXPECT_EQ(s.file.saves, 0);
    EXPECT_EQ(s.item().toolTip, tip);
    EXPECT_EQ(s.p.mainLoop.pendingBackground(), 0u);
}

TEST(Shell, RejectionsNameTheCarriedParametersInCodePointOrder) {
    struct Case {
        std::string link, description, carried;
        std::optional<std::string> saveError;
    } cases[] = {
        {"tavrelin://pair?token=abc&api=https://relay.example",
         "That does not look like a Tavrelin relay token.",
         "The link carried: api, token.",
         {}},
        {"tavrelin://pair?Token=rk_0123456789ab&api=https://relay.example",
         "The pairing link had no token.",
         "The link carried: Token, api.",
         {}},
        {"tavrelin://pair", "The pairing link had no token.", "The link carried no parameters at all.", {}},
        {"tavrelin://pair?%74oken=rk_0123456789ab", "The pairing link had no backend address.", "The link carried: token.", {}},
        {"https://example.com/pair?x=1&x=2&b", "That link was not a Tavrelin pairing link.", "The link carried: b, x, x.", {}},
        {pairLink("http://127.0.0.1:9"), "disk full", "The link carried: api, token.", "disk full"},
    };
    for (const auto& c : cases) {
        Shell s;
        s.launch();
        s.file.saveError = c.saveError;
        s.p.dialogs.script = {0};
        LogCapture log;
        s.open(c.link);
        EXPECT_EQ(log.lines(), Lines{"warn pairing rejected: " + c.description});
        ASSERT_EQ(s.p.dialogs.shown.back().title, title::rejected) << c.link;
        const std::string& text = s.p.dialogs.shown.back().text;
        EXPECT_EQ(text.substr(0, text.rfind("\n\n")), c.description + "\n\n" + c.carried);
        EXPECT_FALSE(s.file.stored);
        EXPECT_EQ(s.p.mainLoop.activeTimers(), updateTimers);
    }
}

TEST(Shell, ALinkArrivingWhileAConfirmationIsOpenWaitsForItsAnswer) {
    Shell s;
    s.launch();
    s.p.dialogs.script = {0, 0, 1};
    s.p.dialogs.whileOpen = [&](const platform::Alert& alert) {
        if (alert.title == title::untrustedFirst("relay.example"))
            s.open(pairLink("https://other.example"));
    };
    LogCapture log;
    s.open(pairLink("https://relay.example"));
    // B is asked about only once A is paired, and so as a switch away from A.
    EXPECT_EQ(s.titles(), (Lines{title::untrustedFirst("relay.example"), title::paired, title::switchBackend}));
    EXPECT_EQ(s.file.stored->apiBase, "https://relay.example");
    EXPECT_EQ(log.lines().back(), "info pairing link declined; keeping relay.example");
}

TEST(Shell, ALinkArrivingDuringTheUnpairConfirmationIsHandledAfterTheUnpair) {
    Shell s;
    s.file.stored = storedPairing("https://relay.example");
    s.launch();
    s.p.dialogs.script = {0, 0};
    s.p.dialogs.whileOpen = [&](const platform::Alert& alert) {
        if (alert.title == title::unpair)
            s.open(pairLink("https://other.example"));
    };
    EXPECT_TRUE(s.item().choose("Unpair this Mac…"));
    s.p.mainLoop.runPosted();
    EXPECT_EQ(s.titles(), (Lines{title::unpair, title::untrustedFirst("other.example"), title::paired}));
    ASSERT_TRUE(s.file.stored);
    EXPECT_EQ(s.file.stored->apiBase, "https://other.example");
}

// ---- quitting while a dialog is open

TEST(Shell, QuittingInsideADialogIsNoAnswer) {
    struct Case {
        std::string dialog;
        std::function<void(Downloaded&)> arrange;
    } cases[] = {
        {title::welcome, [](Downloaded& s) { s.p.bundle.bundlePath = "/Applications/Tavrelin.app"; }},
        {title::move, [](Downloaded&) {}},
        {title::trustedFirst,
         [](Downloaded& s) {
             s.p.defaults.values[welcomeKey] = true;
             s.p.bundle.bundlePath = "/Applications/Tavrelin.app";
             s.open(pairLink("http://localhost:1"));
         }},
    };
    for (const auto& c : cases) {
        Downloaded s;
        c.arrange(s);
        s.p.dialogs.script = {0};
        s.p.dialogs.whileOpen = [&](const platform::Alert&) { s.p.application.terminate(); };
        LogCapture log;
        s.launch();
        EXPECT_EQ(s.titles(), Lines{c.dialog});
        if (c.dialog == title::welcome) {
            EXPECT_FALSE(s.p.defaults.boolForKey(welcomeKey)); // it comes again next launch
        }
        EXPECT_FALSE(s.p.defaults.values.count(declinedKey)) << c.dialog;
        EXPECT_TRUE(s.p.workspace.relaunched.empty());
        EXPECT_FALSE(s.file.stored);
        EXPECT_EQ(s.p.mainLoop.pendingBackground(), 0u);
        if (c.dialog == title::move) {
            EXPECT_TRUE(log.lines().empty()); // no later launch step
            EXPECT_EQ(s.p.statusBar.last, nullptr);
        }
    }
}

// ---- the move offer

TEST(Shell, TheMoveIsOfferedOnlyOutsideTheApplicationsFoldersAndADeclineIsRemembered) {
    const std::pair<std::string, bool> cases[] = {
        {"/Applications/Tavrelin.app", false},
        {"/Applications/Tools/Tavrelin.app", false},
        {installed, false},
        {"/home/user/src/brannock/build/Tavrelin.app", false},
        {downloads, true},
        {"/applications/Tavrelin.app", true},
        {"/home/user/ApplicationsOld/Tavrelin.app", true},
    };
    for (const auto& [path, offered] : cases) {
        Downloaded s;
        s.p.bundle.bundlePath = path;
        s.launch(); // declined: the empty script answers "Not Now"
        EXPECT_EQ(s.titles().front() == title::move, offered) << path;
        EXPECT_EQ(s.titles().back(), title::welcome) << path;
        EXPECT_EQ(s.p.defaults.boolForKey(declinedKey), offered);
        EXPECT_TRUE(s.p.files.operations.empty());

        s.relaunch();
        s.launch();
        EXPECT_EQ(s.p.dialogs.shown.size(), offered ? 2u : 1u) << path;
    }
}

TEST(Shell, AnAcceptedMoveReplacesTheOldCopyRelaunchesAndEndsTheLaunch) {
    Downloaded s;
    s.p.files.files[installed + "/Contents/Info.plist"] = "old";
    s.p.files.files[staging + "/Contents/Info.plist"] = "stale";
    s.p.dialogs.script = {0};
    s.p.dialogs.whileOpen = [&](const platform::Alert&) { s.open(pairLink("https://relay.example")); };
    LogCapture log;
    s.launch();

    EXPECT_EQ(s.p.files.operations, (Lines{"mkdir /home/user/Applications", "remove " + staging,
                                           "copy " + downloads + " -> " + staging, "rename " + installed + " -> " + previous,
                                           "rename " + staging + " -> " + installed, "remove " + previous}));
    EXPECT_EQ(s.p.files.files[installed + "/Contents/Info.plist"], "new");
    EXPECT_EQ(s.p.files.files[downloads + "/Contents/Info.plist"], "new"); // the running copy stays
    EXPECT_EQ(s.p.workspace.relaunched, Lines{installed});
    EXPECT_EQ(s.p.application.terminateRequests, 1);
    // The link queued meanwhile is dropped with the rest of the launch.
    EXPECT_EQ(log.lines(), (Lines{"info pairing link arrived before launch finished; queued",
                                  "info moved to /Applications; relaunching from there"}));
    EXPECT_EQ(s.p.statusBar.last, nullptr);
    EXPECT_FALSE(s.p.defaults.values.count(declinedKey));
}

TEST(Shell, AFailedMoveOrRelaunchKeepsTheOldCopyAndContinuesInPlace) {
    auto failOn = [](Downloaded& s, std::string prefix, std::string message) {
        s.p.files.beforeOperation = [&s, prefix, message](const std::string& operation) {
            if (operation.starts_with(prefix)) {
                if (prefix == "copy ")
                    s.p.files.files[staging + "/x"] = "partial";
                throw platform::FileError(message);
            }
        };
    };
    struct Case {
        std::function<void(Downloaded&)> arrange;
        std::string line;
    } cases[] = {
        {[&](Downloaded& s) { failOn(s, "copy ", "The disk is full."); },
         "warn could not move to /Applications: The disk is full.; continuing in place"},
        {[&](Downloaded& s) { failOn(s, "mkdir ", "Read-only."); },
         "warn could not move to /Applications: Read-only.; continuing in place"},
        {[](Downloaded& s) { s.p.files.failing.insert(installed); },
         "warn could not move to /Applications: The operation couldn’t be completed for “" + installed +
             "”.; continuing "
             "in place"},
        {[&](Downloaded& s) { failOn(s, "rename " + staging, "No room."); },
         "warn could not move to /Applications: No room.; continuing in place"},
        {[](Downloaded& s) { s.p.workspace.relaunchError = "not executable"; },
         "warn moved to /Applications but could not relaunch from there: not executable; continuing in place"},
    };
    for (const auto& c : cases) {
        Downloaded s;
        s.p.files.files[installed + "/Contents/Info.plist"] = "old";
        c.arrange(s);
        s.p.dialogs.script = {0};
        LogCapture log;
        s.launch();
        const Lines lines = log.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), c.line);
        EXPECT_EQ(lines[1], "info Tavrelin for Mac 1.4.2 started"); // launch goes on
        EXPECT_EQ(s.p.application.terminateRequests, 0);
        EXPECT_FALSE(s.p.files.exists(staging));
        EXPECT_FALSE(s.p.files.exists(previous));
        if (!s.p.workspace.relaunchError) {
            EXPECT_EQ(s.p.files.files[installed + "/Contents/Info.plist"], "old");
        }
        EXPECT_FALSE(s.p.defaults.values.count(declinedKey)); // offered again next time
    }
}
