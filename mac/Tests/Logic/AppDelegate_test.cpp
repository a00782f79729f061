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
        EXPECT_EQ(s.settles, dialog == words::move::title() ? 0 : 1) << "the launch went on past the move offer";
    }
}

namespace {

const Features everyFeature{
    .startAtLoginInMenu = true, .remindersPlaceInMenu = true, .createListInMenu = true, .serverAccounts = true};

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

namespace {

using SignInKind = SignInAnswer::Kind;

// Paired, with an item for "Inbox", a list the folder and the CalDAV server
// both have; the folder in use at first.
struct WithCalDav : Shell {
    explicit WithCalDav(Features offered = everyFeature) : Shell("https://relay.example") {
        features = offered;
        reminders.addList("Inbox");
        calDavReminders.addList("Inbox");
        http.responder = [](const auto&) { return relayReply({"a:Inbox"}); };
        relaunch();
    }
    bool menuHas(const std::string& title) { return item().menu().find(title) != std::string::npos; }
    // The server answers these, in turn.
    void answers(std::deque<SignInAnswer> said) {
        server = [said = std::make_shared<std::deque<SignInAnswer>>(std::move(said))](const auto&, const auto&) {
            SignInAnswer next = said->front();
            said->pop_front();
            return next;
        };
    }
    Lines titlesOf(const FakeRemindersDatabase& database) const {
        Lines titles;
        for (const auto& saved : database.saved)
            titles.push_back(saved.title);
        return titles;
    }
};

const std::string setUpEntry = words::account::setUp(false);

} // namespace

// The menu offers a CalDAV server. The form asks for the address, the user
// and the password (hidden), and the server is asked off the main thread,
// while the menu says so. A password it refuses, or a server that fails, is
// said in words and changes nothing.
TEST(AppDelegate, TheMenuOffersACalDavServerAndASignInItRefusesOrFailsChangesNothing) {
    WithCalDav s;
    s.launch();
    s.mainLoop.drain();
    ASSERT_TRUE(s.menuHas(setUpEntry));
    EXPECT_TRUE(s.chooseInMenu(setUpEntry)); // cancelled
    ASSERT_EQ(s.dialogs.formsShown.size(), 1u);
    const Form& form = s.dialogs.formsShown.front();
    EXPECT_EQ(form.alert.title, words::account::setUpTitle());
    EXPECT_EQ(form.alert.buttons, (Lines{words::account::signInButton(), words::cancel()}));
    ASSERT_EQ(form.fields.size(), 3u);
    EXPECT_EQ(std::vector({form.fields[0].hidden, form.fields[1].hidden, form.fields[2].hidden}),
              std::vector({false, false, true}));
    EXPECT_TRUE(s.signIns.empty());

    const std::string unreachable = "could not reach the CalDAV server https://dav.example.com: Connection refused";
    s.answers({{SignInKind::rejected, {}}, {SignInKind::failed, unreachable}});
    const RemindersPlace asked{RemindersPlace::Kind::calDavServer, "dav.example.com", "alice"};
    for (const std::string& text : {words::account::rejectedText("alice"), words::account::failedText(unreachable)}) {
        s.dialogs.forms = {{0, {" dav.example.com ", "alice ", " pass word "}}};
        s.mainLoop.autoRunBackground = false;
        EXPECT_TRUE(s.item().choose(setUpEntry));
        EXPECT_TRUE(s.menuHas(words::account::signingIn(asked)));
        EXPECT_FALSE(s.menuHas(setUpEntry)); // one at a time
        s.mainLoop.drain();
        s.mainLoop.autoRunBackground = true;
        ASSERT_FALSE(s.signIns.empty());
        EXPECT_EQ(s.signIns.back().account, (RemindersAccount{"dav.example.com", "alice"}));
        EXPECT_EQ(s.signIns.back().password, " pass word "); // as typed
        EXPECT_FALSE(s.signIns.back().onMainThread);
        EXPECT_EQ(s.dialogs.shown.back().title, words::account::failedTitle("dav.example.com"));
        EXPECT_EQ(s.dialogs.shown.back().text, text);
        EXPECT_TRUE(s.choices.empty());
        EXPECT_FALSE(s.calDavAccount);
        EXPECT_TRUE(s.menuHas(words::places::current(s.reminders.where)));
        EXPECT_TRUE(s.menuHas(setUpEntry));
    }
}

// A sign-in the server takes puts its task lists in use without a restart:
// a poll that runs meanwhile files where it began, and a poll there follows
// at once.
TEST(AppDelegate, ASignInTheServerTakesPutsItsListsInUseBetweenPolls) {
    WithCalDav s;
    s.launch();
    s.mainLoop.drain();
    s.http.responder = [](const auto&) { return relayReply({"b:Inbox"}); };
    s.mainLoop.autoRunBackground = false;
    s.dialogs.forms = {{0, {"https://dav.example.com/", "alice", "right"}}};
    EXPECT_TRUE(s.item().choose(setUpEntry));
    s.mainLoop.advance(RemindersModule::interval); // a tick's poll waits behind the sign-in
    ASSERT_EQ(s.mainLoop.pendingBackground(), 2u);
    ASSERT_TRUE(s.mainLoop.runOneBackground());
    s.mainLoop.runPosted(); // signed in while the poll is under way
    EXPECT_EQ(s.choices, std::vector{RemindersPlace::Kind::calDavServer});
    s.mainLoop.drain();
    EXPECT_EQ(s.titlesOf(s.reminders), (Lines{"a", "b"}));
    EXPECT_EQ(s.titlesOf(s.calDavReminders), (Lines{"b"}));
    const RemindersPlace place = s.calDavReminders.where;
    EXPECT_EQ(place, (RemindersPlace{RemindersPlace::Kind::calDavServer, "https://dav.example.com/", "alice"}));
    EXPECT_EQ(s.dialogs.shown.back().title, words::account::signedInTitle(place));
    EXPECT_TRUE(s.menuHas(words::places::current(place)));
    EXPECT_TRUE(s.menuHas(words::places::useInstead(s.reminders.where)));
    EXPECT_TRUE(s.menuHas(words::account::setUp(true)));
}

// A password the server refuses, also partway through a poll, is "needs
// sign-in": the menu offers to sign in again in place of the access settings,
// and nothing backs off meanwhile. A sign-in the server refuses changes
// nothing; one it takes clears it, and delivery goes on at once.
TEST(AppDelegate, ARefusedPasswordAsksToSignInAgainWithoutBackingOffAndASignInClearsIt) {
    WithCalDav s;
    s.setUpCalDav();
    s.chosenKind = RemindersPlace::Kind::calDavServer;
    s.relaunch();
    s.launch();
    s.mainLoop.drain();
    ASSERT_EQ(s.titlesOf(s.calDavReminders), Lines{"a"});
    const RemindersPlace place = s.calDavReminders.where;

    s.calDavReminders.beforeLists = [&] {
        s.calDavReminders.status = RemindersAuthorization::denied;
        throw RemindersError("the CalDAV server https://dav.example.com rejected the password for alice");
    };
    LogCapture log;
    EXPECT_TRUE(s.chooseInMenu(words::menu::checkNow()));
    EXPECT_EQ(s.item().toolTip, words::menu::header(words::health::needsSignIn()));
    s.mainLoop.advance(RemindersModule::interval); // polls again: no back-off
    EXPECT_EQ(s.item().toolTip, words::menu::header(words::health::needsSignIn()));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("backing off"), std::string::npos) << line;
    EXPECT_TRUE(s.menuHas(words::account::needsSignIn(place)));
    EXPECT_TRUE(s.menuHas(words::account::signInAgain(place)));
    EXPECT_FALSE(s.menuHas(words::menu::openAccessSettings(place)));

