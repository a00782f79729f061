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
    EXPECT_EQ(log.lines(),
              (Lines{"info " + words::about::nameAndVersion("1.4.2") + " started", "info pairing file: " + pairingPath,
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

namespace {

const Features everyFeature{.startAtLoginInMenu = true, .remindersPlaceInMenu = true, .createListInMenu = true};

// Paired, with Evolution Data Server's lists there too and an item waiting
// for a list the folder lacks.
struct TwoPlaces : Shell {
    explicit TwoPlaces(Features offered) : Shell("https://relay.example") {
        features = offered;
        edsAvailable = true;
        reminders.addList("Inbox");
        edsReminders.addList("Inbox");
        http.responder = [](const auto&) { return relayReply({"g:Groceries"}); };
        relaunch();
        launch();
        mainLoop.drain();
    }
    bool menuHas(const std::string& title) { return item().menu().find(title) != std::string::npos; }
};

} // namespace

// The menu says where reminders go and offers the other place; each change
// is asked first and named there. A list made from the menu is made where
// reminders go, and what waited for it is filed at once.
TEST(AppDelegate, TheMenuNamesWhereRemindersGoMakesAMissingListThereAndSwitchesPlaceAfterAsking) {
    TwoPlaces s(everyFeature);
    const RemindersPlace folder = s.reminders.where, eds = s.edsReminders.where;
    EXPECT_TRUE(s.menuHas(words::places::current(folder)));
    EXPECT_FALSE(s.menuHas(words::places::useInstead(folder)));

    const std::string create = words::places::createList("Groceries");
    EXPECT_TRUE(s.chooseInMenu(create)); // cancelled
    EXPECT_EQ(s.dialogs.shown.back().text, words::places::createText("Groceries", folder));
    EXPECT_TRUE(s.reminders.created.empty());
    s.dialogs.script = {0};
    EXPECT_TRUE(s.chooseInMenu(create));
    EXPECT_EQ(s.reminders.created, Lines{"Groceries"});
    ASSERT_EQ(s.reminders.saved.size(), 1u) << "filed at once, not at the next tick";
    EXPECT_FALSE(s.menuHas(create));

    const std::string useEds = words::places::useInstead(eds);
    EXPECT_TRUE(s.chooseInMenu(useEds)); // cancelled
    EXPECT_EQ(s.dialogs.shown.back().text, words::places::switchText(folder, eds));
    EXPECT_TRUE(s.choices.empty());
    s.dialogs.script = {0};
    EXPECT_TRUE(s.chooseInMenu(useEds));
    EXPECT_EQ(s.choices, std::vector{RemindersPlace::Kind::evolutionDataServer});
    EXPECT_TRUE(s.menuHas(words::places::current(eds)));
    EXPECT_TRUE(s.menuHas(words::places::useInstead(folder)));
    // A poll went there at once, where no Groceries list is; what was filed stays.
    EXPECT_TRUE(s.menuHas(create));
    EXPECT_EQ(s.reminders.saved.size(), 1u);

    // Making it there fails: said in a dialog, and the item keeps waiting.
    s.edsReminders.createFailure = "the registry refused it";
    s.dialogs.script = {0};
    EXPECT_TRUE(s.chooseInMenu(create));
    EXPECT_EQ(s.dialogs.shown[s.dialogs.shown.size() - 2].text, words::places::createText("Groceries", eds));
    EXPECT_EQ(s.dialogs.shown.back().title, words::places::createFailedTitle("Groceries"));
    EXPECT_EQ(s.dialogs.shown.back().text, words::places::createFailedText("the registry refused it"));
    EXPECT_TRUE(s.edsReminders.saved.empty());
    // The pairing dialogs name the place in use.
    s.dialogs.script = {0};
    s.open(pairLink("https://relay.example"));
    EXPECT_EQ(s.dialogs.shown.back().text, words::pairing::pairedText("relay.example", eds));
    EXPECT_TRUE(s.item().choose(words::menu::unpair()));
    EXPECT_EQ(s.dialogs.shown.back().text, words::menu::unpairText(eds));
}

// Where the platform does not offer them, the menu has none of these lines,
// whatever places there are.
TEST(AppDelegate, WithoutThePlatformsFeaturesTheMenuOffersNoPlaceAndNoList) {
    TwoPlaces with(everyFeature), without(Features{});
    for (const auto& line : {words::places::current(with.reminders.where), words::places::useInstead(with.edsReminders.where),
                             words::places::createList("Groceries")}) {
        EXPECT_TRUE(with.menuHas(line)) << line;
        EXPECT_FALSE(without.menuHas(line)) << line;
    }
    EXPECT_TRUE(without.menuHas(words::module::noListNamed(1, "Groceries")));
}

// Started again while it runs: the running agent opens its menu at the icon,
// or says in a dialog that it runs and where (a tray, or none), never
// nothing; a start during launch is answered once launch is done, and one
// while a dialog is open brings that dialog forward. Where the platform does
// not offer it, the running agent notices nothing.
TEST(AppDelegate, AStartWhileItRunsShowsTheMenuAtTheIconOrSaysWhereTheAgentIs) {
    struct Case {
        bool menuAtIcon, shown;
        int clicks;
        std::optional<std::string> text;
    };
    for (const Case& c : {Case{true, true, 1, std::nullopt}, Case{false, true, 0, words::reopen::text(true)},
                          Case{false, false, 0, words::reopen::text(false)}}) {
        Shell s("https://relay.example");
        s.features.showOnReopen = true;
        s.relaunch();
        s.launch();
        s.item().menuAtIcon = c.menuAtIcon;
        s.item().shown = c.shown;
        s.delegate->applicationShouldHandleReopen();
        EXPECT_EQ(s.item().clicks, c.clicks);
        ASSERT_EQ(s.dialogs.shown.size(), c.text ? 1u : 0u);
        if (c.text) {
            EXPECT_EQ(s.dialogs.shown[0].title, words::reopen::title());
            EXPECT_EQ(s.dialogs.shown[0].text, *c.text);
        }
    }

    Shell s("https://relay.example");
    s.features.showOnReopen = true;
    s.relaunch();
    s.startLaunch();
    s.delegate->applicationShouldHandleReopen(); // the task lists are still being chosen
    s.finishChoice();
    EXPECT_EQ(s.item().clicks, 1);
    s.dialogs.whileOpen = [&](const Alert&) { s.delegate->applicationShouldHandleReopen(); };
    EXPECT_TRUE(s.chooseInMenu(words::menu::unpair()));
    EXPECT_EQ(s.item().clicks, 1);
    EXPECT_EQ(s.application.activations, 2); // the confirmation, then again for the start
    EXPECT_EQ(s.dialogs.shown.size(), 1u);

    Shell mac("https://relay.example");
    mac.features.showOnReopen = false;
    mac.relaunch();
    mac.launch();
    mac.delegate->applicationShouldHandleReopen();
    EXPECT_EQ(mac.item().clicks, 0);
    EXPECT_TRUE(mac.dialogs.shown.empty());
}

// "Show me" opens the menu only where it can open at the icon.
TEST(AppDelegate, TheWelcomeOpensTheMenuOnlyAtTheIcon) {
    for (const bool menuAtIcon : {true, false}) {
        Shell s;
        s.defaults.values.erase(AppDelegate::hasShownWelcomeKey);
        s.statusBar.menuAtIcon = menuAtIcon;
        s.launch();
        EXPECT_EQ(s.titles(), Lines{words::welcome::title()});
        EXPECT_EQ(s.item().clicks, menuAtIcon ? 1 : 0);
    }
}