    s.server = [&](const RemindersAccount&, const std::string& password) {
        if (password != "new password")
            return SignInAnswer{SignInKind::rejected, {}};
        s.calDavReminders.status = RemindersAuthorization::fullAccess; // as the database has it once signed in
        s.calDavReminders.beforeLists = nullptr;
        return SignInAnswer{SignInKind::signedIn, {}};
    };
    s.dialogs.forms = {{0, {"old password"}}};
    EXPECT_TRUE(s.chooseInMenu(words::account::signInAgain(place)));
    const Form& form = s.dialogs.formsShown.back();
    EXPECT_EQ(form.alert.title, words::account::signInAgainTitle(place));
    ASSERT_EQ(form.fields.size(), 1u);
    EXPECT_TRUE(form.fields[0].hidden);
    EXPECT_EQ(s.dialogs.shown.back().text, words::account::rejectedText("alice"));
    EXPECT_EQ(s.item().toolTip, words::menu::header(words::health::needsSignIn()));

    s.dialogs.forms = {{0, {"new password"}}};
    EXPECT_TRUE(s.chooseInMenu(words::account::signInAgain(place)));
    EXPECT_EQ(s.signIns.back().account, (RemindersAccount{place.location, place.account}));
    EXPECT_EQ(s.dialogs.shown.back().title, words::account::signedInTitle(place));
    EXPECT_EQ(s.item().toolTip, words::menu::header(words::health::connected()));
}

// The command line changed the stored choice: it is settled again off the
// main thread (after launch's own, when it came before), and delivery follows
// it; changes that come while one is being settled are settled once more.
TEST(AppDelegate, AChoiceChangedByAnotherProcessIsSettledAgainAndFollowed) {
    WithCalDav s;
    s.setUpCalDav();
    s.startLaunch();
    s.delegate->placeChangedElsewhere(); // before there is a module
    s.onSettleAgain = [&] { s.chosenKind = RemindersPlace::Kind::calDavServer; };
    LogCapture log;
    s.finishChoice();
    s.mainLoop.drain();
    EXPECT_EQ(s.askedOnMainThread, (std::vector<bool>{false, false}));
    EXPECT_EQ(s.titlesOf(s.reminders), Lines{"a"}); // the launch's first poll, before the change was read
    EXPECT_EQ(s.titlesOf(s.calDavReminders), Lines{"a"});
    EXPECT_TRUE(s.menuHas(words::places::current(s.calDavReminders.where)));
    EXPECT_THAT(log.lines(), ::testing::Contains("info reminders backend: chosen elsewhere: " + s.backendDescription));

    s.mainLoop.autoRunBackground = false;
    s.delegate->placeChangedElsewhere();
    s.delegate->placeChangedElsewhere();
    s.mainLoop.drain();
    EXPECT_EQ(s.settles, 4);
}

// Where the platform offers no accounts, none is offered, and denied access
// reads as it always did.
TEST(AppDelegate, WithoutServerAccountsTheMenuOffersNoneAndAccessReadsAsBefore) {
    Features without = everyFeature;
    without.serverAccounts = false;
    WithCalDav s(without);
    s.setUpCalDav();
    s.chosenKind = RemindersPlace::Kind::calDavServer;
    s.relaunch();
    s.launch();
    s.mainLoop.drain();
    EXPECT_FALSE(s.menuHas(setUpEntry));
    s.calDavReminders.status = RemindersAuthorization::denied;
    EXPECT_TRUE(s.chooseInMenu(words::menu::checkNow()));
    EXPECT_TRUE(s.menuHas(words::menu::openAccessSettings(s.calDavReminders.where)));
    EXPECT_FALSE(s.menuHas(words::account::signInAgain(s.calDavReminders.where)));
}
